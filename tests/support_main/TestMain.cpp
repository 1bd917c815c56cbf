// The main of the tests without a display: GoogleTest, with the program's own Japanese texts.

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
  // The messages the tests expect are the program's own; a test of the English ones asks for them,
  // and the command-line tool it runs inherits the choice.
  ::setenv("MEROLUNE_LANG", "ja", 1);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
