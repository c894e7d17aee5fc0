#include "PortAudioBackend.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <portaudio.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdarg>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Frames moved per blocking call: short enough that stop and reset answer quickly.
constexpr unsigned long kChunkFrames = 1024;

void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}

// PortAudio's start-up probes every host API; ALSA and JACK complain loudly on stderr about
// devices that are not there. Keep that noise out of the program's output.
class TQuietStderr {
 public:
  TQuietStderr() {
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    int devnull = open("/dev/null", O_WRONLY);
    if (saved_ >= 0 && devnull >= 0) dup2(devnull, STDERR_FILENO);
    if (devnull >= 0) close(devnull);
  }
  ~TQuietStderr() {
    std::fflush(stderr);
    if (saved_ >= 0) {
      dup2(saved_, STDERR_FILENO);
      close(saved_);
    }
  }

 private:
  int saved_ = -1;
};

// One Pa_Initialize for the life of a backend and every device it made.
class TPaLibrary {
 public:
  TPaLibrary() {
    snd_lib_error_set_handler(SilentAlsaError);
    TQuietStderr quiet;
    error_ = Pa_Initialize();
  }
  ~TPaLibrary() {
    if (error_ == paNoError) Pa_Terminate();
  }
  PaError Error() const { return error_; }

 private:
  PaError error_;
};

std::string PaText(PaError code) {
  std::string text = Pa_GetErrorText(code);
  if (code == paUnanticipatedHostError) {
    const PaHostErrorInfo* info = Pa_GetLastHostErrorInfo();
    if (info && info->errorText && *info->errorText) text += std::string(": ") + info->errorText;
  }
  return text;
}

enum class TCommand { None, Start, Stop, Reset, Close };

// Shared worker machinery of both directions.
class TPaDevice {
 protected:
  explicit TPaDevice(std::shared_ptr<TPaLibrary> lib, int device) : lib_(std::move(lib)), device_(device) {}

  int OpenStream(bool output) {
    int index = device_ >= 0 ? device_ : (output ? Pa_GetDefaultOutputDevice() : Pa_GetDefaultInputDevice());
    PaStreamParameters p{};
    p.device = index;
    p.channelCount = 2;
    p.sampleFormat = paInt16;
    const PaDeviceInfo* info = (index >= 0 && index < Pa_GetDeviceCount()) ? Pa_GetDeviceInfo(index) : nullptr;
    // the high default latency: a measurement must not drop blocks on a busy machine
    p.suggestedLatency = info ? (output ? info->defaultHighOutputLatency : info->defaultHighInputLatency) : 0.1;
    PaError e;
    {
      TQuietStderr quiet;
      e = Pa_OpenStream(&stream_, output ? nullptr : &p, output ? &p : nullptr, 44100.0,
                        paFramesPerBufferUnspecified, paClipOff | paDitherOff, nullptr, nullptr);
    }
    if (e != paNoError) {
      stream_ = nullptr;
      lastError_ = e;
      lastErrorText_ = PaText(e);
      return e;
    }
    return 0;
  }

  // GUI thread: hand a command to the worker and wait until it is carried out.
  void Command(TCommand c) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_.joinable()) return;
    command_ = c;
    wake_.notify_all();
    done_.wait(lock, [&] { return command_ == TCommand::None; });
  }

  // GUI thread: the worker returns every block, closes the stream and posts the close.
  void Shutdown() {
    if (!thread_.joinable()) return;
    Command(TCommand::Close);
    thread_.join();
  }

  void FinishCommand() {
    command_ = TCommand::None;
    done_.notify_all();
  }

  std::string Text(int code) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (code == lastError_ && !lastErrorText_.empty()) return lastErrorText_;
    return PaText(static_cast<PaError>(code));
  }

  void ReturnAll(unsigned message, bool keepPartial) {
    bool first = true;
    for (PWaveHdr h : queue_) {
      if (message == MM_WIM_DATA) h->dwBytesRecorded = (first && keepPartial) ? pos_ * 4 : 0;
      h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
      notifier_->Post(message, h);
      first = false;
    }
    queue_.clear();
    pos_ = 0;
  }

  std::shared_ptr<TPaLibrary> lib_;
  int device_;
  PaStream* stream_ = nullptr;
  TDeviceNotifier* notifier_ = nullptr;
  mutable std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::deque<PWaveHdr> queue_;
  uint32_t pos_ = 0;
  TCommand command_ = TCommand::None;
  std::thread thread_;
  PaError lastError_ = paNoError;
  std::string lastErrorText_;
};

class TPaOutput : public TOutputDevice, private TPaDevice {
 public:
  TPaOutput(std::shared_ptr<TPaLibrary> lib, int device) : TPaDevice(std::move(lib), device) {}
  ~TPaOutput() override { Close(); }

  int Open(TDeviceNotifier* notifier) override {
    if (thread_.joinable()) return paDeviceUnavailable;
    if (int e = OpenStream(true)) return e;
    if (PaError e = Pa_StartStream(stream_); e != paNoError) {
      Pa_CloseStream(stream_);
      stream_ = nullptr;
      lastError_ = e;
      lastErrorText_ = PaText(e);
      return e;
    }
    notifier_ = notifier;
    writeError_ = paNoError;
    notifier_->Post(MM_WOM_OPEN, nullptr);
    thread_ = std::thread([this] { Run(); });
    return 0;
  }

  int Write(PWaveHdr h) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable()) return paBadStreamPtr;
    if (writeError_ != paNoError) {
      lastError_ = writeError_;
      lastErrorText_ = PaText(writeError_);
      return writeError_;
    }
    h->dwFlags = (h->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    queue_.push_back(h);
    wake_.notify_all();
    return 0;
  }

  void Reset() override { Command(TCommand::Reset); }

  void Close() override { Shutdown(); }

  std::string ErrorText(int code) const override { return Text(code); }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return command_ != TCommand::None || (!queue_.empty() && writeError_ == paNoError); });
      if (command_ == TCommand::Reset) {
        ReturnAll(MM_WOM_DONE, false);
        FinishCommand();
        continue;
      }
      if (command_ == TCommand::Close) {
        ReturnAll(MM_WOM_DONE, false);
        lock.unlock();
        Pa_AbortStream(stream_);
        Pa_CloseStream(stream_);
        lock.lock();
        stream_ = nullptr;
        notifier_->Post(MM_WOM_CLOSE, nullptr);
        FinishCommand();
        return;
      }
      if (command_ != TCommand::None) {
        FinishCommand();
        continue;
      }
      PWaveHdr h = queue_.front();
      uint32_t frames = h->dwBufferLength / 4;
      unsigned long n = std::min<unsigned long>(kChunkFrames, frames - pos_);
      const char* src = h->lpData + static_cast<size_t>(pos_) * 4;
      lock.unlock();
      PaError e = n ? Pa_WriteStream(stream_, src, n) : paNoError;
      lock.lock();
      if (e != paNoError && e != paOutputUnderflowed) {
        // The device failed: give the blocks back; the next Write reports the error.
        writeError_ = e;
        ReturnAll(MM_WOM_DONE, false);
        continue;
      }
      pos_ += static_cast<uint32_t>(n);
      if (pos_ >= frames && !queue_.empty() && queue_.front() == h) {
        queue_.pop_front();
        pos_ = 0;
        h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
        notifier_->Post(MM_WOM_DONE, h);
      }
    }
  }

  PaError writeError_ = paNoError;
};

class TPaInput : public TInputDevice, private TPaDevice {
 public:
  TPaInput(std::shared_ptr<TPaLibrary> lib, int device) : TPaDevice(std::move(lib), device) {}
  ~TPaInput() override { Close(); }

  int Open(TDeviceNotifier* notifier) override {
    if (thread_.joinable()) return paDeviceUnavailable;
    if (int e = OpenStream(false)) return e;
    notifier_ = notifier;
    recording_ = false;
    readError_ = paNoError;
    scratch_.assign(kChunkFrames * 2, 0);
    notifier_->Post(MM_WIM_OPEN, nullptr);
    thread_ = std::thread([this] { Run(); });
    return 0;
  }

  int AddBuffer(PWaveHdr h) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable()) return paBadStreamPtr;
    h->dwFlags = (h->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    h->dwBytesRecorded = 0;
    queue_.push_back(h);
    wake_.notify_all();
    return 0;
  }

  void Start() override { Command(TCommand::Start); }
  void Stop() override { Command(TCommand::Stop); }
  void Reset() override { Command(TCommand::Reset); }

  void Close() override { Shutdown(); }

  std::string ErrorText(int code) const override { return Text(code); }
  int LastError() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return readError_;
  }

  // Frames read while no block was queued (lost, as on an overrun).
  int64_t dropped = 0;

 private:
  void StopRecording() {
    if (!recording_) return;
    recording_ = false;
    Pa_AbortStream(stream_);
  }

  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return command_ != TCommand::None || recording_; });
      switch (command_) {
        case TCommand::Start:
          if (!recording_ && Pa_StartStream(stream_) == paNoError) recording_ = true;
          FinishCommand();
          continue;
        case TCommand::Stop:
          StopRecording();
          if (!queue_.empty() && pos_ > 0) {  // a partly filled block comes back as it is
            PWaveHdr h = queue_.front();
            queue_.pop_front();
            h->dwBytesRecorded = pos_ * 4;
            h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
            pos_ = 0;
            notifier_->Post(MM_WIM_DATA, h);
          }
          FinishCommand();
          continue;
        case TCommand::Reset:
          StopRecording();
          ReturnAll(MM_WIM_DATA, true);
          FinishCommand();
          continue;
        case TCommand::Close:
          StopRecording();
          ReturnAll(MM_WIM_DATA, true);
          Pa_CloseStream(stream_);
          stream_ = nullptr;
          notifier_->Post(MM_WIM_CLOSE, nullptr);
          FinishCommand();
          return;
        case TCommand::None:
          break;
      }
      PWaveHdr h = queue_.empty() ? nullptr : queue_.front();
      uint32_t frames = h ? h->dwBufferLength / 4 : kChunkFrames;
      unsigned long n = std::min<unsigned long>(kChunkFrames, frames - (h ? pos_ : 0));
      char* dst = h ? h->lpData + static_cast<size_t>(pos_) * 4 : reinterpret_cast<char*>(scratch_.data());
      lock.unlock();
      PaError e = n ? Pa_ReadStream(stream_, dst, n) : paNoError;
      lock.lock();
      if (e != paNoError && e != paInputOverflowed) {
        // The device failed: stop recording, give back what was captured, and say why.
        StopRecording();
        ReturnAll(MM_WIM_DATA, true);
        lastError_ = e;
        lastErrorText_ = PaText(e);
        readError_ = e;
        notifier_->Post(MM_WIM_ERROR, nullptr);
        continue;
      }
      if (!h) {
        dropped += static_cast<int64_t>(n);
        continue;
      }
      pos_ += static_cast<uint32_t>(n);
      if (pos_ >= frames && !queue_.empty() && queue_.front() == h) {
        queue_.pop_front();
        pos_ = 0;
        h->dwBytesRecorded = h->dwBufferLength;
        h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
        notifier_->Post(MM_WIM_DATA, h);
      }
    }
  }

  bool recording_ = false;
  PaError readError_ = paNoError;
  std::vector<int16_t> scratch_;
};

class TPortAudioBackend : public TAudioBackend {
 public:
  TPortAudioBackend(std::shared_ptr<TPaLibrary> lib, int out, int in)
      : lib_(std::move(lib)), out_(out), in_(in) {}
  std::string Name() const override { return "PortAudio"; }
  std::unique_ptr<TOutputDevice> CreateOutput() override { return std::make_unique<TPaOutput>(lib_, out_); }
  std::unique_ptr<TInputDevice> CreateInput() override { return std::make_unique<TPaInput>(lib_, in_); }

 private:
  std::shared_ptr<TPaLibrary> lib_;
  int out_, in_;
};

}  // namespace

std::shared_ptr<TAudioBackend> CreatePortAudioBackend(std::string* why) {
  auto lib = std::make_shared<TPaLibrary>();
  if (lib->Error() != paNoError) {
    if (why) *why = "PortAudio did not start: " + PaText(lib->Error());
    return nullptr;
  }
  if (Pa_GetDefaultOutputDevice() == paNoDevice) {
    if (why) *why = "no default output device";
    return nullptr;
  }
  if (Pa_GetDefaultInputDevice() == paNoDevice) {
    if (why) *why = "no default input device";
    return nullptr;
  }
  return std::make_shared<TPortAudioBackend>(lib, -1, -1);
}

std::shared_ptr<TAudioBackend> CreatePortAudioBackendOn(int outputDevice, int inputDevice) {
  return std::make_shared<TPortAudioBackend>(std::make_shared<TPaLibrary>(), outputDevice, inputDevice);
}
