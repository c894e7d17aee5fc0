// Real devices on the PulseAudio null sink (scripts/bench.sh starts it): the round trip
// from filling a playback block to capturing it, and the CPU the two streams cost.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
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

void Pump(double seconds) {
  auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
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
  double share = 0;
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
    Pump(1);  // start-up costs are not the steady state
    double c0 = CpuSeconds();
    auto t0 = Clock::now();
    // a real event loop, so the GUI thread sleeps between notifications as in the program
    QEventLoop loop;
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    share = (CpuSeconds() - c0) / wall;
    out.SetEnabled(false);
    in.SetEnabled(false);
  }
  state.counters["cpu_percent_of_one_core"] = share * 100;
  SetAudioBackend(nullptr);
}
BENCHMARK(BM_StreamsCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
