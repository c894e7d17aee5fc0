// nspsRealFft against FFTW called directly on the same in-place problem. The layer should
// cost no more than 5 % over the bare plan execution (compare BM_NspRealFft with
// BM_FftwDirect per order).
#include "NSP.h"

#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <algorithm>
#include <vector>

namespace {

// The transform is data-oblivious; zeros stay finite and normal however often it runs.
float* ZeroBuffer(int order) {
  const size_t floats = (size_t{1} << order) + 2 + 1;
  float* p = fftwf_alloc_real(floats);
  std::fill(p, p + floats, 0.0f);
  return p;
}

void BM_NspRealFft(benchmark::State& state) {
  const int order = static_cast<int>(state.range(0));
  float* buf = ZeroBuffer(order);
  nspsPrepareFft(order);
  for (auto _ : state) {
    nspsRealFft(buf, order, NSP_Forw);
    benchmark::ClobberMemory();
  }
  fftwf_free(buf);
}

// FFTW on the same in-place problem with the given planner flags. With the layer's own
// flags (estimate) the pair measures pure overhead; measure shows what planning harder buys.
void RunFftwDirect(benchmark::State& state, unsigned flags) {
  const int order = static_cast<int>(state.range(0));
  float* buf = ZeroBuffer(order);
  fftwf_plan plan =
      fftwf_plan_dft_r2c_1d(1 << order, buf, reinterpret_cast<fftwf_complex*>(buf), flags);
  // Estimated plans reuse wisdom from measured ones; keep the layer's plans its own.
  fftwf_forget_wisdom();
  std::fill(buf, buf + (1 << order) + 2, 0.0f);
  for (auto _ : state) {
    fftwf_execute(plan);
    benchmark::ClobberMemory();
  }
  fftwf_destroy_plan(plan);
  fftwf_free(buf);
}

void BM_FftwDirect(benchmark::State& state) { RunFftwDirect(state, FFTW_ESTIMATE); }
void BM_FftwDirectMeasured(benchmark::State& state) { RunFftwDirect(state, FFTW_MEASURE); }

// A buffer one float off the SIMD alignment takes the general plan.
void BM_NspRealFftUnaligned(benchmark::State& state) {
  const int order = static_cast<int>(state.range(0));
  float* buf = ZeroBuffer(order);
  nspsPrepareFft(order);
  for (auto _ : state) {
    nspsRealFft(buf + 1, order, NSP_Forw);
    benchmark::ClobberMemory();
  }
  fftwf_free(buf);
}

void BM_NspInverse(benchmark::State& state) {
  const int order = static_cast<int>(state.range(0));
  float* buf = ZeroBuffer(order);
  nspsPrepareFft(order);
  for (auto _ : state) {
    nspsCcsFft(buf, order, NSP_Inv);
    benchmark::ClobberMemory();
  }
  fftwf_free(buf);
}

void BM_NspWinHann(benchmark::State& state) {
  std::vector<float> v(static_cast<size_t>(state.range(0)), 1.0f);
  for (auto _ : state) {
    nspsWinHann(v.data(), static_cast<int>(v.size()));
    std::fill(v.begin(), v.end(), 1.0f);
    benchmark::ClobberMemory();
  }
}

}  // namespace

BENCHMARK(BM_NspRealFft)->DenseRange(12, 15);
BENCHMARK(BM_FftwDirect)->DenseRange(12, 15);
BENCHMARK(BM_FftwDirectMeasured)->DenseRange(12, 15);
BENCHMARK(BM_NspRealFftUnaligned)->DenseRange(12, 15);
BENCHMARK(BM_NspInverse)->DenseRange(12, 15);
BENCHMARK(BM_NspWinHann)->Arg(1 << 14);
