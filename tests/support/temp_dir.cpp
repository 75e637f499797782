#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "platform/file.h"
#include "platform/os_string.h"
#include "platform/system.h"

namespace vantle::testing {

ScopedTempDir::ScopedTempDir() {
  std::random_device rd;
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "vantle";
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.') c = '_';
  const auto base = std::filesystem::temp_directory_path() / "vantle-tests";
  std::filesystem::create_directories(base);
  for (int attempt = 0;; ++attempt) {
    path_ = base / path_from_utf8(name + "-" + std::to_string(sys::current_pid()) + "-" + std::to_string(rd() % 1000000));
    std::error_code ec;
    if (std::filesystem::create_directory(path_, ec)) break;
    if (attempt > 100) throw std::runtime_error("cannot create a test directory under " + display(base));
  }
}

ScopedTempDir::~ScopedTempDir() {
  if (::testing::Test::HasFailure()) {
    std::printf("test directory kept: %s\n", display(path_).c_str());
    return;
  }
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path ScopedTempDir::operator/(std::string_view relative) const {
  return path_ / path_from_utf8(relative);
}

void write_file(const std::filesystem::path& path, std::string_view bytes) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + display(path));
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

SysResult<std::string> read_live(const std::filesystem::path& path) {
  auto file = fs::File::open_read(path);
  if (!file) return file.err();
  fs::LiveFile live(std::move(*file));
  std::string bytes;
  char chunk[65536];
  while (true) {
    auto got = live.read(chunk, sizeof chunk);
    if (!got) return got.err();
    if (*got == 0) return bytes;
    bytes.append(chunk, *got);
  }
}

std::set<std::string> entries_below(const std::filesystem::path& dir) {
  std::set<std::string> entries;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    entries.insert(std::filesystem::relative(it->path(), dir).generic_string());
  }
  return entries;
}

void expect_only_whole_files(const std::filesystem::path& state, std::string_view id,
                             const std::filesystem::path& sessions, std::string_view prompt) {
  for (const auto& entry : entries_below(state)) {
    if (std::filesystem::is_directory(state / entry)) continue;
    EXPECT_EQ(entry, ".vantle/vantle-env-v1/" + std::string(id) + ".json") << "left behind";
    EXPECT_TRUE(nlohmann::json::accept(read_file(state / entry))) << entry << " is not whole";
  }
  for (const auto& entry : entries_below(sessions)) {
    EXPECT_EQ(entry, "turn-prompt.md") << "left behind";
    EXPECT_EQ(read_file(sessions / entry), prompt) << entry << " is not whole";
  }
}

}  // namespace vantle::testing
