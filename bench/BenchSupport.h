// Shared by the benchmarks that build widgets.
#pragma once

#include <QApplication>

// Widgets need an application; benchmark_main owns main(), so it is made on first use.
inline void EnsureApplication() {
  static int argc = 1;
  static char name[] = "bench";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return new QApplication(argc, argv);
  }();
  (void)app;
}
