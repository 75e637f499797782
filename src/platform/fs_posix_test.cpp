#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "platform/fs.h"
#include "support/temp_dir.h"

namespace vantle::fs {
namespace {

// A pipe has no length to check its end against: it is read to its end, however far that is.
TEST(FsPosix, LiveFileReadsAPipeToItsEnd) {
  vantle::testing::ScopedTempDir tmp;
  const auto fifo = tmp / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string bytes;
  for (int i = 0; bytes.size() < 300000; ++i) bytes += std::to_string(i) + "\n";
  std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << bytes; });
  auto whole = vantle::testing::read_live(fifo);
  writer.join();
  ASSERT_TRUE(whole.ok()) << whole.error().message;
  EXPECT_TRUE(*whole == bytes);
}

}  // namespace
}  // namespace vantle::fs
