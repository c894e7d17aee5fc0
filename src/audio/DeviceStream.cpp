#include "DeviceStream.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Messages.h"

namespace {

constexpr int kWatchIntervalMs = 250;
constexpr int kMinimumStallMs = 3000;
constexpr int kStallBlocks = 4;
// A device that answered Close has already posted its close; this only guards a faulty one.
constexpr int kCloseMessageWaitMs = 1000;

bool IsUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

long long WallMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

std::string DeviceErrorMessage(const char* format, int code, const std::string& text) {
  std::string cut = text;
  if (cut.size() > 100) {
    size_t end = 100;
    while (end > 0 && IsUtf8Continuation(cut[end])) --end;  // never split a character
    cut.resize(end);
  }
  const int n = std::snprintf(nullptr, 0, format, code, cut.c_str());
  std::string message(static_cast<size_t>(std::max(n, 0)), '\0');
  std::snprintf(message.data(), message.size() + 1, format, code, cut.c_str());
  return message;
}

// ---- TBlockPair --------------------------------------------------------------

bool TBlockPair::Allocate(int frames) {
  Free();
  if (frames <= 0) return false;
  uint64_t bytes = static_cast<uint64_t>(kBlockAlign) * static_cast<uint64_t>(frames);
  if (bytes > 0xFFFFFFFFull) return false;  // must fit a block header's length field
  a_ = static_cast<char*>(std::calloc(bytes, 1));
  b_ = static_cast<char*>(std::calloc(bytes, 1));
  if (!a_ || !b_) {
    Free();
    return false;
  }
  return true;
}

void TBlockPair::Free() {
  std::free(a_);
  std::free(b_);
  a_ = b_ = nullptr;
}

// ---- TDeviceStream -----------------------------------------------------------

TDeviceStream::TDeviceStream(TDirection direction, QObject* owner) : QObject(owner), direction_(direction) {
  notifier_ = new TDeviceNotifier([this](unsigned m, PWaveHdr h, uint32_t g) { Notify(m, h, g); }, this);
  watchdog_ = new QTimer(this);
  watchdog_->setInterval(kWatchIntervalMs);
  connect(watchdog_, &QTimer::timeout, this, &TDeviceStream::Watch);
  // For soak runs: one line per captured block, written here on the GUI thread, never by a
  // device thread.
  if (const char* path = std::getenv("QUORVANE_BLOCK_LOG"); path && *path && direction == Input)
    blockLog_ = std::fopen(path, "a");
}

TDeviceStream::~TDeviceStream() {
  if (blockLog_) std::fclose(blockLog_);
}

bool TDeviceStream::Allocate(int frames) {
  buffers_.Free();
  frames_ = frames;
  const bool ok = buffers_.Allocate(frames);
  SetUpHeaders();
  return ok;
}

void TDeviceStream::SetUpHeaders() {
  a_ = wavehdr_tag{};
  a_.lpData = buffers_.A();
  a_.dwBufferLength = buffers_.Valid() ? static_cast<uint32_t>(kBlockAlign) * static_cast<uint32_t>(frames_) : 0;
  a_.dwLoops = 1;
  b_ = a_;
  b_.lpData = buffers_.B();
}

bool* TDeviceStream::HeldFlag(PWaveHdr header) {
  if (header == &a_) return &heldA_;
  if (header == &b_) return &heldB_;
  return nullptr;
}

int TDeviceStream::Open(std::string* text, std::string* advice) {
  TAudioBackend& backend = AudioBackend();
  if (direction_ == Output)
    device_ = backend.CreateOutput();
  else
    device_ = backend.CreateInput();
  generation_ = NewDeviceGeneration();
  heldA_ = heldB_ = false;
  device_->SetBlockFrames(frames_);
  const int result = device_->Open(notifier_, generation_);
  if (result != 0) {
    if (text) *text = device_->ErrorText(result);
    if (advice) *advice = device_->OpenAdvice(result);
    device_.reset();
    generation_ = 0;
    return result;
  }
  deviceName_ = device_->Name();
  if (blockLog_) {
    std::fprintf(blockLog_, "%lld %u open\n", WallMs(), generation_);
    std::fflush(blockLog_);
  }
  armed_ = false;
  stalled_ = false;
  stallReported_ = false;
  watchdog_->start();
  return 0;
}

void TDeviceStream::Close() {
  if (!device_) return;
  state = Closing;
  int failure = 0;
  if (direction_ == Input) failure = static_cast<TInputDevice*>(device_.get())->Stop();
  if (failure == 0) failure = device_->Reset();
  const int closed = device_->Close();
  if (failure == 0) failure = closed;
  const uint32_t generation = generation_;
  if (closed == 0 && notifier_->Take(direction_ == Output ? MM_WOM_CLOSE : MM_WIM_CLOSE, generation, nullptr,
                                     kCloseMessageWaitMs)) {
    notifier_->Dispatch(direction_ == Output ? MM_WOM_CLOSE : MM_WIM_CLOSE, nullptr, generation);
  }
  // Handled above, or never coming: either way the close is handled once, and a late one
  // finds its generation gone.
  if (generation_ == generation && device_) {
    try {
      HandleCloseOnce();
    } catch (const std::exception& e) {
      ShowException(e);
    }
  }
  if (failure != 0) {
    const std::string name = deviceName_;
    std::string text = DeviceErrorMessage(
        direction_ == Output ? "Error %d closing wave output - %s" : "Error %d closing wave input - %s", failure,
        failure == DEVERR_NOTANSWERING ? NotAnsweringText() : std::string("The device gave up."));
    if (!name.empty()) text += " Device: " + name + ".";
    // Not from inside the setter that closed: the caller finishes first.
    QTimer::singleShot(0, this, [text] { ShowMessage(text); });
  }
}

void TDeviceStream::HandleCloseOnce() {
  device_.reset();
  generation_ = 0;
  heldA_ = heldB_ = false;
  watchdog_->stop();
  armed_ = false;
  stalled_ = false;
  if (handlers_.close) handlers_.close();
}

int TDeviceStream::Queue(PWaveHdr header) {
  if (!device_) return MMSYSERR_INVALHANDLE;
  bool* held = HeldFlag(header);
  if (held && *held) return 0;  // the device holds it: never fill or queue it twice
  // A block that comes back unfilled must not look like its last filling.
  header->deviceFrame = -1;
  header->deviceClock = -1;
  header->deviceTake = -1;
  const int result = device_->Queue(header);
  if (result == 0 && held) *held = true;
  return result;
}

int TDeviceStream::Start() {
  if (!device_ || direction_ != Input) return MMSYSERR_INVALHANDLE;
  return static_cast<TInputDevice*>(device_.get())->Start();
}

std::string TDeviceStream::ErrorText(int code) const {
  if (code == DEVERR_NOTANSWERING) return NotAnsweringText();
  if (!device_) return "The device is not open.";
  return device_->ErrorText(code);
}

std::string TDeviceStream::FailureAdvice() const {
  return "The " + FailedDevice() + " has stopped: the audio server may have ended or the device been "
         "disconnected. Start again once it is back.";
}

std::string TDeviceStream::FailedDevice() const {
  return std::string(direction_ == Output ? "sound output \"" : "sound input \"") + deviceName_ + "\"";
}

namespace {

struct TGathered {
  TDeviceFailure failure;
  std::string message;
};
std::vector<TGathered> gathered;  // GUI thread only

void ShowGatheredFailures() {
  std::vector<TGathered> failures;
  failures.swap(gathered);
  if (failures.empty()) return;
  if (failures.size() == 1) {
    Messages().ShowException(failures[0].message);
    return;
  }
  std::stable_partition(failures.begin(), failures.end(), [](const TGathered& g) { return g.failure.Output; });
  std::string errors;
  std::vector<std::string> devices;
  for (const TGathered& g : failures) {
    errors += g.failure.Error + "\r";
    if (std::find(devices.begin(), devices.end(), g.failure.Device) == devices.end())
      devices.push_back(g.failure.Device);
  }
  std::string named;
  for (std::size_t k = 0; k < devices.size(); ++k)
    named += (k == 0 ? "" : k + 1 == devices.size() ? " and the " : ", the ") + devices[k];
  const bool several = devices.size() > 1;
  Messages().ShowException(errors + "The " + named + (several ? " have" : " has") +
                           " stopped: the audio server may have ended or the " + (several ? "devices" : "device") +
                           " been disconnected. Start again once it is back.");
}

}  // namespace

void ShowDeviceFailure(const TDeviceFailure& failure, const std::string& message) {
  gathered.push_back({failure, message});
  if (gathered.size() == 1) QTimer::singleShot(kFailureGatherMs, QCoreApplication::instance(), ShowGatheredFailures);
}

int TDeviceStream::LastError() const { return device_ ? device_->LastError() : 0; }

void TDeviceStream::Arm() {
  armed_ = true;
  lastBlock_ = PerfCounter();
}

int TDeviceStream::StallLimitMs() const {
  const int64_t blockMs = static_cast<int64_t>(frames_) * 1000 / kSampleRate;
  return static_cast<int>(std::max<int64_t>(kMinimumStallMs, kStallBlocks * blockMs));
}

void TDeviceStream::Notify(unsigned message, PWaveHdr header, uint32_t generation) {
  // Reports of an earlier opening, or any report while a file is replayed, are not ours.
  if (replaying || generation == 0 || generation != generation_) return;
  switch (message) {
    case MM_WOM_OPEN:
    case MM_WIM_OPEN:
      if (handlers_.open) handlers_.open();
      break;
    case MM_WOM_CLOSE:
    case MM_WIM_CLOSE:
      HandleCloseOnce();
      break;
    case MM_WOM_DONE:
    case MM_WIM_DATA:
      if (bool* held = HeldFlag(header)) {
        if (!*held) {  // not handed out in this opening
          if (blockLog_) {
            std::fprintf(blockLog_, "%lld %u again\n", WallMs(), generation);
            std::fflush(blockLog_);
          }
          return;
        }
        *held = false;
      } else {
        return;  // not one of ours
      }
      if (blockLog_ && message == MM_WIM_DATA && header->dwBytesRecorded > 0) {
        // wall ms, opening, device frame of the first frame, frames, device overruns so far
        std::fprintf(blockLog_, "%lld %u %lld %u %u\n", WallMs(), generation,
                     static_cast<long long>(header->deviceFrame), header->dwBytesRecorded / kBlockAlign,
                     header->deviceOverruns);
        std::fflush(blockLog_);
      }
      lastBlock_ = PerfCounter();
      stalled_ = false;
      current = header;
      if (handlers_.block) handlers_.block(header);
      break;
    case MM_WOM_ERROR:
    case MM_WIM_ERROR:
      if (handlers_.error) handlers_.error(device_ ? device_->LastError() : MMSYSERR_ERROR);
      break;
    default:
      break;
  }
}

void TDeviceStream::Watch() {
  if (!device_ || !armed_ || state != Running || replaying) return;
  // The device thread's newest report counts too: a busy GUI thread is not a stalled device.
  const int64_t now = PerfCounter();
  const int64_t newest = std::max(lastBlock_, notifier_->LastPostTime());
  const double idleMs = static_cast<double>(now - newest) * 1000.0 / PerfCounterFrequency;
  if (idleMs < StallLimitMs()) return;
  stalled_ = true;
  if (stallReported_) return;
  stallReported_ = true;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", idleMs / 1000.0);
  const std::string what = direction_ == Output ? "The sound output \"" + deviceName_ +
                                                      "\" stopped playing: no block has finished for "
                                                : "The sound input \"" + deviceName_ +
                                                      "\" stopped delivering audio: no block has arrived for ";
  ShowMessage(what + seconds +
              " seconds. It goes on by itself when the device answers again; STOP ends it.");
}
