// The main of the UI test executables: a QApplication on the offscreen platform, then GoogleTest.

#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

int main(int argc, char** argv) {
  // Tests never need a display; a caller may still choose another platform explicitly.
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // The texts the tests expect are the program's own Japanese ones; a test of the English ones asks
  // for them, and the programs it runs inherit the choice.
  ::setenv("MEROLUNE_LANG", "ja", 1);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
