// Latency from a device thread's post to the stream's handler on the GUI thread.
#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "AudioDevice.h"

namespace {

void BM_NotificationLatency(benchmark::State& state) {
  int argc = 1;
  char name[] = "bench";
  char* argv[] = {name, nullptr};
  static QCoreApplication* app = QCoreApplication::instance() ? QCoreApplication::instance()
                                                                : new QCoreApplication(argc, argv);
  (void)app;
  std::vector<double> latencies;
  int64_t handledAt = 0;
  bool handled = false;
  TDeviceNotifier notifier([&](unsigned, PWaveHdr, uint32_t) {
    handledAt = PerfCounter();
    handled = true;
  });
  for (auto _ : state) {
    handled = false;
    std::thread device([&] { notifier.Post(MM_WOM_DONE, nullptr, 1); });
    while (!handled) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    device.join();
    latencies.push_back(static_cast<double>(handledAt - notifier.LastPostTime()) / 1000.0);
  }
  std::sort(latencies.begin(), latencies.end());
  state.counters["median_us"] = latencies[latencies.size() / 2];
  state.counters["p99_us"] = latencies[latencies.size() * 99 / 100];
}
BENCHMARK(BM_NotificationLatency)->Iterations(2000)->UseRealTime();

}  // namespace
