#include <gtest/gtest.h>

#include "pretend_clock.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  UsePretendClock();
  return RUN_ALL_TESTS();
}
