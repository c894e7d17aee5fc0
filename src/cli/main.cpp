// quorvane-test: the sound-card test without a window, on the same engine as the window's.
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <cstring>
#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "AudioDevice.h"
#include "CardReport.h"
#include "CardTest.h"
#include "CardTestRun.h"
#include "Messages.h"
#include "SimulatedCard.h"
#include "SoundDevices.h"
#include "Version.h"
#include "WaveFile.h"

namespace {

constexpr int kPassed = 0, kOutsideLimits = 1, kCannotRun = 2;

const char* kHelp =
    "Usage: quorvane-test [options] FOLDER\n"
    "\n"
    "Runs the sound-card test (frequency response, noise, dynamic range, THD+N, IMD, crosstalk,\n"
    "DC offset, round-trip delay) with the output wired to the input, and writes the report into\n"
    "FOLDER as sound-card-test-DATE.html and .csv.\n"
    "\n"
    "Where the sound comes from (default: the default output and input):\n"
    "  --output NAME         play on this device (\"HOST API: NAME\", as --list shows)\n"
    "  --input NAME          record from this device\n"
    "  --latency L           low, normal (the default) or safe\n"
    "  --simulated           the built-in simulated sound card, run faster than real time\n"
    "                        (QUORVANE_SIM_* set its model, as for the window)\n"
    "  --played FILE --captured FILE\n"
    "                        analyse a pair of WAV files: the test signal as --write-signal\n"
    "                        wrote it, and what was recorded while it played\n"
    "Other options:\n"
    "  --write-signal FILE   write the test signal as a 16-bit 44.1 kHz WAV file and stop\n"
    "  --limits FILE         check each figure against its limit (lines \"KEY MIN MAX\", - for\n"
    "                        none, KEY.left or KEY.right for one channel); exit 1 when one fails\n"
    "  --beside FILE         lay an earlier report (its .csv) beside this one in the page\n"
    "  --list                list the sound devices and stop\n"
    "  --help                show this text\n"
    "\n"
    "Exit status: 0 done (and within the limits), 1 a figure outside its limit, 2 the test could\n"
    "not run (a bad option, device or file; the reason is printed).\n";

int Fail(const std::string& why) {
  std::fprintf(stderr, "quorvane-test: %s\n", why.c_str());
  return kCannotRun;
}

std::optional<std::string> ReadText(const QString& name, std::string* why) {
  QFile f(name);
  if (!f.open(QIODevice::ReadOnly)) {
    *why = "cannot read \"" + name.toStdString() + "\": " + f.errorString().toStdString();
    return std::nullopt;
  }
  return f.readAll().toStdString();
}

bool WriteBytes(const QString& name, const QByteArray& bytes, std::string* why) {
  QSaveFile f(name);
  if (f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() && f.commit()) return true;
  *why = "cannot write \"" + name.toStdString() + "\": " + f.errorString().toStdString();
  return false;
}

// A WAV file's stereo frames; nothing and *why when it is not a 16-bit 44.1 kHz WAV file.
std::optional<std::vector<int16_t>> ReadWave(const QString& name, std::string* why) {
  QFile f(name);
  if (!f.open(QIODevice::ReadOnly)) {
    *why = "cannot read \"" + name.toStdString() + "\": " + f.errorString().toStdString();
    return std::nullopt;
  }
  const QByteArray bytes = f.readAll();
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.constData());
  const TWaveParse parse = ParseWave({data, static_cast<std::size_t>(bytes.size())}, false);
  if (parse.Fault != TWaveFault::None) {
    *why = "\"" + name.toStdString() + "\" " + parse.Reason;
    return std::nullopt;
  }
  return StereoFrames({data + parse.DataOffset, static_cast<std::size_t>(parse.DataSize)}, parse.Format.Channels);
}

std::vector<int16_t> Signal(const TCardTestPlan& plan) {
  std::vector<int16_t> frames(2 * static_cast<std::size_t>(plan.Frames()));
  plan.FillStereo16(frames.data(), 0, static_cast<int>(plan.Frames()));
  return frames;
}

std::string Figure(double v, const std::string& unit) {
  if (!std::isfinite(v)) return "-";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, unit == "%" ? "%.5f" : unit == "% of full scale" ? "%.6f" : "%.2f", v);
  return buffer;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(__SANITIZE_ADDRESS__)
  // ALSA unloads the plugins it probed before the leak check runs, and what they keep would
  // then count as our leak (and change the exit status): keep them loaded.
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/x86_64-linux-gnu/alsa-lib", error))
    dlopen(entry.path().c_str(), RTLD_LAZY | RTLD_NODELETE);
#endif
  QCoreApplication app(argc, argv);
  QCoreApplication::setOrganizationName("Brackwell Systems");
  QCoreApplication::setApplicationName("Quorvane");

  std::string output, input, played, captured, signal, limitsFile, beside, folder;
  std::string latencyText = "normal";
  bool simulated = false, list = false;
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) return false;
      into = args[++i];
      return true;
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return kPassed;
    }
    bool ok = true;
    if (a == "--output") ok = value(output);
    else if (a == "--input") ok = value(input);
    else if (a == "--latency") ok = value(latencyText);
    else if (a == "--played") ok = value(played);
    else if (a == "--captured") ok = value(captured);
    else if (a == "--write-signal") ok = value(signal);
    else if (a == "--limits") ok = value(limitsFile);
    else if (a == "--beside") ok = value(beside);
    else if (a == "--simulated") simulated = true;
    else if (a == "--list") list = true;
    else if (a.rfind("--", 0) == 0) return Fail("unknown option " + a + " (see --help)");
    else if (folder.empty()) folder = a;
    else return Fail("one report folder only: \"" + folder + "\" and \"" + a + "\" (see --help)");
    if (!ok) return Fail(a + " needs a value (see --help)");
  }
  TLatency latency;
  if (!ParseLatency(latencyText, &latency)) return Fail("--latency is low, normal or safe, not \"" + latencyText + "\"");
  if (played.empty() != captured.empty()) return Fail("--played and --captured go together");
  const bool files = !played.empty();
  if (files + simulated + (!output.empty() || !input.empty()) > 1)
    return Fail("choose one source: devices, --simulated, or --played with --captured");

  const TCardTestPlan plan;
  std::string why;
  if (!signal.empty()) {
    const std::vector<int16_t> frames = Signal(plan);
    TWaveFormat format;
    const std::vector<uint8_t> bytes =
        WaveFileBytes(format, {reinterpret_cast<const uint8_t*>(frames.data()), frames.size() * 2},
                      QDate::currentDate().toString("yyyy-MM-dd").toStdString());
    if (!WriteBytes(QString::fromStdString(signal), QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                                               static_cast<qsizetype>(bytes.size())), &why))
      return Fail(why);
    std::printf("Wrote the test signal (%.1f s) to %s\n", plan.Seconds(), signal.c_str());
    return kPassed;
  }
  if (list) {
    const std::vector<TSoundDevice> devices = ListSoundDevices(&why);
    if (devices.empty()) return Fail(why.empty() ? "no sound devices found" : why);
    for (const TSoundDevice& d : devices)
      std::printf("%s%s%s\n", DeviceKey(d.hostApi, d.name).c_str(), d.maxOutputChannels > 0 ? "  [output]" : "",
                  d.maxInputChannels > 0 ? "  [input]" : "");
    return kPassed;
  }
  if (folder.empty()) return Fail("name the folder for the report (see --help)");
  if (!QFileInfo(QString::fromStdString(folder)).isDir()) return Fail("\"" + folder + "\" is not a folder");

  std::optional<std::vector<TCardLimit>> limits;
  if (!limitsFile.empty()) {
    const std::optional<std::string> text = ReadText(QString::fromStdString(limitsFile), &why);
    if (!text) return Fail(why);
    limits = ParseCardLimits(*text, &why);
    if (!limits) return Fail("\"" + limitsFile + "\" " + why);
  }
  std::optional<TCardReport> earlier;
  if (!beside.empty()) {
    const std::optional<std::string> text = ReadText(QString::fromStdString(beside), &why);
    if (!text) return Fail(why);
    earlier = ParseCardReportCsv(*text, &why);
    if (!earlier) return Fail("\"" + beside + "\" " + why);
  }

  TCardReport report;
  report.Program = "Quorvane " + std::to_string(QUORVANE_VERSION_MAJOR) + "." + std::to_string(QUORVANE_VERSION_MINOR) +
                   "." + std::to_string(QUORVANE_VERSION_PATCH) + "." + std::to_string(QUORVANE_VERSION_TWEAK) +
                   " (quorvane-test)";
  report.Date = QDateTime::currentDateTime().toString("yyyy-MM-dd HH:mm:ss").toStdString();
  report.Settings = plan.Settings();
  std::vector<int16_t> capture;
  TCardTestTiming timing;
  if (files) {
    const std::optional<std::vector<int16_t>> p = ReadWave(QString::fromStdString(played), &why);
    if (!p) return Fail(why);
    const std::vector<int16_t> want = Signal(plan);
    if (p->size() < want.size() || !std::equal(want.begin(), want.end(), p->begin()))
      return Fail("\"" + played + "\" is not the test signal: write it with --write-signal, play it and record "
                  "what comes back");
    const std::optional<std::vector<int16_t>> c = ReadWave(QString::fromStdString(captured), &why);
    if (!c) return Fail(why);
    capture = *c;
    report.Output = played;
    report.Input = captured;
    report.Backend = "A pair of WAV files";
  } else {
    if (simulated) {
      auto backend = std::make_shared<TSimulatedBackend>(TCardPace::Accelerated);
      for (const std::string& line : ConfigureCardFromEnvironment(backend->Card()))
        std::fprintf(stderr, "quorvane-test: %s\n", line.c_str());
      SetAudioBackend(backend);
      report.Backend = "Simulated sound card";
    } else {
      // A named device must be there: a production line must not test the wrong card.
      if (!output.empty() || !input.empty()) {
        const std::vector<TSoundDevice> devices = ListSoundDevices(&why);
        for (const auto& [name, isOutput] : {std::pair{&output, true}, std::pair{&input, false}}) {
          if (name->empty()) continue;
          bool found = false;
          for (const TSoundDevice& d : devices)
            found = found || (DeviceKey(d.hostApi, d.name) == *name &&
                              (isOutput ? d.maxOutputChannels : d.maxInputChannels) > 0);
          if (!found)
            return Fail(std::string("there is no sound ") + (isOutput ? "output" : "input") + " \"" + *name +
                        "\" (--list shows the devices)");
        }
      }
      const std::string note = UseDeviceChoice({output, input, latency});
      if (!note.empty()) std::fprintf(stderr, "quorvane-test: %s\n", note.c_str());
      report.Backend = AudioBackend().Name() == "simulated"
                           ? std::string("Simulated sound card")
                           : std::string("PortAudio, ") + LatencyName(latency) + " latency";
    }
    TCardTestRun run(plan);
    const bool fast = simulated;
    const TLatencyPlan buffers = LatencyPlan(latency);
    std::string error;
    bool done = false;
    QEventLoop loop;
    run.SetOnFinished([&](const std::string& e) {
      error = e;
      done = true;
      loop.quit();
    });
    int shown = -1;
    run.SetOnProgress([&](double fraction, const std::string& step) {
      const int percent = static_cast<int>(fraction * 100);
      if (percent / 10 != shown / 10) std::fprintf(stderr, "%3d %%  %s\n", percent, step.c_str());
      shown = percent;
    });
    try {
      run.Start(fast ? 16384 : buffers.toneBlockFrames, fast ? 16384 : static_cast<int>(buffers.chunkFrames));
    } catch (const std::exception& e) {
      return Fail(e.what());
    }
    if (!done) loop.exec();
    if (!error.empty()) return Fail(error);
    capture = run.Captured();
    timing = run.Timing();
    report.Output = run.OutputName();
    report.Input = run.InputName();
  }
  report.Result = AnalyseCardTest(plan, capture.data(), static_cast<int64_t>(capture.size() / 2), timing);
  if (!report.Result.Valid) return Fail(report.Result.Error);

  std::vector<TCardReport> pages{report};
  if (earlier) pages.push_back(*earlier);
  const QString stem = QString::fromStdString(
      NewCardReportStem(folder, QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss").toStdString()));
  const std::string html = CardReportHtml(pages), csv = CardReportCsv(report);
  if (!WriteBytes(stem + ".html", QByteArray::fromStdString(html), &why) ||
      !WriteBytes(stem + ".csv", QByteArray::fromStdString(csv), &why))
    return Fail(why);
  for (const TCardFigure& f : report.Result.Figures)
    std::printf("%-22s %-52s %10s %10s  %s\n", f.Key.c_str(), f.Name.c_str(), Figure(f.Left, f.Unit).c_str(),
                Figure(f.Right, f.Unit).c_str(), f.Unit.c_str());
  std::printf("Report: %s.html\n", stem.toStdString().c_str());
  if (limits) {
    const std::vector<std::string> failures = CheckCardLimits(report.Result, *limits);
    for (const std::string& f : failures) std::printf("OUTSIDE LIMIT: %s\n", f.c_str());
    if (!failures.empty()) return kOutsideLimits;
    std::printf("All %zu limits met.\n", limits->size());
  }
  return kPassed;
}
