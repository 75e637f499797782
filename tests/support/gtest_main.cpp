#include <gtest/gtest.h>

#include "platform/system.h"

int main(int argc, char** argv) {
  vantle::sys::init_process();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
