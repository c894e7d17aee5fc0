// Shared set-up of the window tests: settings in a temporary folder, the accelerated simulated
// card, a message recorder, a URL recorder instead of the browser and file dialogs that answer
// at once.
#pragma once

#include <gtest/gtest.h>

#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <map>
#include <memory>
#include <vector>

#include "FileDialogs.h"
#include "Help.h"
#include "Messages.h"
#include "MixerStandIn.h"
#include "SimulatedCard.h"
#include "TestSupport.h"

// Records each dialog's options and answers with a preset file name ("" cancels).
struct TFileDialogRecorder : TFileDialogs {
  QString SaveFileName(const TFileDialogOptions& options) override {
    saves.push_back(options);
    return answer;
  }
  QString OpenFileName(const TFileDialogOptions& options) override {
    opens.push_back(options);
    return answer;
  }
  QString ExistingFolder(const TFileDialogOptions& options) override {
    folders.push_back(options);
    return answer;
  }
  std::vector<TFileDialogOptions> saves, opens, folders;
  QString answer;
};

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder.path());
    backend = std::make_shared<TSimulatedBackend>(TCardPace::Accelerated, 11);
    SetAudioBackend(backend);
    // Windows under test see a mixer without devices, not the machine's.
    previousMixer = SetMixerSystem(mixer);
    previousMessages = SetMessages(&recorder);
    previousDialogs = SetFileDialogs(&dialogs);
    previousOpener = SetUrlOpener([this](const QUrl& url) {
      urls.push_back(url);
      return openerWorks;
    });
  }
  void TearDown() override {
    SetUrlOpener(previousOpener);
    SetFileDialogs(previousDialogs);
    SetMessages(previousMessages);
    SetMixerSystem(previousMixer);
    PumpFor(20);  // stale notifications of destroyed streams drain
    SetAudioBackend(nullptr);
  }

  TSimulatedCard& Card() { return backend->Card(); }
  // Shows a window and waits until its first-showing sequence has run.
  template <typename Form>
  static void ShowForm(Form& form) {
    form.show();
    ASSERT_TRUE(PumpUntil([&] { return form.Shown(); }));
  }
  // A named child of the window; a missing one fails the test.
  template <typename T>
  static T* Find(const QObject* form, const char* name) {
    T* child = form->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
  }
  template <typename T>
  static T* Find(const QObject& form, const char* name) {
    return Find<T>(&form, name);
  }
  QString StoreFile() const { return folder.filePath("Brackwell Systems/Quorvane.conf"); }

  // Writes values into the store's section before a window reads it.
  void Store(const std::map<QString, QVariant>& values) {
    QSettings s(StoreFile(), QSettings::IniFormat);
    s.beginGroup("Quorvane");
    for (const auto& [key, value] : values) s.setValue(key, value);
  }
  // The section's keys as the file holds them.
  QStringList StoredKeys() const {
    QSettings s(StoreFile(), QSettings::IniFormat);
    QStringList keys = s.allKeys();
    keys.sort();
    return keys;
  }
  QVariant Stored(const QString& key) const {
    QSettings s(StoreFile(), QSettings::IniFormat);
    return s.value("Quorvane/" + key);
  }

  QTemporaryDir folder;
  std::shared_ptr<TSimulatedBackend> backend;
  std::shared_ptr<TStandInMixer> mixer = [] {
    auto none = std::make_shared<TStandInMixer>();
    none->devices = 0;
    return none;
  }();
  std::shared_ptr<TMixerSystem> previousMixer;
  TMessageRecorder recorder;
  TMessageInterface* previousMessages = nullptr;
  TFileDialogRecorder dialogs;
  TFileDialogs* previousDialogs = nullptr;
  TUrlOpener previousOpener;
  std::vector<QUrl> urls;
  bool openerWorks = true;
};
