#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "core/crash_guard.h"

#ifdef VORN_COVERAGE
extern "C" void __gcov_dump();
#endif

int main(int argc, char** argv) {
  vorn::set_thread_name("main");
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  // The tests leave detached workers behind (folder checks, readers). Under
  // Wine the process's ordinary exit could wait for ever on a lock one of
  // them held when it was stopped; the results are printed, so end here.
  std::fflush(nullptr);
#ifdef VORN_COVERAGE
  __gcov_dump();  // which an ordinary exit would have done
#endif
  std::_Exit(result);
}
