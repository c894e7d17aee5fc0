// libFuzzer target of the settings restore: the bytes are the settings file the main window
// reads at start-up (see SettingsChecks.h). One application for the whole run, a window per
// input, the accelerated simulated card, messages recorded and the offset question answered No.
#include <QApplication>
#include <QTemporaryDir>
#include <QUrl>

#include <cstdio>
#include <cstdlib>

#include "AudioDevice.h"
#include "FileDialogs.h"
#include "Help.h"
#include "Messages.h"
#include "MixerStandIn.h"
#include "SanitizerSupport.h"
#include "SettingsChecks.h"
#include "SimulatedCard.h"

namespace {

struct TNoDialogs : TFileDialogs {
  QString SaveFileName(const TFileDialogOptions&) override { return {}; }
  QString OpenFileName(const TFileDialogOptions&) override { return {}; }
};

struct TRig {
  int argc = 1;
  char name[16] = "fuzz_settings";
  char* argv[2] = {name, nullptr};
  QApplication app{argc, argv};
  QTemporaryDir folder;
  TMessageRecorder recorder;
  TNoDialogs dialogs;
  TRig() {
    SetAudioBackend(std::make_shared<TSimulatedBackend>(TCardPace::Accelerated, 11));
    auto mixer = std::make_shared<TStandInMixer>();
    mixer->devices = 0;
    SetMixerSystem(mixer);
    SetMessages(&recorder);
    SetFileDialogs(&dialogs);
    SetUrlOpener([](const QUrl&) { return true; });
  }
};
TRig* Rig = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  KeepSoundPluginsLoaded();
  qputenv("QT_QPA_PLATFORM", "offscreen");
  Rig = new TRig;  // kept for the whole run: Qt does not like a second QApplication
  // A first window outside the inputs: the caches fonts and styles fill once (and keep) are no
  // leak of an input.
  if (const std::string fault = settings_checks::Check({}, Rig->folder.path()); !fault.empty()) {
    std::fprintf(stderr, "settings, empty store: %s\n", fault.c_str());
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Rig->recorder = TMessageRecorder();
  const std::string fault = settings_checks::Check(
      QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)),
      Rig->folder.path());
  if (!fault.empty()) {
    std::fprintf(stderr, "settings: %s\n", fault.c_str());
    std::abort();
  }
  return 0;
}
