// The GUI test program: one QApplication for every test. Without a platform chosen it runs
// offscreen; `--xvfb-child` is the part of the Xvfb test that runs on the X display.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <cstring>

namespace mardo::gui_test {
int run_xvfb_child();
}

int main(int argc, char** argv) {
  const bool xvfb_child = argc > 1 && std::strcmp(argv[1], "--xvfb-child") == 0;
  if (!xvfb_child) setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  if (xvfb_child) return mardo::gui_test::run_xvfb_child();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
