#include "SimulatedCard.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>

#include <pthread.h>

namespace {

constexpr int kChunk = 256;
// In real time the card moves everything that has come due in one go, up to the next block
// boundary or this many frames, and sleeps until then: each wakeup costs more than the frames.
// Well below the one second after which a late card gives up catching up.
constexpr int kRealtimeChunk = 8192;
constexpr int64_t kHumPeriod = 882;  // 50 Hz repeats every 882 frames exactly

// sin of each phase of the hum, computed as HumAt does, so that a product with the amplitude is
// HumAt's value without a sin per frame.
const std::vector<double>& HumTable() {
  static const std::vector<double> table = [] {
    std::vector<double> t(kHumPeriod);
    for (int64_t k = 0; k < kHumPeriod; ++k)
      t[k] = std::sin(2 * std::numbers::pi * static_cast<double>(k) / kHumPeriod);
    return t;
  }();
  return table;
}

int16_t Saturate16(double v) {
  double r = std::nearbyint(v);
  if (r > 32767.0) return 32767;
  if (r < -32768.0) return -32768;
  return static_cast<int16_t>(r);
}

uint32_t FramesOf(PWaveHdr h) { return h->dwBufferLength / kBlockAlign; }

std::string StandardErrorText(int code) {
  switch (code) {
    case MMSYSERR_NOERROR: return "The command completed successfully.";
    case MMSYSERR_ERROR: return "Unspecified error.";
    case MMSYSERR_BADDEVICEID: return "The device identifier is out of range.";
    case MMSYSERR_ALLOCATED: return "The specified device is already in use.";
    case MMSYSERR_INVALHANDLE: return "The device is not open.";
    case MMSYSERR_NODRIVER: return "There is no driver installed.";
    case MMSYSERR_NOMEM: return "Unable to allocate or lock memory.";
    default: return "Unknown error " + std::to_string(code) + ".";
  }
}

// Audio-cookbook biquads, normalised so a0 = 1.
TSimulatedCard::TBiquad Normalise(double b0, double b1, double b2, double a0, double a1, double a2) {
  return {b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0};
}

TSimulatedCard::TBiquad HighPass(double f, double q) {
  double w = 2 * std::numbers::pi * f / kSampleRate, c = std::cos(w), al = std::sin(w) / (2 * q);
  return Normalise((1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + al, -2 * c, 1 - al);
}

TSimulatedCard::TBiquad LowPass(double f, double q) {
  double w = 2 * std::numbers::pi * f / kSampleRate, c = std::cos(w), al = std::sin(w) / (2 * q);
  return Normalise((1 - c) / 2, 1 - c, (1 - c) / 2, 1 + al, -2 * c, 1 - al);
}

TSimulatedCard::TBiquad Peak(double f, double q, double gaindB) {
  double A = std::pow(10.0, gaindB / 40);
  double w = 2 * std::numbers::pi * f / kSampleRate, c = std::cos(w), al = std::sin(w) / (2 * q);
  return Normalise(1 + al * A, -2 * c, 1 - al * A, 1 + al / A, -2 * c, 1 - al / A);
}

}  // namespace

std::vector<TSimulatedCard::TBiquad> TSimulatedCard::RightModel() {
  return {HighPass(kHighPassHz, std::numbers::sqrt2 / 2), Peak(kPeakHz, kPeakQ, kPeakGaindB),
          LowPass(kLowPassHz, std::numbers::sqrt2 / 2)};
}

std::complex<double> TSimulatedCard::RightResponse(double hz) {
  std::complex<double> z = std::polar(1.0, -2 * std::numbers::pi * hz / kSampleRate);  // z^-1
  std::complex<double> h = 1.0;
  for (const auto& s : RightModel())
    h *= (s.b0 + s.b1 * z + s.b2 * z * z) / (1.0 + s.a1 * z + s.a2 * z * z);
  return h;
}

double TSimulatedCard::RightGaindB(double hz) { return 20 * std::log10(std::abs(RightResponse(hz))); }

double TSimulatedCard::HumAt(int64_t frame, double amplitude) {
  // The remainder keeps the phase precise.
  return amplitude * std::sin(2 * std::numbers::pi * static_cast<double>(frame % kHumPeriod) / kHumPeriod);
}

// ---- devices ---------------------------------------------------------------

// One device of the card; the input adds starting and stopping.
template <class TBase, bool output>
class TSimulatedCard::TCardDevice : public TBase {
 public:
  static constexpr int kDirection = output ? 0 : 1;
  static constexpr unsigned kOpen = output ? MM_WOM_OPEN : MM_WIM_OPEN;
  static constexpr unsigned kBlock = output ? MM_WOM_DONE : MM_WIM_DATA;
  static constexpr unsigned kClose = output ? MM_WOM_CLOSE : MM_WIM_CLOSE;

  explicit TCardDevice(std::shared_ptr<TSimulatedCard> card) : card_(std::move(card)) {}
  ~TCardDevice() override { Close(); }

  int Open(TDeviceNotifier* notifier, uint32_t generation) override {
    std::lock_guard<std::mutex> lock(card_->mutex_);
    TDirectionState& d = card_->directions_[kDirection];
    if (open_) return MMSYSERR_ALLOCATED;
    if (d.refuseCode != 0) {
      const int code = d.refuseCode;
      d.lastErrorCode = code;
      d.lastErrorText = d.refuseText;
      d.refuseCode = 0;
      return code;
    }
    slot_ = TStreamSlot{};
    slot_.notifier = notifier;
    slot_.generation = generation;
    open_ = true;
    d.streams.push_back(&slot_);
    notifier->Post(kOpen, nullptr, generation);
    card_->wake_.notify_all();
    return 0;
  }

  int Queue(PWaveHdr h) override {
    std::lock_guard<std::mutex> lock(card_->mutex_);
    if (!open_) return MMSYSERR_INVALHANDLE;
    if (slot_.failed) return slot_.failCode;
    if (std::find(slot_.queue.begin(), slot_.queue.end(), h) != slot_.queue.end()) ++card_->doubleQueued_;
    h->dwFlags = (h->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    if (!output) h->dwBytesRecorded = 0;
    if (FramesOf(h) == 0) {  // nothing to move: straight back
      h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
      slot_.notifier->Post(kBlock, h, slot_.generation);
      return 0;
    }
    // A block behind others changes nothing the card waits for; only a starved queue's first
    // one can bring its next boundary nearer.
    const bool first = slot_.queue.empty();
    slot_.queue.push_back(h);
    if (first) card_->wake_.notify_all();
    return 0;
  }

  int Reset() override {
    std::lock_guard<std::mutex> lock(card_->mutex_);
    if (!open_) return 0;
    if (card_->unresponsive_) return DEVERR_NOTANSWERING;
    slot_.recording = false;
    card_->ReturnAll(slot_, kBlock, !output);
    return 0;
  }

  int Close() override {
    std::lock_guard<std::mutex> lock(card_->mutex_);
    if (!open_) return 0;
    slot_.recording = false;
    std::vector<TStreamSlot*>& list = card_->directions_[kDirection].streams;
    list.erase(std::remove(list.begin(), list.end(), &slot_), list.end());
    open_ = false;
    if (card_->unresponsive_) {
      // Abandoned: the blocks are the stream's again without a word, and the close comes late.
      slot_.queue.clear();
      slot_.pos = 0;
      slot_.notifier->Post(kClose, nullptr, slot_.generation);
      return DEVERR_NOTANSWERING;
    }
    card_->ReturnAll(slot_, kBlock, !output);
    slot_.notifier->Post(kClose, nullptr, slot_.generation);
    return 0;
  }

  std::string ErrorText(int code) const override {
    std::lock_guard<std::mutex> lock(card_->mutex_);
    const TDirectionState& d = card_->directions_[kDirection];
    if (code == d.lastErrorCode && !d.lastErrorText.empty()) return d.lastErrorText;
    return StandardErrorText(code);
  }
  int LastError() const override {
    std::lock_guard<std::mutex> lock(card_->mutex_);
    return slot_.failCode;
  }
  std::string Name() const override { return output ? "simulated sound card output" : "simulated sound card input"; }

 protected:
  std::shared_ptr<TSimulatedCard> card_;
  TStreamSlot slot_;
  bool open_ = false;
};

class TSimulatedCard::TInput : public TCardDevice<TInputDevice, false> {
 public:
  using TCardDevice::TCardDevice;

  int Start() override {
    std::lock_guard<std::mutex> lock(card_->mutex_);
    if (!open_) return MMSYSERR_INVALHANDLE;
    if (card_->unresponsive_) return DEVERR_NOTANSWERING;
    if (slot_.failed) return slot_.failCode;
    if (slot_.recording) return 0;
    slot_.recording = true;
    slot_.started = false;
    card_->wake_.notify_all();
    return 0;
  }

  int Stop() override {
    std::lock_guard<std::mutex> lock(card_->mutex_);
    if (!open_) return 0;
    if (card_->unresponsive_) return DEVERR_NOTANSWERING;
    slot_.recording = false;
    // a partly filled block comes back with what it holds; empty ones stay queued
    if (!slot_.queue.empty() && slot_.pos > 0) {
      PWaveHdr h = slot_.queue.front();
      slot_.queue.pop_front();
      h->dwBytesRecorded = slot_.pos * kBlockAlign;
      h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
      slot_.pos = 0;
      slot_.notifier->Post(MM_WIM_DATA, h, slot_.generation);
    }
    return 0;
  }
};

// ---- card ------------------------------------------------------------------

TSimulatedCard::TSimulatedCard(TCardPace pace, uint32_t seed)
    : pace_(pace),
      right_(RightModel()),
      delay_(2 * kLatencyFrames, 0.0),
      rng_(0x9E3779B97F4A7C15ull ^ (static_cast<uint64_t>(seed) * 0xD1B54A32D192ED03ull + 1)) {
  thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "qv-card");  // tells it apart in a per-thread CPU table
    Run();
  });
}

TSimulatedCard::~TSimulatedCard() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void TSimulatedCard::SetPace(TCardPace pace) {
  std::lock_guard<std::mutex> lock(mutex_);
  pace_ = pace;
  wake_.notify_all();
}

void TSimulatedCard::SetHumAmplitude(double lsb) {
  std::lock_guard<std::mutex> lock(mutex_);
  humAmplitude_ = lsb;
}

void TSimulatedCard::SetNoiseRms(double lsb) {
  std::lock_guard<std::mutex> lock(mutex_);
  noiseRms_ = lsb;
}

TCardPace TSimulatedCard::Pace() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pace_;
}

void TSimulatedCard::RefuseNextOutputOpen(int code, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  directions_[0].refuseCode = code;
  directions_[0].refuseText = text;
}

void TSimulatedCard::RefuseNextInputOpen(int code, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  directions_[1].refuseCode = code;
  directions_[1].refuseText = text;
}

void TSimulatedCard::FailOutputs(int code, const std::string& text) { FailAll(0, code, text); }
void TSimulatedCard::FailInputs(int code, const std::string& text) { FailAll(1, code, text); }

void TSimulatedCard::FailAll(int direction, int code, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  TDirectionState& d = directions_[direction];
  d.lastErrorCode = code;
  d.lastErrorText = text;
  for (TStreamSlot* slot : d.streams) {
    if (slot->failed) continue;
    slot->failed = true;
    slot->failCode = code;
    slot->recording = false;
    slot->notifier->Post(direction == 0 ? MM_WOM_ERROR : MM_WIM_ERROR, nullptr, slot->generation);
  }
}

void TSimulatedCard::SetFrozen(bool frozen) {
  std::lock_guard<std::mutex> lock(mutex_);
  frozen_ = frozen;
  wake_.notify_all();
}

void TSimulatedCard::SetUnresponsive(bool unresponsive) {
  std::lock_guard<std::mutex> lock(mutex_);
  unresponsive_ = unresponsive;
}

int64_t TSimulatedCard::Frame() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frame_;
}

int64_t TSimulatedCard::LastOutputStartFrame() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastOutputStart_;
}

int64_t TSimulatedCard::LastInputStartFrame() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastInputStart_;
}

int64_t TSimulatedCard::DoubleQueued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return doubleQueued_;
}

int64_t TSimulatedCard::DroppedInputFrames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return droppedInput_;
}

std::unique_ptr<TOutputDevice> TSimulatedCard::CreateOutput() {
  return std::make_unique<TCardDevice<TOutputDevice, true>>(shared_from_this());
}

std::unique_ptr<TInputDevice> TSimulatedCard::CreateInput() {
  return std::make_unique<TInput>(shared_from_this());
}

void TSimulatedCard::ReturnAll(TStreamSlot& slot, unsigned message, bool keepPartial) {
  bool first = true;
  for (PWaveHdr h : slot.queue) {
    if (message == MM_WIM_DATA) h->dwBytesRecorded = (first && keepPartial) ? slot.pos * kBlockAlign : 0;
    h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    slot.notifier->Post(message, h, slot.generation);
    first = false;
  }
  slot.queue.clear();
  slot.pos = 0;
}

double TSimulatedCard::Noise() {
  // Box-Muller over a 64-bit LCG: reproducible for a seed on every platform.
  if (haveSpare_) {
    haveSpare_ = false;
    return spare_;
  }
  auto uniform = [this] {
    rng_ = rng_ * 6364136223846793005ull + 1442695040888963407ull;
    return (static_cast<double>(rng_ >> 11) + 0.5) * (1.0 / 9007199254740992.0);
  };
  double u1 = uniform(), u2 = uniform();
  double r = std::sqrt(-2.0 * std::log(u1));
  double a = 2 * std::numbers::pi * u2;
  spare_ = r * std::sin(a) * noiseRms_;
  haveSpare_ = true;
  return r * std::cos(a) * noiseRms_;
}

void TSimulatedCard::ProcessChunk(int frames) {
  const std::vector<double>& humTable = HumTable();
  int64_t humPhase = frame_ % kHumPeriod;
  for (int i = 0; i < frames; ++i) {
    double outL = 0, outR = 0;
    for (TStreamSlot* s : outputs_) {
      if (s->queue.empty() || s->failed) continue;
      const int16_t* p = reinterpret_cast<const int16_t*>(s->queue.front()->lpData) + 2 * (s->pos + i);
      outL += p[0];
      outR += p[1];
    }
    double dutL = outL;
    double dutR = outR;
    for (auto& b : right_) dutR = b.Process(dutR);
    // fixed latency: what went in kLatencyFrames ago comes out now
    double yL = delay_[2 * delayPos_], yR = delay_[2 * delayPos_ + 1];
    delay_[2 * delayPos_] = dutL;
    delay_[2 * delayPos_ + 1] = dutR;
    delayPos_ = (delayPos_ + 1) % kLatencyFrames;

    const double hum = humAmplitude_ * humTable[humPhase];
    if (++humPhase == kHumPeriod) humPhase = 0;
    int16_t inL = Saturate16(yL + kLeftOffset + hum + Noise());
    int16_t inR = Saturate16(yR + kRightOffset + hum + Noise());
    for (TStreamSlot* s : inputs_) {
      if (!s->recording) continue;
      if (s->queue.empty()) {
        ++droppedInput_;
        continue;
      }
      int16_t* q = reinterpret_cast<int16_t*>(s->queue.front()->lpData) + 2 * (s->pos + i);
      q[0] = inL;
      q[1] = inR;
    }
  }

  for (TStreamSlot* s : outputs_) {
    if (s->queue.empty() || s->failed) continue;
    if (!s->started) {
      s->started = true;
      lastOutputStart_ = frame_;
    }
    s->pos += frames;
    PWaveHdr h = s->queue.front();
    if (s->pos >= FramesOf(h)) {
      s->queue.pop_front();
      s->pos = 0;
      h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
      s->notifier->Post(MM_WOM_DONE, h, s->generation);
    }
  }
  for (TStreamSlot* s : inputs_) {
    if (!s->recording || s->queue.empty()) continue;
    if (!s->started) {
      s->started = true;
      lastInputStart_ = frame_;
    }
    if (s->pos == 0) s->queue.front()->deviceFrame = frame_;
    s->pos += frames;
    PWaveHdr h = s->queue.front();
    if (s->pos >= FramesOf(h)) {
      s->queue.pop_front();
      s->pos = 0;
      h->dwBytesRecorded = h->dwBufferLength;
      h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
      s->notifier->Post(MM_WIM_DATA, h, s->generation);
    }
  }
  frame_ += frames;
}

void TSimulatedCard::Run() {
  using clock = std::chrono::steady_clock;
  std::unique_lock<std::mutex> lock(mutex_);
  bool anchored = false;
  clock::time_point wallAnchor;
  int64_t frameAnchor = 0;
  bool starving = false;
  clock::time_point starveSince;

  while (!quit_) {
    if (frozen_) {
      anchored = false;
      starving = false;
      wake_.wait(lock);
      continue;
    }
    // A failed output moves nothing: with only such streams left the card must sleep, not spin
    // with the lock held.
    bool anyRecording = std::any_of(inputs_.begin(), inputs_.end(), [](auto* s) { return s->recording; });
    bool anyPlaying = std::any_of(outputs_.begin(), outputs_.end(), [](auto* s) { return !s->failed; });
    if (!anyPlaying && !anyRecording) {
      anchored = false;
      starving = false;
      wake_.wait(lock);
      continue;
    }

    int n = pace_ == TCardPace::Realtime ? kRealtimeChunk : kChunk;
    bool starved = false;
    for (TStreamSlot* s : outputs_) {
      if (s->failed) continue;
      if (s->queue.empty()) starved = true;
      else n = std::min<int64_t>(n, FramesOf(s->queue.front()) - s->pos);
    }
    for (TStreamSlot* s : inputs_) {
      if (!s->recording) continue;
      if (s->queue.empty()) starved = true;
      else n = std::min<int64_t>(n, FramesOf(s->queue.front()) - s->pos);
    }

    auto now = clock::now();
    if (pace_ == TCardPace::Realtime) {
      if (!anchored || now - wallAnchor > std::chrono::seconds(1) + std::chrono::duration<double>(
                                              static_cast<double>(frame_ - frameAnchor) / kSampleRate)) {
        // first start, or so far behind (a stalled machine) that catching up makes no sense
        anchored = true;
        wallAnchor = now;
        frameAnchor = frame_;
      }
      auto due = wallAnchor + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(
                                  static_cast<double>(frame_ + n - frameAnchor) / kSampleRate));
      if (now < due) {
        wake_.wait_until(lock, due);
        continue;
      }
    } else {
      anchored = false;
      if (starved) {
        if (!starving) {
          starving = true;
          starveSince = now;
        }
        auto limit = starveSince + std::chrono::milliseconds(kStarveWaitMs);
        if (now < limit) {
          wake_.wait_until(lock, limit);
          continue;
        }
      } else {
        starving = false;
      }
    }
    ProcessChunk(n);
  }
}

TSimulatedBackend::TSimulatedBackend(TCardPace pace, uint32_t seed)
    : card_(std::make_shared<TSimulatedCard>(pace, seed)) {}
