// A tone written to a WAV file holds the generator's blocks, and replayed into the analyser it
// reaches the spectrum display exactly as the same blocks fed to the display directly.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <QWidget>

#include <vector>

#include "AudioAnalyser.h"
#include "DisplaySpectrum.h"
#include "Messages.h"
#include "SimulatedCard.h"
#include "ToneGenerator.h"

namespace {

// A 4096-point log spectrum on a shown page that keeps its values after every block.
struct TRecordingDisplay : TSpectrumDisplay {
  explicit TRecordingDisplay(QWidget* page) : TSpectrumDisplay(page) {
    SetBounds(24, 32, 443, 258);
    SetFFTpower(12);
    SetFreqMax(20000);
    SetFreqMin(20);
    SetMode(sdLogFreq);
    page->show();
  }
  void ProcessSamples(const int16_t* s, int n, bool& go) override {
    TSpectrumDisplay::ProcessSamples(s, n, go);
    Values.emplace_back(ColumnArray(0).begin(), ColumnArray(0).begin() + PointCount());
  }
  std::vector<std::vector<float>> Values;
};

struct TTone : TAudioToneGenerator {
  TTone() {
    SetLeftFrequency(1000);
    SetLeftAmplitude(0.5f);
    SetRightWaveform(Triangle);
    SetRightFrequency(3100);
    SetRightAmplitude(0.25f);
  }
};

TEST(WaveReplay, ToneFileReplaysIntoTheSpectrumAsItsBlocksFedDirectly) {
  SetAudioBackend(std::make_shared<TSimulatedBackend>(TCardPace::Accelerated, 3));
  TMessageRecorder recorder;
  TMessageInterface* previous = SetMessages(&recorder);
  QTemporaryDir folder;
  const QString path = folder.filePath("sine.wav");
  {
    TTone writer, direct;
    ASSERT_EQ(writer.BufferSamples(), 16384);
    ASSERT_TRUE(writer.WriteWaveFile(path, 3));
    constexpr int kFrames = 3 * 16384;
    std::vector<int16_t> blocks(2 * kFrames);
    for (int k = 0; k < 3; ++k) {
      wavehdr_tag h{};
      h.lpData = reinterpret_cast<char*>(&blocks[2 * 16384 * k]);
      h.dwBufferLength = 4 * 16384;
      direct.FillBlock(&h);
    }
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll().mid(44, 4 * kFrames),
              QByteArray(reinterpret_cast<const char*>(blocks.data()), 4 * kFrames));

    QWidget replayPage, directPage;
    auto* replayed = new TRecordingDisplay(&replayPage);
    auto* fed = new TRecordingDisplay(&directPage);
    TBasicAudioAnalyser analyser;
    analyser.SetDisplay(replayed);
    analyser.ReadWaveFile(path);
    EXPECT_EQ(analyser.BufferCount(), 12);
    for (int k = 0; k < 12; ++k) {
      bool go = true;
      fed->ProcessSamples(&blocks[2 * 4096 * k], 4096, go);
    }
    ASSERT_EQ(replayed->Values.size(), 12u);
    EXPECT_GT(replayed->Values[0].size(), 400u);
    EXPECT_EQ(replayed->Values, fed->Values);
  }
  EXPECT_TRUE(recorder.messages.empty()) << recorder.Log();
  SetMessages(previous);
  SetAudioBackend(nullptr);
}

}  // namespace
