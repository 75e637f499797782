// Gzip files for tests of the archives `omp gc` leaves: made here with zlib, as gzip makes them.
#pragma once

#include <string>
#include <string_view>

namespace vantle::testing {

// The bytes of a gzip file holding `data` as one member.
std::string gzip(std::string_view data);

}  // namespace vantle::testing
