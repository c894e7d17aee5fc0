// The device layer behind the sample streams: output and input devices that play or
// fill only the blocks handed to them, and the notifier through which a device's
// reports reach its stream on the GUI thread.
//
// Threads: a device runs its own thread(s). Open/Write/AddBuffer/Start/Stop/Reset/Close
// are called on the GUI thread. A device calls TDeviceNotifier::Post from any thread;
// the notifier dispatches one message per Qt event on the GUI thread.
#pragma once

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "WaveTypes.h"

// Notification codes, numbered as the classic wave messages.
enum TDeviceMessage : unsigned {
  MM_WOM_OPEN = 0x3BB,
  MM_WOM_CLOSE = 0x3BC,
  MM_WOM_DONE = 0x3BD,
  MM_WIM_OPEN = 0x3BE,
  MM_WIM_CLOSE = 0x3BF,
  MM_WIM_DATA = 0x3C0,
  // Not a classic message: the input failed while recording (LastError tells why).
  MM_WIM_ERROR = 0x3C1,
};

// A stream's mailbox on the GUI thread (its "notification window").
class TDeviceNotifier : public QObject {
  Q_OBJECT
 public:
  using THandler = std::function<void(unsigned message, PWaveHdr header)>;

  explicit TDeviceNotifier(THandler handler, QObject* parent = nullptr);
  ~TDeviceNotifier() override;

  // Any thread: append a message and post one event for it. Never blocks for long.
  void Post(unsigned message, PWaveHdr header);

  // GUI thread: wait until `message` is in the mailbox and take out exactly that one,
  // leaving the others in order; nothing else is dispatched meanwhile. Returns false
  // if it did not arrive within timeoutMs.
  bool Take(unsigned message, PWaveHdr* header, int timeoutMs);

  // GUI thread: run the handler for one message with the notification guard: an
  // exception goes to the error display and processing continues.
  void Dispatch(unsigned message, PWaveHdr header);

  // Messages waiting (tests, diagnostics).
  size_t Pending() const;

  // Device thread timestamp of the newest post, for latency measurement (steady ns).
  int64_t LastPostTime() const { return lastPost_; }

 protected:
  bool event(QEvent* e) override;

 private:
  struct TItem {
    unsigned message;
    PWaveHdr header;
  };
  THandler handler_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<TItem> mailbox_;  // front = oldest; reserved so posting does not allocate
  std::atomic<int64_t> lastPost_{0};
};

class TOutputDevice {
 public:
  virtual ~TOutputDevice() = default;
  // Opens the default output in the fixed format. 0 on success, then the open
  // notification is already posted; otherwise an error code (ErrorText explains it).
  virtual int Open(TDeviceNotifier* notifier) = 0;
  // Queues a block; it plays after the blocks queued before it and comes back as a
  // done notification. 0 or an error code.
  virtual int Write(PWaveHdr header) = 0;
  // Stops playing and returns every queued block (done notifications).
  virtual void Reset() = 0;
  // Returns any block still held, stops for good and posts the close notification
  // before it returns; the device touches no block afterwards.
  virtual void Close() = 0;
  virtual std::string ErrorText(int code) const = 0;
};

class TInputDevice {
 public:
  virtual ~TInputDevice() = default;
  // Opens the default input; records nothing until Start. Same contract as output.
  virtual int Open(TDeviceNotifier* notifier) = 0;
  // Queues an empty block; it comes back as a data notification once full.
  virtual int AddBuffer(PWaveHdr header) = 0;
  virtual void Start() = 0;
  // Stops recording; a partly filled block comes back with what it holds.
  virtual void Stop() = 0;
  // Stops and returns every queued block.
  virtual void Reset() = 0;
  virtual void Close() = 0;
  virtual std::string ErrorText(int code) const = 0;
  // The code of a failure that stopped recording (reported with MM_WIM_ERROR), else 0.
  virtual int LastError() const { return 0; }
};

class TAudioBackend {
 public:
  virtual ~TAudioBackend() = default;
  virtual std::string Name() const = 0;
  virtual std::unique_ptr<TOutputDevice> CreateOutput() = 0;
  virtual std::unique_ptr<TInputDevice> CreateInput() = 0;
};

// The backend every stream uses, chosen on first use: QUORVANE_AUDIO=portaudio or
// simulated; unset, PortAudio's default devices, or the simulated card when PortAudio
// has no default output or input.
TAudioBackend& AudioBackend();
// Replaces the backend (tests). Streams pick it up at their next open.
void SetAudioBackend(std::shared_ptr<TAudioBackend> backend);
// True when the simulated card stands in because no real device was found.
bool SimulatedCardStandsIn();
// Why the simulated card stands in (empty otherwise).
std::string BackendNote();

// Performance counter: steady-clock ticks, and ticks per second read once at start.
int64_t PerfCounter();
extern const double PerfCounterFrequency;
