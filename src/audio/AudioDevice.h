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
  // Not classic messages: the device failed while running (LastError tells why). A device
  // posts it once and then moves no more audio; the blocks it holds come back on Close.
  MM_WIM_ERROR = 0x3C1,
  MM_WOM_ERROR = 0x3C2,
};

// How long a device command may take before the device counts as failed (ms).
constexpr int kDeviceCommandTimeoutMs = 3000;
// The code of a device that did not answer a command within kDeviceCommandTimeoutMs.
constexpr int DEVERR_NOTANSWERING = 1001;
std::string NotAnsweringText();

// Each opening of a device gets a number no other opening has had; every notification of
// that opening carries it, so a stream can tell its current opening's reports from stale ones.
uint32_t NewDeviceGeneration();

// A stream's mailbox on the GUI thread (its "notification window").
class TDeviceNotifier : public QObject {
  Q_OBJECT
 public:
  using THandler = std::function<void(unsigned message, PWaveHdr header, uint32_t generation)>;

  explicit TDeviceNotifier(THandler handler, QObject* parent = nullptr);
  ~TDeviceNotifier() override;

  // Any thread: append a message and post one event for it. Never blocks for long.
  void Post(unsigned message, PWaveHdr header, uint32_t generation);

  // GUI thread: wait until `message` of `generation` is in the mailbox and take out exactly
  // that one, leaving the others in order; nothing else is dispatched meanwhile. Returns
  // false if it did not arrive within timeoutMs.
  bool Take(unsigned message, uint32_t generation, PWaveHdr* header, int timeoutMs);

  // GUI thread: run the handler for one message with the notification guard: an
  // exception goes to the error display and processing continues.
  void Dispatch(unsigned message, PWaveHdr header, uint32_t generation);

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
    uint32_t generation;
  };
  bool TakeLocked(unsigned message, uint32_t generation, PWaveHdr* header);

  THandler handler_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<TItem> mailbox_;  // front = oldest; reserved so posting does not allocate
  std::atomic<int64_t> lastPost_{0};
};

// What both directions of device share. All calls on the GUI thread; none blocks longer than
// kDeviceCommandTimeoutMs. Every notification of an opening carries the generation given to
// Open.
class TDevice {
 public:
  virtual ~TDevice() = default;
  // Opens the default device in the fixed format. 0 on success, then the open notification
  // is posted; otherwise an error code (ErrorText explains it, OpenAdvice what to do).
  virtual int Open(TDeviceNotifier* notifier, uint32_t generation) = 0;
  // Queues a block (played, or filled, after the blocks queued before it); it comes back as a
  // done or data notification. 0 or an error code.
  virtual int Queue(PWaveHdr header) = 0;
  // Stops and returns every queued block. 0, or an error code when the device did not answer.
  virtual int Reset() = 0;
  // Returns any block still held, stops for good and posts the close notification before it
  // returns: 0. Otherwise (the device did not answer) an error code: the device has then been
  // abandoned; it touches no block and posts nothing any more.
  virtual int Close() = 0;
  virtual std::string ErrorText(int code) const = 0;
  // What a user can do about a failed open (may be empty).
  virtual std::string OpenAdvice(int /*code*/) const { return {}; }
  // The code of a failure reported with an error notification, else 0.
  virtual int LastError() const { return 0; }
  // The device's name as the user knows it.
  virtual std::string Name() const = 0;
  // The stream's block length (frames), told before Open: a device may then move audio in
  // pieces that fit it, so that its thread wakes about once per block. Ignored by default.
  virtual void SetBlockFrames(int frames) { (void)frames; }
};

class TOutputDevice : public TDevice {
 public:
  int Write(PWaveHdr header) { return Queue(header); }
};

class TInputDevice : public TDevice {
 public:
  // Queues an empty block; it comes back as a data notification once full.
  int AddBuffer(PWaveHdr header) { return Queue(header); }
  // Opening records nothing until Start. 0 or an error code.
  virtual int Start() = 0;
  // Stops recording; a partly filled block comes back with what it holds.
  virtual int Stop() = 0;
};

class TAudioBackend {
 public:
  virtual ~TAudioBackend() = default;
  virtual std::string Name() const = 0;
  virtual std::unique_ptr<TOutputDevice> CreateOutput() = 0;
  virtual std::unique_ptr<TInputDevice> CreateInput() = 0;
};

// The backend every stream uses, chosen on first use from the device choice in force
// (SoundDevices.h: UseDeviceChoice, and QUORVANE_AUDIO=portaudio or simulated over it); by
// default PortAudio's default devices, or the simulated card when PortAudio has no default
// output or input.
// The simulated card takes its delay and devices under test from QUORVANE_SIM_*
// (ConfigureCardFromEnvironment).
TAudioBackend& AudioBackend();
// Begins that choice on a thread of its own, so that the program can go on meanwhile
// (PortAudio's start looks at every device); AudioBackend() then waits for it.
void PrepareAudioBackend();
// Replaces the backend (tests); a choice under way is finished and dropped. Streams pick it up
// at their next open.
void SetAudioBackend(std::shared_ptr<TAudioBackend> backend);
// True when the simulated card stands in because no real device was found.
bool SimulatedCardStandsIn();
// Why the simulated card stands in (empty otherwise).
std::string BackendNote();

// Performance counter: steady-clock ticks, and ticks per second read once at start.
int64_t PerfCounter();
extern const double PerfCounterFrequency;
