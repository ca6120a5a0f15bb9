// The main of the test programs that CTest runs one test suite at a time (--gtest_filter): a
// filter that selects no test, a misspelt suite, fails instead of passing with nothing run.
#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  if (testing::UnitTest::GetInstance()->test_to_run_count() == 0) {
    std::fprintf(stderr, "no test matches the filter\n");
    return 1;
  }
  return result;
}
