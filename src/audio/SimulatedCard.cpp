#include "SimulatedCard.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <stdexcept>

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

// Constant 0 dB peak gain.
TSimulatedCard::TBiquad BandPass(double f, double q) {
  double w = 2 * std::numbers::pi * f / kSampleRate, c = std::cos(w), al = std::sin(w) / (2 * q);
  return Normalise(al, 0, -al, 1 + al, -2 * c, 1 - al);
}

bool ValidModel(const TDutModel& m) {
  switch (m.Kind) {
    case TDutKind::Wire:
    case TDutKind::Loudspeaker: return true;
    default: return m.CornerHz > 0 && m.CornerHz < kSampleRate / 2.0 && m.Q > 0 && std::isfinite(m.Q);
  }
}

// A whole decimal number, nothing before or after it.
std::optional<double> ParseNumber(std::string_view text) {
  double v = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || ptr != end || !std::isfinite(v)) return std::nullopt;
  return v;
}

}  // namespace

std::optional<TDutModel> ParseDutModel(std::string_view text) {
  std::string_view fields[3];
  int count = 0;
  for (;;) {
    const size_t colon = text.find(':');
    if (count == 3) return std::nullopt;
    fields[count++] = text.substr(0, colon);
    if (colon == std::string_view::npos) break;
    text.remove_prefix(colon + 1);
  }
  TDutModel m;
  const std::string_view kind = fields[0];
  if (kind == "wire" || kind == "loudspeaker") {
    if (count != 1) return std::nullopt;
    m.Kind = kind == "wire" ? TDutKind::Wire : TDutKind::Loudspeaker;
    return m;
  }
  if (kind == "highpass") m.Kind = TDutKind::HighPass;
  else if (kind == "lowpass") m.Kind = TDutKind::LowPass;
  else if (kind == "bandpass") m.Kind = TDutKind::BandPass;
  else return std::nullopt;
  if (count < 2) return std::nullopt;
  const std::optional<double> hz = ParseNumber(fields[1]);
  if (!hz) return std::nullopt;
  m.CornerHz = *hz;
  if (count == 3) {
    const std::optional<double> q = ParseNumber(fields[2]);
    if (!q) return std::nullopt;
    m.Q = *q;
  }
  if (!ValidModel(m)) return std::nullopt;
  return m;
}

std::optional<std::vector<double>> ParseCoefficients(std::string_view text) {
  std::vector<double> c;
  for (;;) {
    const size_t comma = text.find(',');
    if (c.size() == TSimulatedCard::kMaxCoefficients) return std::nullopt;
    const std::optional<double> v = ParseNumber(text.substr(0, comma));
    if (!v) return std::nullopt;
    c.push_back(*v);
    if (comma == std::string_view::npos) return c;
    text.remove_prefix(comma + 1);
  }
}

std::vector<TSimulatedCard::TBiquad> TSimulatedCard::Stages(const TDutModel& model) {
  switch (model.Kind) {
    case TDutKind::Wire: return {};
    case TDutKind::Loudspeaker:
      return {HighPass(kHighPassHz, std::numbers::sqrt2 / 2), Peak(kPeakHz, kPeakQ, kPeakGaindB),
              LowPass(kLowPassHz, std::numbers::sqrt2 / 2)};
    case TDutKind::HighPass: return {HighPass(model.CornerHz, model.Q)};
    case TDutKind::LowPass: return {LowPass(model.CornerHz, model.Q)};
    case TDutKind::BandPass: return {BandPass(model.CornerHz, model.Q)};
  }
  return {};
}

std::vector<TSimulatedCard::TBiquad> TSimulatedCard::RightModel() { return Stages({TDutKind::Loudspeaker}); }

std::complex<double> TSimulatedCard::Response(const TDutModel& model, double hz) {
  std::complex<double> z = std::polar(1.0, -2 * std::numbers::pi * hz / kSampleRate);  // z^-1
  std::complex<double> h = 1.0;
  for (const auto& s : Stages(model))
    h *= (s.b0 + s.b1 * z + s.b2 * z * z) / (1.0 + s.a1 * z + s.a2 * z * z);
  return h;
}

double TSimulatedCard::GaindB(const TDutModel& model, double hz) {
  return 20 * std::log10(std::abs(Response(model, hz)));
}

std::complex<double> TSimulatedCard::RightResponse(double hz) { return Response({TDutKind::Loudspeaker}, hz); }

double TSimulatedCard::RightGaindB(double hz) { return GaindB({TDutKind::Loudspeaker}, hz); }

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
    if (output) {
      card_->delayRng_ = card_->delayRng_ * 6364136223846793005ull + 1442695040888963407ull;
      const uint64_t extra = ((card_->delayRng_ >> 32) * (static_cast<uint64_t>(card_->jitter_) + 1)) >> 32;
      slot_.delay = card_->roundTrip_ + static_cast<int>(extra);
      card_->currentDelay_ = slot_.delay;
    }
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
    card_->PostPending(slot_, TClock::time_point::max());
    card_->ReturnAll(slot_, kBlock, !output);
    card_->NoteIfStill();
    return 0;
  }

  int Close() override {
    std::lock_guard<std::mutex> lock(card_->mutex_);
    if (!open_) return 0;
    slot_.recording = false;
    std::vector<TStreamSlot*>& list = card_->directions_[kDirection].streams;
    list.erase(std::remove(list.begin(), list.end(), &slot_), list.end());
    open_ = false;
    card_->NoteIfStill();
    if (card_->unresponsive_) {
      // Abandoned: the blocks are the stream's again without a word, and the close comes late.
      slot_.queue.clear();
      slot_.pos = 0;
      slot_.pendingCount = 0;
      slot_.notifier->Post(kClose, nullptr, slot_.generation);
      return DEVERR_NOTANSWERING;
    }
    card_->PostPending(slot_, TClock::time_point::max());
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
    card_->NoteIfStill();
    card_->PostPending(slot_, TClock::time_point::max());
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
      delayRng_(0x2545F4914F6CDD1Dull ^ (static_cast<uint64_t>(seed) * 0x9E3779B97F4A7C15ull + 3)),
      arrival_(2 * static_cast<size_t>(kRingFrames), 0.0),
      postRng_(0xC2B2AE3D27D4EB4Full ^ (static_cast<uint64_t>(seed) * 0x94D049BB133111EBull + 5)),
      rng_(0x9E3779B97F4A7C15ull ^ (static_cast<uint64_t>(seed) * 0xD1B54A32D192ED03ull + 1)) {
  SetDeviceUnderTest(0, {TDutKind::Wire});
  SetDeviceUnderTest(1, {TDutKind::Loudspeaker});
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

void TSimulatedCard::SetRoundTrip(int frames) {
  std::lock_guard<std::mutex> lock(mutex_);
  roundTrip_ = std::clamp(frames, 0, kMaxRoundTripFrames);
}

void TSimulatedCard::SetJitter(int frames) {
  std::lock_guard<std::mutex> lock(mutex_);
  jitter_ = std::clamp(frames, 0, kMaxJitterFrames);
}

int TSimulatedCard::RoundTrip() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return roundTrip_;
}

int TSimulatedCard::Jitter() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jitter_;
}

int64_t TSimulatedCard::CurrentDelayFrames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return currentDelay_;
}

void TSimulatedCard::SetDeviceUnderTest(int channel, const TDutModel& model) {
  if (channel != 0 && channel != 1) throw std::invalid_argument("no input channel " + std::to_string(channel));
  if (!ValidModel(model)) throw std::invalid_argument("device under test out of range");
  const std::vector<TBiquad> stages = Stages(model);
  std::lock_guard<std::mutex> lock(mutex_);
  TDutChannel& d = dut_[channel];
  d.model = model;
  d.count = static_cast<int>(stages.size());
  std::copy(stages.begin(), stages.end(), d.stages.begin());  // with their state cleared
}

void TSimulatedCard::SetNonlinearity(int channel, std::vector<double> coefficients) {
  if (channel != 0 && channel != 1) throw std::invalid_argument("no input channel " + std::to_string(channel));
  if (coefficients.empty() || coefficients.size() > kMaxCoefficients)
    throw std::invalid_argument("a nonlinearity has 1 to " + std::to_string(kMaxCoefficients) + " coefficients");
  if (!std::all_of(coefficients.begin(), coefficients.end(), [](double c) { return std::isfinite(c); }))
    throw std::invalid_argument("a nonlinearity's coefficients are finite");
  std::lock_guard<std::mutex> lock(mutex_);
  TDutChannel& d = dut_[channel];
  d.poly.fill(0);
  std::copy(coefficients.begin(), coefficients.end(), d.poly.begin());
  d.polyCount = static_cast<int>(coefficients.size());
  d.straight = d.polyCount == 1 && d.poly[0] == 1.0;
}

std::vector<double> TSimulatedCard::Nonlinearity(int channel) const {
  if (channel != 0 && channel != 1) throw std::invalid_argument("no input channel " + std::to_string(channel));
  std::lock_guard<std::mutex> lock(mutex_);
  const TDutChannel& d = dut_[channel];
  return {d.poly.begin(), d.poly.begin() + d.polyCount};
}

void TSimulatedCard::SetCrosstalk(double gain) {
  if (!std::isfinite(gain)) throw std::invalid_argument("crosstalk gain is not finite");
  std::lock_guard<std::mutex> lock(mutex_);
  crosstalk_ = gain;
}

double TSimulatedCard::Crosstalk() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return crosstalk_;
}

TDutModel TSimulatedCard::DeviceUnderTest(int channel) const {
  if (channel != 0 && channel != 1) throw std::invalid_argument("no input channel " + std::to_string(channel));
  std::lock_guard<std::mutex> lock(mutex_);
  return dut_[channel].model;
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
    PostPending(*slot, TClock::time_point::max());  // what was recorded before the failure
    slot->failed = true;
    slot->failCode = code;
    slot->recording = false;
    slot->notifier->Post(direction == 0 ? MM_WOM_ERROR : MM_WIM_ERROR, nullptr, slot->generation);
  }
  NoteIfStill();
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

void TSimulatedCard::NoteIfStill() {
  const bool playing = std::any_of(outputs_.begin(), outputs_.end(), [](auto* s) { return !s->failed; });
  const bool recording = std::any_of(inputs_.begin(), inputs_.end(), [](auto* s) { return s->recording; });
  if (!playing && !recording) stoodStill_ = true;
}

void TSimulatedCard::PostPending(TStreamSlot& slot, TClock::time_point until) {
  while (slot.pendingCount > 0) {
    const TPendingPost& p = slot.pending[slot.pendingFirst];
    if (p.due > until) break;
    slot.notifier->Post(MM_WIM_DATA, p.header, slot.generation);
    slot.pendingFirst = (slot.pendingFirst + 1) % kMaxPendingPosts;
    --slot.pendingCount;
  }
}

TSimulatedCard::TClock::time_point TSimulatedCard::NextPendingDue() const {
  TClock::time_point next = TClock::time_point::max();
  for (const TStreamSlot* s : inputs_)
    if (s->pendingCount > 0) next = std::min(next, s->pending[s->pendingFirst].due);
  return next;
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

double TSimulatedCard::Noise(double scale) {
  // The sum of four uniforms, each 16 bits of one mixed step of a 64-bit LCG: white, close to
  // Gaussian out to 3.5 sigma, reproducible for a seed on every platform, and a few integer
  // operations where a log, a root and a sine and cosine were.
  rng_ = rng_ * 6364136223846793005ull + 1442695040888963407ull;
  uint64_t x = (rng_ ^ (rng_ >> 32)) * 0xD6E8FEB86659FD93ull;
  x ^= x >> 32;
  const uint64_t sum = (x & 0xFFFF) + ((x >> 16) & 0xFFFF) + ((x >> 32) & 0xFFFF) + (x >> 48);
  return (static_cast<double>(sum) - 2 * 65535.0) * scale;
}

double TSimulatedCard::Distort(const TDutChannel& d, double lsb) {
  const double x = lsb / 32767.0;
  double p = d.poly[d.polyCount - 1];
  for (int k = d.polyCount - 2; k >= 0; --k) p = p * x + d.poly[k];
  return 32767.0 * (p * x);
}

void TSimulatedCard::ProcessChunk(int frames, TClock::time_point now) {
  const std::vector<double>& humTable = HumTable();
  int64_t humPhase = frame_ % kHumPeriod;
  // Four uniforms on 0 ... 65535 add up to a variance of 4 (65536^2 - 1) / 12.
  const double noiseScale = noiseRms_ / std::sqrt(4 * (65536.0 * 65536.0 - 1) / 12);
  double* const ring = arrival_.data();
  for (int i = 0; i < frames; ++i) {
    for (TStreamSlot* s : outputs_) {
      if (s->queue.empty() || s->failed) continue;
      const int16_t* p = reinterpret_cast<const int16_t*>(s->queue.front()->lpData) + 2 * (s->pos + i);
      int at = ringPos_ + s->delay;
      if (at >= kRingFrames) at -= kRingFrames;
      ring[2 * at] += p[0];
      ring[2 * at + 1] += p[1];
    }
    double yL = ring[2 * ringPos_], yR = ring[2 * ringPos_ + 1];
    ring[2 * ringPos_] = ring[2 * ringPos_ + 1] = 0;
    if (++ringPos_ == kRingFrames) ringPos_ = 0;
    if (!dut_[0].straight) yL = Distort(dut_[0], yL);
    if (!dut_[1].straight) yR = Distort(dut_[1], yR);
    for (int k = 0; k < dut_[0].count; ++k) yL = dut_[0].stages[k].Process(yL);
    for (int k = 0; k < dut_[1].count; ++k) yR = dut_[1].stages[k].Process(yR);
    if (crosstalk_ != 0) {
      const double leaked = crosstalk_ * yR;
      yR += crosstalk_ * yL;
      yL += leaked;
    }

    const double hum = humAmplitude_ * humTable[humPhase];
    if (++humPhase == kHumPeriod) humPhase = 0;
    int16_t inL = Saturate16(yL + kLeftOffset + hum + Noise(noiseScale));
    int16_t inR = Saturate16(yR + kRightOffset + hum + Noise(noiseScale));
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
    PWaveHdr h = s->queue.front();
    // Its first frame leaves the jack when the card would record it.
    if (s->pos == 0) {
      h->deviceClock = frame_ + s->delay;
      h->deviceTake = frame_;
    }
    s->pos += frames;
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
    PWaveHdr h = s->queue.front();
    if (s->pos == 0) h->deviceFrame = h->deviceClock = frame_;
    s->pos += frames;
    if (s->pos >= FramesOf(h)) {
      s->queue.pop_front();
      s->pos = 0;
      h->dwBytesRecorded = h->dwBufferLength;
      h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
      if (pace_ == TCardPace::Realtime && jitter_ > 0) {
        // A server hands blocks back when its own scheduling lets it: late by up to the jitter,
        // never out of order.
        postRng_ = postRng_ * 6364136223846793005ull + 1442695040888963407ull;
        const double late = static_cast<double>(postRng_ >> 11) * (1.0 / 9007199254740992.0) * jitter_ / kSampleRate;
        TClock::time_point due = now + std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(late));
        // Blocks far shorter than the jitter: the oldest goes early rather than the ring growing.
        if (s->pendingCount == kMaxPendingPosts) PostPending(*s, s->pending[s->pendingFirst].due);
        if (s->pendingCount > 0)
          due = std::max(due, s->pending[(s->pendingFirst + s->pendingCount - 1) % kMaxPendingPosts].due);
        s->pending[(s->pendingFirst + s->pendingCount) % kMaxPendingPosts] = {h, due};
        ++s->pendingCount;
      } else {
        s->notifier->Post(MM_WIM_DATA, h, s->generation);
      }
    }
  }
  frame_ += frames;
}

void TSimulatedCard::Run() {
  using clock = TClock;
  std::unique_lock<std::mutex> lock(mutex_);
  bool anchored = false;
  clock::time_point wallAnchor;
  int64_t frameAnchor = 0;
  bool starving = false;
  clock::time_point starveSince;
  // Sleeps until woken, or until the next late capture block is due.
  auto sleep = [&](clock::time_point until) {
    if (until == clock::time_point::max()) wake_.wait(lock);
    else wake_.wait_until(lock, until);
  };

  while (!quit_) {
    auto now = clock::now();
    for (TStreamSlot* s : inputs_) PostPending(*s, pace_ == TCardPace::Realtime ? now : clock::time_point::max());
    const clock::time_point nextPost = NextPendingDue();
    if (frozen_) {
      anchored = false;
      starving = false;
      sleep(nextPost);
      continue;
    }
    // A failed output moves nothing: with only such streams left the card must sleep, not spin
    // with the lock held.
    bool anyRecording = std::any_of(inputs_.begin(), inputs_.end(), [](auto* s) { return s->recording; });
    bool anyPlaying = std::any_of(outputs_.begin(), outputs_.end(), [](auto* s) { return !s->failed; });
    if (!anyPlaying && !anyRecording) {
      anchored = false;
      starving = false;
      sleep(nextPost);
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
        wake_.wait_until(lock, std::min(due, nextPost));
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
    if (stoodStill_) {
      // The card stood still with nobody listening: whatever was on its way has played out.
      std::fill(arrival_.begin(), arrival_.end(), 0.0);
      for (TDutChannel& d : dut_)
        for (TBiquad& b : d.stages) b.z1 = b.z2 = 0;
      stoodStill_ = false;
    }
    ProcessChunk(n, now);
  }
}

std::vector<std::string> ConfigureCardFromEnvironment(TSimulatedCard& card) {
  std::vector<std::string> errors;
  auto value = [](const char* name) -> std::optional<std::string> {
    const char* v = std::getenv(name);
    if (!v) return std::nullopt;
    return std::string(v);
  };
  auto milliseconds = [&](const char* name, int maxFrames, void (TSimulatedCard::*set)(int)) {
    const std::optional<std::string> text = value(name);
    if (!text) return;
    const std::optional<double> ms = ParseNumber(*text);
    const double maxMs = 1000.0 * maxFrames / kSampleRate;
    if (!ms || *ms < 0 || *ms > maxMs) {
      errors.push_back(std::string(name) + "=\"" + *text + "\" is not a time from 0 to " +
                       std::to_string(static_cast<int>(maxMs)) + " ms; ignored.");
      return;
    }
    (card.*set)(static_cast<int>(std::lrint(*ms * kSampleRate / 1000)));
  };
  milliseconds("QUORVANE_SIM_DELAY_MS", TSimulatedCard::kMaxRoundTripFrames, &TSimulatedCard::SetRoundTrip);
  milliseconds("QUORVANE_SIM_JITTER_MS", TSimulatedCard::kMaxJitterFrames, &TSimulatedCard::SetJitter);
  const char* const names[2] = {"QUORVANE_SIM_LEFT", "QUORVANE_SIM_RIGHT"};
  for (int channel : {0, 1}) {
    const std::optional<std::string> text = value(names[channel]);
    if (!text) continue;
    if (const std::optional<TDutModel> model = ParseDutModel(*text)) {
      card.SetDeviceUnderTest(channel, *model);
    } else {
      errors.push_back(std::string(names[channel]) + "=\"" + *text +
                       "\" is not wire, loudspeaker, highpass:<Hz>[:<Q>], lowpass:<Hz>[:<Q>] or "
                       "bandpass:<Hz>[:<Q>]; ignored.");
    }
  }
  const char* const polyNames[2] = {"QUORVANE_SIM_POLY_LEFT", "QUORVANE_SIM_POLY_RIGHT"};
  for (int channel : {0, 1}) {
    const std::optional<std::string> text = value(polyNames[channel]);
    if (!text) continue;
    if (std::optional<std::vector<double>> c = ParseCoefficients(*text)) {
      card.SetNonlinearity(channel, std::move(*c));
    } else {
      errors.push_back(std::string(polyNames[channel]) + "=\"" + *text + "\" is not 1 to " +
                       std::to_string(TSimulatedCard::kMaxCoefficients) +
                       " coefficients c1,c2,... of x, x^2, ...; ignored.");
    }
  }
  if (const std::optional<std::string> text = value("QUORVANE_SIM_CROSSTALK_DB")) {
    const std::optional<double> dB = ParseNumber(*text);
    if (dB && *dB <= 0) card.SetCrosstalk(std::pow(10.0, *dB / 20));
    else errors.push_back("QUORVANE_SIM_CROSSTALK_DB=\"" + *text + "\" is not a level in dB at or below 0; ignored.");
  }
  return errors;
}

TSimulatedBackend::TSimulatedBackend(TCardPace pace, uint32_t seed)
    : card_(std::make_shared<TSimulatedCard>(pace, seed)) {}
