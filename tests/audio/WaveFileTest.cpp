// WAV files: the written layout byte for byte, failed writes, files made by sox replayed or
// refused, and the parser over its fuzz corpus and over malformed inputs.
#include <gtest/gtest.h>

#include <QDate>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <bit>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Messages.h"
#include "SimulatedCard.h"
#include "TestSupport.h"
#include "WaveCommon.h"
#include "WaveFile.h"

namespace {

// v little-endian in n bytes.
QByteArray Le(uint32_t v, int n) {
  QByteArray b;
  for (int i = 0; i < n; ++i) b += static_cast<char>(v >> (8 * i));
  return b;
}

std::span<const uint8_t> Bytes(const QByteArray& b) {
  return {reinterpret_cast<const uint8_t*>(b.constData()), static_cast<std::size_t>(b.size())};
}

QByteArray Read(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void Write(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}

class WaveFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder.isValid());
    SetAudioBackend(std::make_shared<TSimulatedBackend>(TCardPace::Accelerated, 5));
    previous = SetMessages(&recorder);
  }
  void TearDown() override {
    SetMessages(previous);
    PumpFor(20);
    SetAudioBackend(nullptr);
  }
  QString Path(const char* name) const { return folder.filePath(name); }
  // sox is a test dependency (scripts/test.sh installs it): its absence fails, loudly.
  static void Sox(const QStringList& args) {
    QProcess sox;
    sox.start("sox", args);
    ASSERT_TRUE(sox.waitForStarted()) << "sox is not installed";
    ASSERT_TRUE(sox.waitForFinished());
    ASSERT_EQ(sox.exitCode(), 0) << sox.readAllStandardError().toStdString();
  }

  QTemporaryDir folder;
  TMessageRecorder recorder;
  TMessageInterface* previous = nullptr;
};

TEST_F(WaveFileTest, WrittenFileHasTheLayoutByteForByte) {
  struct TCase {
    int frames, blocks, fileSize;
  } const cases[] = {{16384, 3, 196722}, {101, 5, 44 + 2020 + 70}, {100, 0, 114}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.frames) + " x " + std::to_string(c.blocks));
    TWaveOut out;
    out.SetBufferSamples(c.frames);
    QByteArray produced;
    out.SetOnNeedData([&](PWaveHdr h) {
      auto* s = reinterpret_cast<int16_t*>(h->lpData);
      for (int i = 0; i < 2 * c.frames; ++i) s[i] = static_cast<int16_t>(produced.size() + i * 31);
      produced.append(h->lpData, h->dwBufferLength);
    });
    const QString today = QDate::currentDate().toString("yyyy-MM-dd");
    ASSERT_TRUE(out.WriteWaveFile(Path("out.wav"), c.blocks));
    const QByteArray f = Read(Path("out.wav"));
    ASSERT_EQ(f.size(), c.fileSize);
    const uint32_t d = 4u * c.frames * c.blocks;
    ASSERT_EQ(produced.size(), d);
    const QByteArray date = f.mid(64 + d, 10);  // today, or the next day if it turned meanwhile
    EXPECT_TRUE(date == today || date == QDate::currentDate().toString("yyyy-MM-dd"));
    const QByteArray expected = "RIFF" + Le(c.fileSize - 8, 4) + "WAVEfmt " + Le(16, 4) + Le(1, 2) +
                                Le(2, 2) + Le(44100, 4) + Le(176400, 4) + Le(4, 2) + Le(16, 2) +
                                "data" + Le(d, 4) + produced + "LIST" + Le(62, 4) + "INFOICRD" +
                                Le(11, 4) + date + Le(0, 2) + "ISFT" + Le(29, 4) +
                                "Created by Pellick's TWaveOut" + Le(0, 1);
    EXPECT_EQ(f, expected);
  }
  EXPECT_TRUE(recorder.messages.empty()) << recorder.Log();
}

TEST_F(WaveFileTest, WritingWhilePlayingLeavesTheDeviceBlocksAlone) {
  TWaveOut out;
  out.SetBufferSamples(512);
  std::set<const char*> played, written;
  bool writing = false;
  int done = 0;
  out.SetOnNeedData([&](PWaveHdr h) { (writing ? written : played).insert(h->lpData); });
  out.SetOnDone([&](QObject*) { ++done; });
  out.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return done >= 4; }));
  writing = true;
  ASSERT_TRUE(out.WriteWaveFile(Path("live.wav"), 3));
  writing = false;
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(played.size(), 2u);
  EXPECT_EQ(played.count(*written.begin()), 0u) << "a device block was filled for the file";
  EXPECT_TRUE(PumpUntil([&] { return done >= 8; })) << "playing goes on";
}

TEST_F(WaveFileTest, FailedWritesNameTheFileAndKeepTheOldOne) {
  TWaveOut out;
  const QString missing = Path("no such folder/a.wav");
  EXPECT_FALSE(out.WriteWaveFile(missing, 1));
  ASSERT_EQ(recorder.messages.size(), 1u);
  const std::string prefix = "Could not write the WAV file \"" + missing.toStdString() + "\": ";
  EXPECT_EQ(recorder.messages[0].substr(0, prefix.size()), prefix);
  EXPECT_GT(recorder.messages[0].size(), prefix.size() + 1) << "a reason follows";

  // A fill that fails half way leaves the old file whole and no temporary one beside it.
  Write(Path("keep.wav"), "old contents");
  int blocks = 0;
  out.SetOnNeedData([&](PWaveHdr) {
    if (++blocks == 2) throw std::runtime_error("fill failed");
  });
  EXPECT_THROW(out.WriteWaveFile(Path("keep.wav"), 3), std::runtime_error);
  EXPECT_EQ(Read(Path("keep.wav")), QByteArray("old contents"));
  EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files), QStringList{"keep.wav"});
}

TEST_F(WaveFileTest, SoxFilesAreReplayedOrRefused) {
  const std::string refused = "File is not a 16-bit, 44.1 KHz file";
  // A five-byte chunk (with its pad) and an empty one between "fmt " and "data".
  auto junk = [](QByteArray& f) {
    f.insert(36, "junk" + Le(5, 4) + "abcde" + Le(0, 1) + "LIST" + Le(0, 4));
  };
  auto cut = [](QByteArray& f) { f.chop(1001); };
  const QStringList stereo = {"-c", "2", "-b", "16"};
  struct TCase {
    const char* name;
    QStringList format;  // sox output options
    int frames;
    bool anyRate;
    std::function<void(QByteArray&)> change;  // done to the file after sox wrote it
    int replayed;                             // frames reaching OnData
    std::string message;                      // after "Could not replay ... ", or `refused`
  } const cases[] = {
      {"stereo", stereo, 10000, false, nullptr, 10000, ""},
      {"mono", {"-c", "1", "-b", "16"}, 10000, false, nullptr, 10000, ""},
      {"48k", {"-r", "48000", "-c", "2", "-b", "16"}, 10000, false, nullptr, 0, refused},
      {"48k any rate", {"-r", "48000", "-c", "2", "-b", "16"}, 10000, true, nullptr, 10000, ""},
      {"8-bit", {"-c", "2", "-b", "8", "-e", "unsigned"}, 10000, false, nullptr, 0, refused},
      {"24-bit", {"-c", "2", "-b", "24"}, 10000, false, nullptr, 0, refused},
      {"4 channels", {"-c", "4", "-b", "16"}, 10000, false, nullptr, 10000, ""},
      {"chunks before data", stereo, 10000, false, junk, 10000, ""},
      {"2.5 blocks", stereo, 2500, false, nullptr, 2000, ""},
      {"under a block", stereo, 999, false, nullptr, 0, ""},
      {"truncated", stereo, 10000, false, cut, 0,
       "its \"data\" chunk claims 40000 bytes but the file holds 38999."},
      {"raw samples", QStringList{"-t", "raw"} + stereo, 10000, false, nullptr, 0,
       "it is not a WAV file (it does not begin with a RIFF/WAVE header)."},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    recorder = {};
    const QString wav = Path("in.wav"), raw = Path("in.raw");
    const int channels = c.format[c.format.indexOf("-c") + 1].toInt();
    // The rate goes on the input too, or sox resamples from its null input's own rate.
    const qsizetype r = c.format.indexOf("-r");
    QStringList make = {"-r", r >= 0 ? c.format[r + 1] : "44100", "-n"};
    make << c.format << wav << "synth" << QString("%1s").arg(c.frames);
    for (int k = 0; k < channels; ++k) make << "sine" << QString::number(300 + 700 * k);
    Sox(make);
    if (c.replayed) Sox({wav, "-t", "raw", raw});  // the samples as sox reads them
    const QByteArray rawBytes = c.replayed ? Read(raw) : QByteArray();
    const auto* expected = reinterpret_cast<const int16_t*>(rawBytes.constData());
    if (c.change) {
      QByteArray f = Read(wav);
      c.change(f);
      Write(wav, f);
    }

    TWaveIn in;
    in.SetBufferSamples(1000);
    in.IgnoreFileSampleRate = c.anyRate;
    std::vector<int16_t> seen;
    in.SetOnData([&](wavehdr_tag& h) {
      EXPECT_EQ(h.dwUser, FileBlockMarker);
      const auto* s = reinterpret_cast<const int16_t*>(h.lpData);
      seen.insert(seen.end(), s, s + h.dwBytesRecorded / 2);
    });
    in.ReadWaveFile(wav);
    EXPECT_EQ(in.BufferCount(), c.replayed / 1000);
    ASSERT_EQ(seen.size(), 2u * c.replayed);
    const int right = channels == 1 ? 0 : 1;
    for (int i = 0; i < c.replayed; ++i) {
      ASSERT_EQ(seen[2 * i], expected[channels * i]) << "frame " << i;
      ASSERT_EQ(seen[2 * i + 1], expected[channels * i + right]) << "frame " << i;
    }
    if (c.message.empty()) {
      EXPECT_TRUE(recorder.messages.empty()) << recorder.Log();
    } else if (c.message == refused) {
      EXPECT_EQ(recorder.messages, std::vector<std::string>{refused});
      EXPECT_EQ(recorder.messageTitles, std::vector<std::string>{wav.toStdString()});
    } else {
      EXPECT_EQ(recorder.messages,
                std::vector<std::string>{"Could not replay the WAV file \"" + wav.toStdString() +
                                         "\": " + c.message});
    }
  }
  recorder = {};
  TWaveIn in;
  in.ReadWaveFile(Path("absent.wav"));
  ASSERT_EQ(recorder.messages.size(), 1u);
  const std::string prefix = "Could not replay the WAV file \"" + Path("absent.wav").toStdString();
  EXPECT_EQ(recorder.messages[0].rfind(prefix + "\": ", 0), 0u) << recorder.messages[0];
}

// A float file as sox reads it: format, length and every sample (full-scale steps of 2^-15,
// which sox turns into 16-bit values exactly); the layout byte for byte, values beyond full
// scale and NaN kept bit for bit.
TEST_F(WaveFileTest, FloatFileIsReadBySoxAndByteForByte) {
  struct TCase {
    int channels, floats, frames;
    uint32_t rate;
  } const cases[] = {{2, 2000, 1000, 44100}, {1, 441, 441, 44100}, {3, 302, 100, 48000}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.channels) + " channels");
    std::vector<float> samples(c.floats);
    for (int i = 0; i < c.floats; ++i)
      samples[i] = static_cast<float>((i * 7919 % 65535) - 32767) / 32768.0f;
    const std::vector<uint8_t> file =
        FloatWaveFileBytes(samples, c.channels, c.rate, "2024-05-06");
    const uint32_t d = 4u * c.channels * c.frames;
    QByteArray data;
    for (int i = 0; i < c.channels * c.frames; ++i) data += Le(std::bit_cast<uint32_t>(samples[i]), 4);
    const QByteArray expected =
        "RIFF" + Le(d + 120, 4) + "WAVEfmt " + Le(18, 4) + Le(3, 2) + Le(c.channels, 2) +
        Le(c.rate, 4) + Le(4 * c.channels * c.rate, 4) + Le(4 * c.channels, 2) + Le(32, 2) +
        Le(0, 2) + "fact" + Le(4, 4) + Le(c.frames, 4) + "data" + Le(d, 4) + data + "LIST" +
        Le(62, 4) + "INFOICRD" + Le(11, 4) + "2024-05-06" + Le(0, 2) + "ISFT" + Le(29, 4) +
        "Created by Pellick's TWaveOut" + Le(0, 1);
    const QByteArray bytes(reinterpret_cast<const char*>(file.data()), static_cast<qsizetype>(file.size()));
    EXPECT_EQ(bytes, expected);

    const QString wav = Path("float.wav"), raw = Path("float.raw");
    Write(wav, bytes);
    QProcess info;
    info.start("sox", {"--i", wav});
    ASSERT_TRUE(info.waitForStarted()) << "sox is not installed";
    ASSERT_TRUE(info.waitForFinished());
    const QString said = QString::fromUtf8(info.readAllStandardOutput());
    EXPECT_TRUE(said.contains(QString("Channels       : %1\n").arg(c.channels))) << said.toStdString();
    EXPECT_TRUE(said.contains(QString("Sample Rate    : %1\n").arg(c.rate))) << said.toStdString();
    EXPECT_TRUE(said.contains(QString(" = %1 samples").arg(c.frames))) << said.toStdString();
    EXPECT_TRUE(said.contains("Sample Encoding: 32-bit Floating Point PCM")) << said.toStdString();
    Sox({"-D", wav, "-t", "raw", "-e", "signed", "-b", "16", raw});  // no dither
    const QByteArray back = Read(raw);
    ASSERT_EQ(back.size(), 2 * c.channels * c.frames);
    const auto* s = reinterpret_cast<const int16_t*>(back.constData());
    for (int i = 0; i < c.channels * c.frames; ++i)
      ASSERT_EQ(s[i], static_cast<int16_t>(samples[i] * 32768.0f)) << "sample " << i;
  }

  const float odd[] = {1.5f, -2.0f, std::numeric_limits<float>::quiet_NaN(), 0.0f};
  const std::vector<uint8_t> kept = FloatWaveFileBytes(odd, 2, 44100, "2024-05-06");
  ASSERT_GE(kept.size(), 58u + sizeof odd);
  EXPECT_EQ(std::memcmp(kept.data() + 58, odd, sizeof odd), 0);
  EXPECT_TRUE(FloatWaveFileBytes(odd, 0, 44100, "").empty());
  EXPECT_TRUE(FloatWaveFileBytes(odd, 65536, 44100, "").empty());
}

// ---- the parser alone ---------------------------------------------------------------------

// A chunk as declared: size may differ from the payload's; the pad byte of an odd payload is
// added unless pad is false.
QByteArray Chunk(const char* id, uint32_t size, const QByteArray& payload, bool pad = true) {
  return id + Le(size, 4) + payload + (pad && payload.size() % 2 ? Le(0, 1) : QByteArray());
}
QByteArray Chunk(const char* id, const QByteArray& payload) {
  return Chunk(id, static_cast<uint32_t>(payload.size()), payload);
}
QByteArray Riff(const QByteArray& body, std::optional<uint32_t> size = {}) {
  return "RIFF" + Le(size.value_or(static_cast<uint32_t>(body.size() + 4)), 4) + "WAVE" + body;
}
QByteArray Fmt(uint16_t tag = 1, uint16_t channels = 2, uint32_t rate = 44100, uint16_t bits = 16) {
  return Le(tag, 2) + Le(channels, 2) + Le(rate, 4) + Le(4 * rate, 4) + Le(4, 2) + Le(bits, 2);
}
// The 40-byte extensible form with the sub-format sub; foreign changes the GUID's tail.
QByteArray Extensible(uint16_t sub, bool foreign = false) {
  return Fmt(0xFFFE, 4) + Le(22, 2) + Le(16, 2) + Le(0, 4) + Le(sub, 2) +
         QByteArray::fromHex(foreign ? "00000000100080000055003800FF"
                                     : "000000001000800000AA00389B71");
}

TEST(WaveParse, MalformedInputsGiveTheirFault) {
  const QByteArray fmt = Chunk("fmt ", Fmt()), data8 = Chunk("data", QByteArray(8, 7));
  using F = TWaveFault;
  struct TCase {
    const char* name;
    QByteArray bytes;
    F fault;
    uint64_t offset = 0, size = 0;  // of the samples when accepted
  } const cases[] = {
      {"empty", {}, F::NotRiffWave},
      {"RIFF header only", "RIFF" + Le(4, 4), F::NotRiffWave},
      {"RIFF of another form", "RIFF" + Le(4, 4) + "AVI " + fmt + data8, F::NotRiffWave},
      {"plain", Riff(fmt + data8), F::None, 44, 8},
      {"RIFF size 0", Riff(fmt + data8, 0), F::None, 44, 8},
      {"RIFF size huge", Riff(fmt + data8, 0xFFFFFFFF), F::None, 44, 8},
      {"data before fmt", Riff(data8 + fmt), F::None, 20, 8},
      {"zero-length chunk first", Riff(Chunk("junk", "") + fmt + data8), F::None, 52, 8},
      {"odd chunk with its pad", Riff(Chunk("junk", "abc") + fmt + data8), F::None, 56, 8},
      {"odd chunk without its pad", Riff(Chunk("junk", 3, "abc", false) + fmt + data8),
       F::NoFormat},
      {"huge chunk before fmt", Riff(Chunk("junk", 0xFFFFFFFF, "ab") + fmt + data8), F::NoFormat},
      {"huge chunk before data", Riff(fmt + Chunk("junk", 0xFFFFFFFE, "ab") + data8), F::NoData},
      {"no data", Riff(fmt + Chunk("LIST", "abcd")), F::NoData},
      {"fmt of 14 bytes", Riff(Chunk("fmt ", Fmt().left(14)) + data8), F::Refused},
      {"fmt of 0 bytes", Riff(Chunk("fmt ", "") + data8), F::Refused},
      {"fmt past the end", Riff(Chunk("fmt ", 0xFFFFFFFF, Fmt())), F::CutShort},
      {"fmt cut inside", Riff(Chunk("fmt ", 16, Fmt().left(10))), F::CutShort},
      {"no channels", Riff(Chunk("fmt ", Fmt(1, 0)) + data8), F::Refused},
      {"float", Riff(Chunk("fmt ", Fmt(3, 2, 44100, 32)) + data8), F::Refused},
      {"extensible PCM", Riff(Chunk("fmt ", Extensible(1)) + data8), F::None, 68, 8},
      {"extensible float", Riff(Chunk("fmt ", Extensible(3)) + data8), F::Refused},
      {"extensible, foreign GUID", Riff(Chunk("fmt ", Extensible(1, true)) + data8), F::Refused},
      {"extensible of 18 bytes", Riff(Chunk("fmt ", Extensible(1).left(18)) + data8), F::Refused},
      {"zero-length data", Riff(fmt + Chunk("data", "")), F::None, 44, 0},
      {"data past the end", Riff(fmt + Chunk("data", 0xFFFFFFFF, QByteArray(8, 7))), F::CutShort},
      {"data one byte short", Riff(fmt + Chunk("data", 9, QByteArray(8, 7))), F::CutShort},
      {"odd data at the end", Riff(fmt + Chunk("data", 7, QByteArray(7, 7), false)), F::None, 44,
       7},
      {"half a chunk header after data", Riff(fmt + data8 + "LIS"), F::None, 44, 8},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const TWaveParse r = ParseWave(Bytes(c.bytes), false);
    EXPECT_EQ(r.Fault, c.fault) << r.Reason;
    EXPECT_EQ(r.Reason.empty(), c.fault == F::None);
    if (c.fault != F::None) continue;
    EXPECT_EQ(r.DataOffset, c.offset);
    EXPECT_EQ(r.DataSize, c.size);
    const auto frames =
        StereoFrames(Bytes(c.bytes).subspan(r.DataOffset, r.DataSize), r.Format.Channels);
    EXPECT_EQ(frames.size(), 2 * (c.size / (2u * r.Format.Channels)));
  }
}

// Every input of the fuzz corpus (seeds and what fuzzing found) parses within its bytes.
TEST(WaveParse, FuzzCorpusParsesWithinItsBytes) {
  const QDir corpus(QStringLiteral(QUORVANE_FUZZ_CORPUS) + "/wave_file");
  const QStringList files = corpus.entryList(QDir::Files);
  EXPECT_GE(files.size(), 13);
  int accepted = 0;
  for (const QString& name : files) {
    const QByteArray b = Read(corpus.filePath(name));
    const TWaveParse r = ParseWave(Bytes(b), true);
    if (r.Fault != TWaveFault::None) continue;
    ++accepted;
    EXPECT_LE(r.DataOffset + r.DataSize, static_cast<uint64_t>(b.size())) << name.toStdString();
  }
  EXPECT_GE(accepted, 8);  // the seeds of 16-bit PCM, at any rate
}

}  // namespace
