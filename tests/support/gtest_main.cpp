#include <gtest/gtest.h>

#include "platform/system.h"
#include "support/child_modes.h"

int main(int argc, char** argv) {
  // A process test may have started this program as its child; then it never reaches the tests.
  vantle::testing::run_child_mode_if_requested(argc, argv);
  vantle::sys::init_process();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
