#include "CardTestRun.h"

#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "WaveCommon.h"

TCardTestRun::TCardTestRun(const TCardTestPlan& plan, QObject* parent)
    : QObject(parent), plan_(plan), origin_(std::chrono::steady_clock::now()) {
  timer_ = new QTimer(this);
  timer_->setInterval(20);
  connect(timer_, &QTimer::timeout, this, [this] { Tick(); });
}

TCardTestRun::~TCardTestRun() {
  timer_->stop();
  try {
    if (out_) out_->SetEnabled(false);
    if (in_) in_->SetEnabled(false);
  } catch (...) {
    // Going away: a device that fails to close has shown its message already.
  }
}

std::string TCardTestRun::OutputName() const { return outputName_; }
std::string TCardTestRun::InputName() const { return inputName_; }

void TCardTestRun::Start(int outputBlockFrames, int inputBlockFrames) {
  const double fs = plan_.Settings().SampleRate;
  blockFrames_ = outputBlockFrames;
  played_ = 0;
  startCapture_ = -1;
  needed_ = plan_.CaptureFrames();
  captured_.clear();
  captured_.reserve(2 * static_cast<std::size_t>(needed_ + 4 * fs));
  timing_ = {};
  fillSeconds_.clear();
  out_ = std::make_unique<TWaveOut>();
  in_ = std::make_unique<TWaveIn>();
  out_->SetBufferSamples(outputBlockFrames);
  in_->SetBufferSamples(inputBlockFrames);
  const int64_t sweepStart = plan_.Segment(TSegmentKind::Sweep).Start;
  const auto seconds = [this] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - origin_).count();
  };
  out_->SetOnNeedData([this, sweepStart, seconds, fs](PWaveHdr h) {
    const int frames = static_cast<int>(h->dwBufferLength / kBlockAlign);
    h->dwUser = static_cast<uint32_t>(fillSeconds_.size());
    if (startCapture_ < 0) startCapture_ = CapturedFrames();
    fillSeconds_.push_back(seconds());
    if (played_ <= sweepStart && sweepStart < played_ + frames)
      timing_.SweepFillSeconds = fillSeconds_.back() + static_cast<double>(sweepStart - played_) / fs;
    plan_.FillStereo16(reinterpret_cast<int16_t*>(h->lpData), played_, frames);
    played_ += frames;
  });
  out_->SetOnDone([this, sweepStart](QObject*) {
    const int64_t first = static_cast<int64_t>(out_->LastPlayedValue()) * blockFrames_;
    if (first <= sweepStart && sweepStart < first + blockFrames_ && out_->LastPlayedTake() >= 0)
      timing_.SweepTakeClock = static_cast<double>(out_->LastPlayedTake() + (sweepStart - first));
  });
  in_->SetOnData([this, seconds](wavehdr_tag& h) {
    const int64_t before = CapturedFrames();
    const auto* s = reinterpret_cast<const int16_t*>(h.lpData);
    captured_.insert(captured_.end(), s, s + h.dwBytesRecorded / 2);
    timing_.Arrivals.emplace_back(CapturedFrames(), seconds());
    // A server hands its first blocks over in bursts, so an early clock can read late: the
    // earliest origin is the truest.
    if (h.deviceClock >= 0) {
      const double origin = static_cast<double>(h.deviceClock - before);
      if (!std::isfinite(timing_.CaptureClock) || origin < timing_.CaptureClock) timing_.CaptureClock = origin;
    }
  });
  running_ = true;
  try {
    in_->SetAutoStart(true);
    in_->SetEnabled(true);
    out_->SetEnabled(true);
  } catch (...) {
    running_ = false;
    try {
      out_->SetEnabled(false);
      in_->SetEnabled(false);
    } catch (...) {
    }
    throw;
  }
  outputName_ = out_->DeviceName();
  inputName_ = in_->DeviceName();
  timer_->start();
}

void TCardTestRun::Cancel() {
  if (running_) Finish("Cancelled.");
}

void TCardTestRun::Tick() {
  if (!running_) return;
  if (!out_->Enabled() || !in_->Enabled()) {
    Finish("A sound device stopped during the test.");
    return;
  }
  const int64_t done = startCapture_ < 0 ? 0 : CapturedFrames() - startCapture_;
  if (onProgress_) {
    const int64_t at = std::max<int64_t>(0, std::min(played_, plan_.Frames()) - blockFrames_);
    onProgress_(std::clamp(static_cast<double>(done) / static_cast<double>(needed_), 0.0, 1.0),
                played_ >= plan_.Frames() ? "Recording the end" : plan_.SegmentAt(at).Name);
  }
  if (startCapture_ >= 0 && done >= needed_) Finish("");
}

void TCardTestRun::Finish(const std::string& error) {
  timer_->stop();
  running_ = false;
  std::string why = error;
  try {
    out_->SetEnabled(false);
    in_->SetEnabled(false);
  } catch (const std::exception& e) {
    if (why.empty()) why = e.what();
  }
  // What came in before the output started is no part of the run: the capture starts there.
  if (why.empty() && startCapture_ > 0) {
    captured_.erase(captured_.begin(), captured_.begin() + 2 * startCapture_);
    if (std::isfinite(timing_.CaptureClock)) timing_.CaptureClock += static_cast<double>(startCapture_);
    for (auto& a : timing_.Arrivals) a.first -= startCapture_;
  }
  if (onFinished_) onFinished_(why);
}
