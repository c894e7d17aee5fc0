// Test entry for engine tests: the streams need an event loop for their notifications.
#include <QCoreApplication>

#include <gtest/gtest.h>

#include "SanitizerSupport.h"

int main(int argc, char** argv) {
  KeepSoundPluginsLoaded();
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
