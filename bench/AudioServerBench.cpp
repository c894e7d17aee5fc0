// Real devices on the PulseAudio null sink (scripts/bench.sh starts it): the round trip
// from filling a playback block to capturing it, and the CPU the two streams cost.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "PortAudioBackend.h"
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

bool UseServer(benchmark::State& state) {
  App();
  std::string why;
  auto backend = CreatePortAudioBackend(&why);
  if (!std::getenv("PULSE_SERVER") || !backend) {
    state.SkipWithError("no audio server (scripts/bench.sh starts one)");
    return false;
  }
  SetAudioBackend(backend);
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

// Every eighth 1024-frame block starts with a pulse; the capture side finds it and works
// out when its first frame arrived.
void BM_RoundTripLatency(benchmark::State& state) {
  if (!UseServer(state)) return;
  std::vector<double> latencies;
  for (auto _ : state) {
    TWaveOut out;
    TWaveIn in;
    out.SetBufferSamples(1024);
    in.SetBufferSamples(1024);
    int64_t block = 0;
    std::vector<Clock::time_point> pulseFilled;
    out.SetOnNeedData([&](PWaveHdr h) {
      std::memset(h->lpData, 0, h->dwBufferLength);
      if (block++ % 8 == 4) {
        reinterpret_cast<int16_t*>(h->lpData)[0] = 20000;
        pulseFilled.push_back(Clock::now());
      }
    });
    size_t found = 0;
    in.SetOnData([&](wavehdr_tag& h) {
      auto now = Clock::now();
      auto* p = reinterpret_cast<int16_t*>(h.lpData);
      for (int i = 0; i < 1024; ++i) {
        if (p[2 * i] > 10000 && found < pulseFilled.size()) {
          double arrived = std::chrono::duration<double>(now - pulseFilled[found]).count() - (1024 - i) / 44100.0;
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
  }
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
BENCHMARK(BM_RoundTripLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Both streams running with 4096-frame blocks and trivial handlers for ten seconds.
void BM_StreamsCpu(benchmark::State& state) {
  if (!UseServer(state)) return;
  double share = 0, pulseShare = 0, restShare = 0;
  for (auto _ : state) {
    TWaveOut out;
    TWaveIn in;
    out.SetBufferSamples(4096);
    in.SetBufferSamples(4096);
    out.SetOnNeedData([](PWaveHdr h) { std::memset(h->lpData, 0, h->dwBufferLength); });
    in.SetOnData([](wavehdr_tag&) {});
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
  state.counters["pulse_client_threads_percent"] = pulseShare * 100;
  state.counters["streams_and_gui_percent"] = restShare * 100;
  SetAudioBackend(nullptr);
}
BENCHMARK(BM_StreamsCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
