// The device bookkeeping both sample streams share: the two blocks in rotation and who holds
// them, the opening's generation (reports of earlier openings are dropped), the bounded close
// wait that handles the close exactly once, and the watchdog that notices a device that stopped
// delivering blocks.
//
// Threads: GUI thread only. Units: frames, milliseconds.
#pragma once

#include <QObject>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "AudioDevice.h"
#include "WaveTypes.h"

class QTimer;

// Two zero-filled sample buffers of 4 x frames bytes; empty when the length cannot be
// allocated (not positive, too large for a 32-bit block header, or out of memory).
class TBlockPair {
 public:
  bool Allocate(int frames);
  void Free();
  bool Valid() const { return a_ != nullptr; }
  char* A() const { return a_; }
  char* B() const { return b_; }
  ~TBlockPair() { Free(); }

 private:
  char* a_ = nullptr;
  char* b_ = nullptr;
};

class TDeviceStream : public QObject {
  Q_OBJECT
 public:
  enum TDirection { Output, Input };
  struct THandlers {
    std::function<void()> open;           // the current opening's open notification
    std::function<void()> close;          // close handling, after the device is released
    std::function<void(PWaveHdr)> block;  // a block of the current opening came back
    std::function<void(int code)> error;  // the device failed while running
  };

  TDeviceStream(TDirection direction, QObject* owner);
  ~TDeviceStream() override;
  void SetHandlers(THandlers handlers) { handlers_ = std::move(handlers); }

  // Frees the buffers, allocates two for `frames` and sets up both headers; false (and no
  // buffers) when that length cannot be had. Only while closed.
  bool Allocate(int frames);
  bool HasBuffers() const { return buffers_.Valid(); }
  // Headers A and B as freshly set up: lpData, length 4 x frames, dwLoops 1, the rest 0.
  void SetUpHeaders();
  wavehdr_tag& HeaderA() { return a_; }
  wavehdr_tag& HeaderB() { return b_; }

  TStreamState state = Closed;
  PWaveHdr current = nullptr;  // the header the last block notification (or a replay) named

  bool IsOpen() const { return device_ != nullptr; }
  // Creates a device of the current backend and opens it: 0, or the error code with the
  // device's text in *text and what the user can do about it in *advice.
  int Open(std::string* text, std::string* advice);
  // Stops (input), resets and closes an open device, then runs the close handling exactly
  // once before returning. A device that does not answer is abandoned; that is reported in
  // a message once the caller has returned to the event loop.
  void Close();

  // Hands a block to the device unless the device holds it already: 0, or the device's code.
  int Queue(PWaveHdr header);
  // Input only: begins recording. 0 or the device's code.
  int Start();
  std::string ErrorText(int code) const;
  int LastError() const;
  std::string DeviceName() const { return deviceName_; }
  // What a user can do about a device that failed while running.
  std::string FailureAdvice() const;
  // The device as that advice names it: sound output "name" or sound input "name".
  std::string FailedDevice() const;

  // The stream is running from now on: the watchdog expects blocks.
  void Arm();
  // True while a running device has delivered nothing for StallLimitMs.
  bool Stalled() const { return stalled_; }
  int StallLimitMs() const;

  // While set, every device notification is dropped (a file is being replayed).
  bool replaying = false;

  TDeviceNotifier* Notifier() const { return notifier_; }

 private:
  void Notify(unsigned message, PWaveHdr header, uint32_t generation);
  void HandleCloseOnce();
  void Watch();
  bool* HeldFlag(PWaveHdr header);

  TDirection direction_;
  THandlers handlers_;
  TDeviceNotifier* notifier_ = nullptr;
  std::unique_ptr<TDevice> device_;
  std::string deviceName_;
  uint32_t generation_ = 0;  // of the open device; 0 while closed
  wavehdr_tag a_, b_;
  bool heldA_ = false, heldB_ = false;
  TBlockPair buffers_;
  int frames_ = 0;
  QTimer* watchdog_ = nullptr;
  bool armed_ = false;
  int64_t lastBlock_ = 0;  // PerfCounter of the newest block handled
  bool stalled_ = false;
  bool stallReported_ = false;  // once per opening
  std::FILE* blockLog_ = nullptr;  // QUORVANE_BLOCK_LOG, capture only; null when unset
};

// "Error %d <what> - %s" with the device's text cut to 100 bytes on a character boundary.
std::string DeviceErrorMessage(const char* format, int code, const std::string& text);

// What an exception of a device that failed while its stream ran carries beside its message:
// the error ("Error 5 writing wave output - server gone.") and which device stopped ("sound
// output \"X\"").
class TDeviceFailure {
 public:
  TDeviceFailure(bool output, std::string error, std::string device)
      : Output(output), Error(std::move(error)), Device(std::move(device)) {}
  virtual ~TDeviceFailure() = default;
  bool Output;
  std::string Error, Device;
};

// How long a failure raised in a device notification waits for others before it is shown (ms).
constexpr int kFailureGatherMs = 400;
// Shows a failure raised in a device notification through the error display, once the devices
// that fail with it (an audio server that ends takes every stream with it) have reported too:
// one failure alone as its message; several as one message with each error, outputs first,
// and every device named once. GUI thread.
void ShowDeviceFailure(const TDeviceFailure& failure, const std::string& message);
