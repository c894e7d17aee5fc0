#include "NSP.h"

#include <fftw3.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <numbers>
#include <stdexcept>
#include <string>
#include <utility>

namespace {

// FFTW's SIMD codelets need the planning array's alignment; callers' buffers may be offset
// by any number of floats, so each direction has an aligned plan and a general one.
enum PlanKind {
  kForwardAligned,
  kForwardUnaligned,
  kInverseAligned,
  kInverseUnaligned,
  kPlanKinds
};

// Plans live for the whole process, so a caller in a static destructor never finds one gone.
std::atomic<fftwf_plan> gPlans[kNspMaxFftOrder + 1][kPlanKinds];
// The FFTW planner is not thread-safe; execution is.
std::mutex gPlannerMutex;

void CheckOrder(int order) {
  if (order < 0 || order > kNspMaxFftOrder)
    throw std::invalid_argument("FFT order " + std::to_string(order) + " out of range 0.." +
                                std::to_string(kNspMaxFftOrder));
}

// Estimated, not measured: measured plans run 20-50 % faster, but planning stalls the first
// transform of each size for 0.3-2 s and picks by timing, so results would differ in the last
// bits from run to run. Even at 2^16 an estimated transform costs ~0.1 ms per block.
constexpr unsigned kPlannerFlags = FFTW_ESTIMATE;

fftwf_plan MakePlan(int order, int kind) {
  const int n = 1 << order;
  const bool forward = kind == kForwardAligned || kind == kForwardUnaligned;
  const bool unaligned = kind == kForwardUnaligned || kind == kInverseUnaligned;
  // The aligned plans assume the scratch buffer's alignment; the planner may also write to it.
  float* scratch = fftwf_alloc_real(static_cast<size_t>(n) + 2);
  if (!scratch) throw std::bad_alloc();
  const unsigned flags = kPlannerFlags | (unaligned ? FFTW_UNALIGNED : 0u);
  auto* bins = reinterpret_cast<fftwf_complex*>(scratch);
  fftwf_plan plan = forward ? fftwf_plan_dft_r2c_1d(n, scratch, bins, flags)
                            : fftwf_plan_dft_c2r_1d(n, bins, scratch, flags);
  fftwf_free(scratch);
  if (!plan) throw std::runtime_error("FFTW could not plan order " + std::to_string(order));
  return plan;
}

fftwf_plan GetPlan(int order, int kind) {
  std::atomic<fftwf_plan>& slot = gPlans[order][kind];
  fftwf_plan plan = slot.load(std::memory_order_acquire);
  if (plan) return plan;
  std::lock_guard lock(gPlannerMutex);
  plan = slot.load(std::memory_order_relaxed);
  if (!plan) {
    plan = MakePlan(order, kind);
    slot.store(plan, std::memory_order_release);
  }
  return plan;
}

void Transform(float* vec, int order, int flags) {
  CheckOrder(order);
  const bool aligned = fftwf_alignment_of(vec) == 0;
  auto* bins = reinterpret_cast<fftwf_complex*>(vec);
  switch (flags & (NSP_Forw | NSP_Inv)) {
    case NSP_Forw:
      fftwf_execute_dft_r2c(GetPlan(order, aligned ? kForwardAligned : kForwardUnaligned), vec,
                            bins);
      return;
    case NSP_Inv: {
      fftwf_execute_dft_c2r(GetPlan(order, aligned ? kInverseAligned : kInverseUnaligned), bins,
                            vec);
      const int n = 1 << order;
      const float scale = 1.0f / static_cast<float>(n);  // a power of two: exact
      for (int k = 0; k < n; ++k) vec[k] *= scale;
      return;
    }
    default:
      throw std::invalid_argument("FFT flags " + std::to_string(flags) +
                                  " name no single direction");
  }
}

void CheckWordSize(int wordSize) {
  if (wordSize != 32)
    throw std::invalid_argument("word size " + std::to_string(wordSize) + " not supported");
}

// Conversions may run in place over one array seen as two types, so they stage through
// small local arrays with memcpy instead of reading and writing through aliased pointers.
constexpr int kChunk = 256;

int32_t SaturateToInt32(float integral) {
  if (integral >= 2147483648.0f) return std::numeric_limits<int32_t>::max();
  if (integral < -2147483648.0f) return std::numeric_limits<int32_t>::min();
  if (integral != integral) return 0;
  return static_cast<int32_t>(integral);
}

// Window tables, one per shape and length, made on first use and kept for the process: a block
// of the same length then costs one multiplication per sample instead of a cosine.
enum WindowShape { kHann, kHamming };

const float* WindowTable(WindowShape shape, int n) {
  static std::mutex mutex;
  static std::map<std::pair<int, int>, std::unique_ptr<float[]>> tables;
  std::lock_guard lock(mutex);
  auto& table = tables[{shape, n}];
  if (!table) {
    const double a = shape == kHann ? 0.5 : 0.54;
    const double b = shape == kHann ? 0.5 : 0.46;
    const double step = 2.0 * std::numbers::pi / (n - 1);
    auto made = std::make_unique<float[]>(static_cast<size_t>(n));
    // Symmetric, so each cosine serves both halves and the two halves match exactly.
    for (int k = 0, j = n - 1; k <= j; ++k, --j)
      made[k] = made[j] = static_cast<float>(a - b * std::cos(step * k));
    table = std::move(made);
  }
  return table.get();
}

void ApplyWindow(float* vec, int n, WindowShape shape) {
  if (n <= 1) return;
  const float* w = WindowTable(shape, n);
  for (int k = 0; k < n; ++k) vec[k] *= w[k];
}

}  // namespace

void nspsPrepareFft(int order) {
  CheckOrder(order);
  for (int kind = 0; kind < kPlanKinds; ++kind) GetPlan(order, kind);
}

void nspsRealFft(float* vec, int order, int flags) { Transform(vec, order, flags); }

void nspsCcsFft(float* vec, int order, int flags) { Transform(vec, order, flags); }

void nspcbMpy2(const SCplx* src, SCplx* srcDst, int n) {
  for (int k = 0; k < n; ++k) {
    const SCplx a = src[k];
    const SCplx b = srcDst[k];
    srcDst[k] = {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
  }
}

void nspcbPowerSpectr(const SCplx* src, float* dst, int n) {
  for (int k = 0; k < n; ++k) dst[k] = src[k].re * src[k].re + src[k].im * src[k].im;
}

void nspsWinHann(float* vec, int n) { ApplyWindow(vec, n, kHann); }

void nspsWinHamming(float* vec, int n) { ApplyWindow(vec, n, kHamming); }

void nspsbIntToFloat(const void* src, float* dst, int n, int wordSize, int /*flags*/) {
  CheckWordSize(wordSize);
  const auto* in = static_cast<const unsigned char*>(src);
  int32_t ints[kChunk];
  float floats[kChunk];
  for (int i = 0; i < n; i += kChunk) {
    const int m = std::min(kChunk, n - i);
    std::memcpy(ints, in + static_cast<size_t>(i) * 4, static_cast<size_t>(m) * 4);
    for (int k = 0; k < m; ++k) floats[k] = static_cast<float>(ints[k]);
    std::memcpy(dst + i, floats, static_cast<size_t>(m) * 4);
  }
}

void nspsbFloatToInt(const float* src, void* dst, int n, int wordSize, int flags) {
  CheckWordSize(wordSize);
  const bool round = (flags & NSP_Round) != 0;
  auto* out = static_cast<unsigned char*>(dst);
  float floats[kChunk];
  int32_t ints[kChunk];
  for (int i = 0; i < n; i += kChunk) {
    const int m = std::min(kChunk, n - i);
    std::memcpy(floats, src + i, static_cast<size_t>(m) * 4);
    if (round) {
      // nearbyint follows the default rounding mode: nearest, ties to even.
      for (int k = 0; k < m; ++k) ints[k] = SaturateToInt32(std::nearbyint(floats[k]));
    } else {
      for (int k = 0; k < m; ++k) ints[k] = SaturateToInt32(std::trunc(floats[k]));
    }
    std::memcpy(out + static_cast<size_t>(i) * 4, ints, static_cast<size_t>(m) * 4);
  }
}

void nspsbCopy(const float* src, float* dst, int n) {
  if (n > 0) std::memmove(dst, src, static_cast<size_t>(n) * sizeof(float));
}

void nspsbMpy1(float val, float* vec, int n) {
  for (int k = 0; k < n; ++k) vec[k] *= val;
}

void nspsbAdd1(float val, float* vec, int n) {
  for (int k = 0; k < n; ++k) vec[k] += val;
}

void nspsbSub1(float val, float* vec, int n) {
  for (int k = 0; k < n; ++k) vec[k] -= val;
}

void nspsbSub3(const float* a, const float* b, float* dst, int n) {
  for (int k = 0; k < n; ++k) dst[k] = a[k] - b[k];
}

void nspsbLn1(float* vec, int n) {
  for (int k = 0; k < n; ++k) vec[k] = std::log(vec[k]);
}
