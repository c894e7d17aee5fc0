// Plays a sound-card test's plan on the current backend while the input records, and keeps the
// capture and the timing the analysis needs. The window and the command line both run it.
//
// The input opens first and records throughout; the output then plays the plan (silence after
// it) until the capture holds the plan's frames and the longest round trip expected beyond the
// moment the output started. Nothing else may play or record meanwhile.
//
// Threads: GUI (or main) thread with a running event loop; the streams' devices run their own.
// Units: frames at 44100 Hz; progress 0 ... 1.
#pragma once

#include <QObject>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CardTest.h"

class QTimer;
class TWaveOut;
class TWaveIn;

class TCardTestRun : public QObject {
  Q_OBJECT
 public:
  explicit TCardTestRun(const TCardTestPlan& plan, QObject* parent = nullptr);
  ~TCardTestRun() override;

  // Progress: the fraction of the run recorded and the step playing. Finished: once, with an
  // empty text when the capture is complete, else why not ("Cancelled." for a cancel).
  void SetOnProgress(std::function<void(double, const std::string&)> handler) { onProgress_ = std::move(handler); }
  void SetOnFinished(std::function<void(const std::string&)> handler) { onFinished_ = std::move(handler); }

  // Opens the input, then the output, with blocks of these lengths. Throws what the streams
  // throw when a device does not open (nothing is left open then).
  void Start(int outputBlockFrames, int inputBlockFrames);
  void Cancel();
  bool Running() const { return running_; }

  const std::vector<int16_t>& Captured() const { return captured_; }
  int64_t CapturedFrames() const { return static_cast<int64_t>(captured_.size() / 2); }
  const TCardTestTiming& Timing() const { return timing_; }
  std::string OutputName() const;
  std::string InputName() const;

 private:
  void Tick();
  void Finish(const std::string& error);

  const TCardTestPlan& plan_;
  std::unique_ptr<TWaveOut> out_;
  std::unique_ptr<TWaveIn> in_;
  QTimer* timer_ = nullptr;
  std::function<void(double, const std::string&)> onProgress_;
  std::function<void(const std::string&)> onFinished_;
  bool running_ = false;
  int blockFrames_ = 0;
  int64_t played_ = 0;          // frames handed to the output
  int64_t startCapture_ = -1;   // capture frames when the output's first block was filled
  int64_t needed_ = 0;          // capture frames to collect
  std::vector<int16_t> captured_;
  TCardTestTiming timing_;
  std::vector<double> fillSeconds_;  // per output block
  std::string outputName_, inputName_;
  std::chrono::steady_clock::time_point origin_;
};
