#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "platform/fs.h"
#include "support/temp_dir.h"

namespace vantle::fs {
namespace {

// A pipe has no length to size the buffer by, so the whole-file reader must grow it as it reads;
// one that cannot be mapped must be read in full even when its bytes are only handed on.
TEST(FsPosix, WholeFileReaderGrowsPastALengthItCannotKnow) {
  vantle::testing::ScopedTempDir tmp;
  const auto fifo = tmp / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string bytes;
  for (int i = 0; bytes.size() < 300000; ++i) bytes += std::to_string(i) + "\n";
  for (const auto use : {WholeFileUse::kRead, WholeFileUse::kPassOn}) {
    std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << bytes; });
    auto whole = read_into_big_buffer(fifo, use);
    writer.join();
    ASSERT_TRUE(whole.ok()) << whole.error().message;
    EXPECT_EQ(whole->size, bytes.size());
    EXPECT_TRUE(whole->view() == bytes);
  }
}

}  // namespace
}  // namespace vantle::fs
