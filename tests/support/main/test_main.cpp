// The test programs' main: a registered child body when the program is run
// as one (tests/support/child_process.h), the tests otherwise.
#include <gtest/gtest.h>

#include <exception>
#include <iostream>

#include "tests/support/child_process.h"

int main(int argc, char** argv) {
  try {
    if (const auto code = testing_support::RunChildBodyIfAsked(argc, argv)) return *code;
  } catch (const std::exception& e) {
    std::cerr << "child: " << e.what() << "\n";
    return 2;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
