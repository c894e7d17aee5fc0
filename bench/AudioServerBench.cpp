// Real devices on the PulseAudio null sink (scripts/bench.sh starts it), at each latency setting
// (argument 0 low, 1 normal, 2 safe): the round trip from filling a playback block to capturing
// it, and the CPU the two streams cost.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "PortAudioBackend.h"
#include "SoundDevices.h"
#include "WaveCommon.h"

namespace {

using Clock = std::chrono::steady_clock;

QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "bench";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  return *app;
}

TLatency LatencyOf(const benchmark::State& state) { return static_cast<TLatency>(state.range(0)); }

bool UseServer(benchmark::State& state) {
  App();
  if (!std::getenv("PULSE_SERVER")) {
    state.SkipWithError("no audio server (scripts/bench.sh starts one)");
    return false;
  }
  UseDeviceChoice({"", "", LatencyOf(state)});
  if (OutputDeviceName() == kSimulatedCardKey) {
    state.SkipWithError(("PortAudio not usable: " + BackendNote()).c_str());
    return false;
  }
  state.SetLabel(LatencyName(LatencyOf(state)));
  return true;
}

// A real event loop, so the GUI thread sleeps between notifications as in the program.
void Pump(double seconds) {
  QEventLoop loop;
  QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
  loop.exec();
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of this process's threads, split into the PulseAudio client library's own
// mainloop threads ("threaded-ml") and everything else (our GUI thread and device workers,
// including the time they spend inside PortAudio calls).
struct TThreadCpu {
  double pulseClient = 0, rest = 0;
};

TThreadCpu ThreadCpu() {
  TThreadCpu cpu;
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    auto open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::string name = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i == 14) utime = std::stod(field);
      if (i == 15) stime = std::stod(field);
    }
    (name == "threaded-ml" ? cpu.pulseClient : cpu.rest) += (utime + stime) / tick;
  }
  return cpu;
}

// Generator blocks of the latency's length, a pulse at the start of one every 0.4 s or so; the
// capture, in blocks of the latency's chunk, finds it and works out when its first frame arrived.
// Then the round trip as the device dialog measures it (MeasureRoundTripMs).
void BM_RoundTripLatency(benchmark::State& state) {
  if (!UseServer(state)) return;
  const TLatencyPlan plan = LatencyPlan(LatencyOf(state));
  const int outFrames = plan.toneBlockFrames, inFrames = static_cast<int>(plan.chunkFrames);
  // Half a second without pulses: a stream that starts on an idle server may lose its first frames.
  const int first = (22050 + outFrames - 1) / outFrames, every = std::max(1, 17640 / outFrames);
  std::vector<double> latencies;
  double dialog = 0;
  for (auto _ : state) {
    TWaveOut out;
    TWaveIn in;
    out.SetBufferSamples(outFrames);
    in.SetBufferSamples(inFrames);
    int64_t block = 0;
    std::vector<Clock::time_point> pulseFilled;
    out.SetOnNeedData([&](PWaveHdr h) {
      std::memset(h->lpData, 0, h->dwBufferLength);
      if (block >= first && (block - first) % every == 0) {
        reinterpret_cast<int16_t*>(h->lpData)[0] = 20000;
        pulseFilled.push_back(Clock::now());
      }
      ++block;
    });
    size_t found = 0;
    in.SetOnData([&](wavehdr_tag& h) {
      auto now = Clock::now();
      auto* p = reinterpret_cast<int16_t*>(h.lpData);
      for (int i = 0; i < inFrames; ++i) {
        if (p[2 * i] > 10000 && found < pulseFilled.size()) {
          double arrived = std::chrono::duration<double>(now - pulseFilled[found]).count() - (inFrames - i) / 44100.0;
          latencies.push_back(arrived * 1000);
          ++found;
        }
      }
    });
    in.SetAutoStart(true);
    in.SetEnabled(true);
    out.SetEnabled(true);
    Pump(6);
    out.SetEnabled(false);
    in.SetEnabled(false);
    std::string why;
    dialog = MeasureRoundTripMs(10000, &why);
    if (std::isnan(dialog)) state.SkipWithError(why.c_str());
  }
  state.counters["dialog_ms"] = dialog;
  if (latencies.size() > 4) latencies.erase(latencies.begin(), latencies.begin() + 2);  // start-up
  std::sort(latencies.begin(), latencies.end());
  state.counters["pulses"] = static_cast<double>(latencies.size());
  if (!latencies.empty()) {
    state.counters["median_ms"] = latencies[latencies.size() / 2];
    state.counters["min_ms"] = latencies.front();
    state.counters["max_ms"] = latencies.back();
  }
  SetAudioBackend(nullptr);
}
BENCHMARK(BM_RoundTripLatency)->DenseRange(0, 2)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Both streams running for ten seconds with trivial handlers, the generator's blocks of the
// latency's length and 4096-frame captures; and whether a captured frame went missing (a gap in
// the device's frame count, or an overrun).
void BM_StreamsCpu(benchmark::State& state) {
  if (!UseServer(state)) return;
  const TLatencyPlan plan = LatencyPlan(LatencyOf(state));
  double share = 0, pulseShare = 0, restShare = 0;
  int64_t lostFrames = 0, overruns = 0, blocks = 0;
  for (auto _ : state) {
    TWaveOut out;
    TWaveIn in;
    out.SetBufferSamples(plan.toneBlockFrames);
    in.SetBufferSamples(4096);
    out.SetOnNeedData([](PWaveHdr h) { std::memset(h->lpData, 0, h->dwBufferLength); });
    int64_t next = -1;
    in.SetOnData([&](wavehdr_tag& h) {
      if (next >= 0) lostFrames += std::llabs(h.deviceFrame - next);
      next = h.deviceFrame + h.dwBytesRecorded / 4;
      overruns = h.deviceOverruns;
      ++blocks;
    });
    in.SetAutoStart(true);
    in.SetEnabled(true);
    out.SetEnabled(true);
    // The server takes a second or two to start moving audio, and PortAudio's writer spins
    // briefly meanwhile: that is not the steady state.
    Pump(3);
    double c0 = CpuSeconds();
    TThreadCpu th0 = ThreadCpu();
    auto t0 = Clock::now();
    Pump(10);
    double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    share = (CpuSeconds() - c0) / wall;
    TThreadCpu th1 = ThreadCpu();
    pulseShare = (th1.pulseClient - th0.pulseClient) / wall;
    restShare = (th1.rest - th0.rest) / wall;
    out.SetEnabled(false);
    in.SetEnabled(false);
  }
  state.counters["cpu_percent_of_one_core"] = share * 100;
  state.counters["captured_blocks"] = static_cast<double>(blocks);
  state.counters["lost_frames"] = static_cast<double>(lostFrames);
  state.counters["overruns"] = static_cast<double>(overruns);
  state.counters["pulse_client_threads_percent"] = pulseShare * 100;
  state.counters["streams_and_gui_percent"] = restShare * 100;
  SetAudioBackend(nullptr);
}
BENCHMARK(BM_StreamsCpu)->DenseRange(0, 2)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
