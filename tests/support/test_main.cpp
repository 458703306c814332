#include <gtest/gtest.h>

#include "core/crash_guard.h"

int main(int argc, char** argv) {
  vorn::set_thread_name("main");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
