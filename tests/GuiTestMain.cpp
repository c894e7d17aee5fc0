// Test entry for widget tests (run on the offscreen platform).
#include <QApplication>

#include <gtest/gtest.h>

#include "SanitizerSupport.h"

int main(int argc, char** argv) {
  KeepSoundPluginsLoaded();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
