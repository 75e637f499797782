// The one order in which session lookup sorts paths, so that candidate lists and the messages that
// show them come out the same on every run and every platform.
#pragma once

#include <algorithm>
#include <filesystem>
#include <vector>

#include "platform/os_string.h"

namespace vantle::sessions {

// Orders two components as byte strings: bytes on POSIX, code points (the order of their UTF-8
// form, an unpaired surrogate counting as its own value) on Windows. Case-sensitive; a proper
// prefix sorts first. Negative, zero or positive like strcmp.
int compare_component(const NativeString& a, const NativeString& b);

// Path order: component by component (root name, root directory, then each name; empty and "."
// components after the first do not count), each compared with compare_component; a path that
// runs out of components first is the smaller.
int compare_paths(const std::filesystem::path& a, const std::filesystem::path& b);

// Sorts stably in path order, then keeps only the first of each run of equal paths, so that among
// equal paths the earliest element survives. `path_of` picks the path out of an element.
template <class T, class PathOf>
void sort_dedup_by_path(std::vector<T>& items, PathOf path_of) {
  std::stable_sort(items.begin(), items.end(),
                   [&](const T& a, const T& b) { return compare_paths(path_of(a), path_of(b)) < 0; });
  const auto last = std::unique(items.begin(), items.end(),
                                [&](const T& a, const T& b) { return compare_paths(path_of(a), path_of(b)) == 0; });
  items.erase(last, items.end());
}

}  // namespace vantle::sessions
