#include "PortAudioBackend.h"

#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <pa_jack.h>
#include <portaudio.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "DeviceClock.h"
#include "JackDevice.h"
#include "PulseDevice.h"

// One Pa_Initialize shared by every backend, every device they made and the device list: PortAudio
// reads its devices when it starts, so a new list needs every holder gone first.
class TPaLibrary {
 public:
  TPaLibrary();
  ~TPaLibrary();
  PaError Error() const { return error_; }
  // Held around PortAudio calls that open, start, stop or close a stream.
  std::mutex& Calls() { return calls_; }
  // True when PortAudio started with a JACK server that no longer knows its client (see the
  // definition).
  bool JackClientGone() const;

 private:
  PaError error_;
  std::mutex calls_;
  std::string jackServer_;  // the JACK server PortAudio looked for at its start ("" the default)
  std::string jackClient_;  // PortAudio's client there; empty without JACK
  bool kept_ = false;       // started while an earlier start was kept: only counts it up
};

namespace {
std::atomic<bool> portAudioKept{false};
}  // namespace

namespace {

void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}
void SilentJackMessage(const char*) {}

// JACK, probed at start-up, tells stderr at length that no JACK server runs; that is not news
// either. PortAudio loads JACK's library itself, so its hooks are looked up, not linked.
void SilenceJack() {
  using TSetter = void (*)(void (*)(const char*));
  for (const char* name : {"jack_set_error_function", "jack_set_info_function"})
    if (auto set = reinterpret_cast<TSetter>(dlsym(RTLD_DEFAULT, name))) set(SilentJackMessage);
}

}  // namespace

TPaLibrary::TPaLibrary() {
  SilenceAlsaErrors();
  SilenceJack();
  if (const char* server = std::getenv("JACK_DEFAULT_SERVER")) jackServer_ = server;
  kept_ = portAudioKept;
  // PortAudio's own JACK client would run every period from now on; JACK's devices are ours.
  WithoutJackServer([this] { error_ = Pa_Initialize(); });
  // Read now: once the server has ended, asking PortAudio's client its name crashes.
  const char* client = nullptr;
  if (error_ == paNoError && !kept_ && Pa_HostApiTypeIdToHostApiIndex(paJACK) >= 0 &&
      PaJack_GetClientName(&client) == paNoError && client)
    jackClient_ = client;
}

namespace {

// True when PortAudio started with a JACK server that no longer knows PortAudio's client (it
// ended, or another started in its place). Ending PortAudio would then abort the program: its
// JACK part asserts that closing its client succeeds. Asks the server with a client of our own,
// through the JACK library PortAudio loaded.
bool JacksClientGone(const std::string& server, const std::string& ours) {
  if (ours.empty()) return false;
  using TOpen = void* (*)(const char*, int, int*, ...);
  using TClose = int (*)(void*);
  using TUuid = char* (*)(void*, const char*);
  using TFree = void (*)(void*);
  auto open = reinterpret_cast<TOpen>(dlsym(RTLD_DEFAULT, "jack_client_open"));
  auto close = reinterpret_cast<TClose>(dlsym(RTLD_DEFAULT, "jack_client_close"));
  auto uuid = reinterpret_cast<TUuid>(dlsym(RTLD_DEFAULT, "jack_get_uuid_for_client_name"));
  auto release = reinterpret_cast<TFree>(dlsym(RTLD_DEFAULT, "jack_free"));
  if (!open || !close || !uuid) return true;  // cannot tell: ending it is the risk
  constexpr int kNoStartServer = 0x01, kServerName = 0x04;
  int status = 0;
  void* probe = server.empty() ? open("quorvane-probe", kNoStartServer, &status)
                               : open("quorvane-probe", kNoStartServer | kServerName, &status, server.c_str());
  if (!probe) return true;
  char* id = uuid(probe, ours.c_str());
  const bool known = id != nullptr;
  if (id) (release ? release(id) : std::free(id));
  close(probe);
  return !known;
}

}  // namespace

bool TPaLibrary::JackClientGone() const {
  if (kept_) return Pa_HostApiTypeIdToHostApiIndex(paJACK) >= 0;
  return JacksClientGone(jackServer_, jackClient_);
}

TPaLibrary::~TPaLibrary() {
  if (error_ != paNoError) return;
  // Kept for the life of the program instead; a new start then reads no devices anew.
  if (!kept_ && JackClientGone())
    portAudioKept = true;
  else
    Pa_Terminate();
}

bool PortAudioKeptAfterJack() { return portAudioKept; }

namespace {

std::string PaText(PaError code) {
  std::string text = Pa_GetErrorText(code);
  if (code == paUnanticipatedHostError) {
    const PaHostErrorInfo* info = Pa_GetLastHostErrorInfo();
    if (info && info->errorText && *info->errorText) text += std::string(": ") + info->errorText;
  }
  return text;
}

enum class TCommand { None, Open, Start, Stop, Reset, Close };

// What a device and its worker share. The worker holds it too, so that the worker of a device
// that was given up (stuck in a blocking call on a stalled server) can finish on its own
// later: it then touches no block, posts nothing, closes its stream and ends.
struct TPaShared {
  std::shared_ptr<TPaLibrary> lib;
  bool output = true;
  int device = -1;
  TLatency latency = TLatency::Normal;
  unsigned long chunkFrames = 0;  // per blocking call
  bool jack = false;              // the stream is JACK's (see WaitForJack)
  std::mutex mutex;
  std::condition_variable wake, done;
  TCommand command = TCommand::None;
  uint64_t issued = 0, finished = 0;
  int result = 0;
  bool abandoned = false;
  bool recording = false;  // input recording / output stream started
  bool failed = false;     // an error report was posted; no more audio moves
  PaError failure = paNoError;
  PaError lastError = paNoError;
  std::string lastErrorText;
  PaStream* stream = nullptr;
  TDeviceNotifier* notifier = nullptr;
  uint32_t generation = 0;
  std::deque<PWaveHdr> queue;
  uint32_t pos = 0;  // frames done in the front block
  std::vector<int16_t> scratch;  // one chunk, sized before the worker starts
  std::vector<float> floats;     // the same chunk as JACK's streams take it
  // Input frames read but not yet in a block: they wait in scratch from `held` on for the
  // next queued block, and meanwhile the device buffer takes what arrives.
  uint32_t held = 0, heldFrames = 0;
  int64_t readFrames = 0;  // input frames read since the open
  uint32_t overruns = 0;   // reads that reported an overflow
  // Output frames written since the open, and the stream frame of the front block's first one.
  int64_t writtenFrames = 0, blockFirstFrame = 0;
  // Frames the output's buffer holds when nothing waits in it (what it reports just after the
  // start), and PortAudio's output latency in frames; 0 unknown.
  int64_t outputBufferFrames = 0, outputLatencyFrames = 0;
  TClockOrigin clock;

  void Post(unsigned message, PWaveHdr h) {
    if (!abandoned) notifier->Post(message, h, generation);
  }
  void SetError(PaError e) {
    lastError = e;
    lastErrorText = PaText(e);
  }
  void ReturnAll(bool keepPartial) {
    bool first = true;
    for (PWaveHdr h : queue) {
      if (!output) h->dwBytesRecorded = (first && keepPartial) ? pos * 4 : 0;
      if (first && pos > 0) h->deviceClock = clock.ClockOf(output ? blockFirstFrame : h->deviceFrame);
      h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
      Post(output ? MM_WOM_DONE : MM_WIM_DATA, h);
      first = false;
    }
    queue.clear();
    pos = 0;
  }
};

int DeviceIndexOf(bool output, int device) {
  return device >= 0 ? device : (output ? Pa_GetDefaultOutputDevice() : Pa_GetDefaultInputDevice());
}

const PaDeviceInfo* DeviceInfo(int index) {
  return (index >= 0 && index < Pa_GetDeviceCount()) ? Pa_GetDeviceInfo(index) : nullptr;
}

// The device as the device list and the settings name it: "HOSTAPI: NAME".
std::string KeyOf(int index) {
  const PaDeviceInfo* info = DeviceInfo(index);
  if (!info) return "PortAudio device " + std::to_string(index);
  const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
  return DeviceKey(api && api->name ? api->name : "?", info->name ? info->name : "?");
}

std::string PaDeviceName(bool output, int device) { return KeyOf(DeviceIndexOf(output, device)); }

// The latency's buffer, and at least what the device itself calls low (or, for Safe, high).
double SuggestedLatency(const PaDeviceInfo& info, bool output, TLatency latency) {
  const TLatencyPlan plan = LatencyPlan(latency);
  const bool safe = latency == TLatency::Safe;
  return output ? std::max(safe ? info.defaultHighOutputLatency : info.defaultLowOutputLatency, plan.outputLatency)
                : std::max(safe ? info.defaultHighInputLatency : info.defaultLowInputLatency, plan.inputLatency);
}

// The worker: alone it talks to the PortAudio stream, from opening to closing.
class TPaWorker {
 public:
  explicit TPaWorker(std::shared_ptr<TPaShared> shared) : s_(std::move(shared)) {}

  void Run() {
    std::unique_lock<std::mutex> lock(s_->mutex);
    for (;;) {
      s_->wake.wait(lock, [&] {
        return s_->abandoned || s_->command != TCommand::None || (s_->recording && !s_->failed && Moving());
      });
      if (s_->abandoned) break;
      if (s_->command != TCommand::None) {
        const TCommand c = s_->command;
        const int result = Do(c, lock);
        if (s_->abandoned) break;
        s_->command = TCommand::None;
        s_->result = result;
        s_->finished = s_->issued;
        s_->done.notify_all();
        if (c == TCommand::Close || (c == TCommand::Open && result != 0)) return;
        continue;
      }
      if (s_->output)
        WriteChunk(lock);
      else
        ReadChunk(lock);
    }
    // Given up by the device: end quietly.
    CloseStream(lock);
  }

 private:
  // An output moves audio only while it has a block; an input reads all the time, except
  // that frames it read and could not place wait for a block before it reads on.
  bool Moving() const { return s_->output ? !s_->queue.empty() : (s_->heldFrames == 0 || !s_->queue.empty()); }

  int Do(TCommand c, std::unique_lock<std::mutex>& lock) {
    switch (c) {
      case TCommand::Open: {
        const int e = OpenStream(lock);
        if (e == 0 && !s_->abandoned) s_->Post(s_->output ? MM_WOM_OPEN : MM_WIM_OPEN, nullptr);
        return e;
      }
      case TCommand::Start:
        if (!s_->recording && !s_->failed) {
          const PaError e = Locked(lock, [&] { return Pa_StartStream(s_->stream); });
          if (e != paNoError) {
            s_->SetError(e);
            return e;
          }
          s_->recording = true;
          s_->clock.Forget();  // the frames after a restart run on a new origin
        }
        return 0;
      case TCommand::Stop:
        StopStream(lock);
        if (!s_->output && !s_->queue.empty() && s_->pos > 0) {  // a partly filled block comes back as it is
          PWaveHdr h = s_->queue.front();
          s_->queue.pop_front();
          h->dwBytesRecorded = s_->pos * 4;
          h->deviceClock = s_->clock.ClockOf(h->deviceFrame);
          h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
          s_->pos = 0;
          s_->Post(MM_WIM_DATA, h);
        }
        return 0;
      case TCommand::Reset:
        if (!s_->output) StopStream(lock);
        s_->ReturnAll(!s_->output);
        return 0;
      case TCommand::Close:
        StopStream(lock);
        s_->ReturnAll(!s_->output);
        CloseStream(lock);
        s_->Post(s_->output ? MM_WOM_CLOSE : MM_WIM_CLOSE, nullptr);
        return 0;
      case TCommand::None:
        break;
    }
    return 0;
  }

  // Runs a PortAudio call that may block without holding the device's lock; calls that
  // open, start, stop or close are serialised across devices, as PortAudio wants.
  template <class F>
  PaError Locked(std::unique_lock<std::mutex>& lock, F f) {
    lock.unlock();
    PaError r;
    {
      std::lock_guard<std::mutex> pa(s_->lib->Calls());
      r = f();
    }
    lock.lock();
    return r;
  }

  int OpenStream(std::unique_lock<std::mutex>& lock) {
    const bool output = s_->output;
    const int index = DeviceIndexOf(output, s_->device);
    PaStreamParameters p{};
    p.device = index;
    p.channelCount = 2;
    p.sampleFormat = paInt16;
    PaStream* stream = nullptr;
    signed long bufferFrames = 0;
    double latency = 0;  // s
    bool jack = false;
    PaError e = Locked(lock, [&] {
      const PaDeviceInfo* info = DeviceInfo(index);
      if (!info) return static_cast<PaError>(paInvalidDevice);
      p.suggestedLatency = SuggestedLatency(*info, output, s_->latency);
      const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
      jack = api && api->type == paJACK;
      // PortAudio's JACK streams read and write blocking calls as stereo floats whatever the
      // format (other formats overrun the buffers); the samples are converted here instead.
      if (jack) p.sampleFormat = paFloat32;
      // A stream on a JACK server that has ended cannot even fail cleanly.
      if (jack && s_->lib->JackClientGone()) return static_cast<PaError>(paDeviceUnavailable);
      // Asked first, so that a device that cannot take the format says so by its own code.
      PaError r = Pa_IsFormatSupported(output ? nullptr : &p, output ? &p : nullptr, kSampleRate);
      if (r != paFormatIsSupported) return r;
      r = Pa_OpenStream(&stream, output ? nullptr : &p, output ? &p : nullptr, kSampleRate, s_->chunkFrames,
                        paClipOff | paDitherOff, nullptr, nullptr);
      if (r == paNoError && output) {
        r = Pa_StartStream(stream);
        if (r != paNoError) {
          Pa_CloseStream(stream);
          stream = nullptr;
        } else {
          bufferFrames = Pa_GetStreamWriteAvailable(stream);
          if (const PaStreamInfo* info = Pa_GetStreamInfo(stream)) latency = info->outputLatency;
        }
      }
      return r;
    });
    if (e != paNoError) {
      s_->SetError(e);
      return e;
    }
    s_->stream = stream;
    s_->jack = jack;
    if (jack) s_->floats.assign(s_->scratch.size(), 0.0f);
    s_->recording = output;
    s_->outputBufferFrames = std::max<long>(bufferFrames, 0);
    s_->outputLatencyFrames = std::max<int64_t>(std::llround(latency * kSampleRate), 0);
    s_->writtenFrames = 0;
    s_->clock.Forget();
    return 0;
  }

  void StopStream(std::unique_lock<std::mutex>& lock) {
    if (!s_->recording || !s_->stream) return;
    s_->recording = false;
    s_->heldFrames = 0;
    PaStream* stream = s_->stream;
    Locked(lock, [&] { return Pa_AbortStream(stream); });
  }

  void CloseStream(std::unique_lock<std::mutex>& lock) {
    if (!s_->stream) return;
    PaStream* stream = s_->stream;
    s_->stream = nullptr;
    s_->recording = false;
    Locked(lock, [&] {
      Pa_AbortStream(stream);
      return Pa_CloseStream(stream);
    });
  }

  void Failed(PaError e) {
    // Once: the stream closes on the report, and the blocks come back with the close.
    s_->failed = true;
    s_->failure = e;
    s_->SetError(e);
    s_->Post(s_->output ? MM_WOM_ERROR : MM_WIM_ERROR, nullptr);
  }

  // PortAudio's JACK streams wait in a read or write for the server's next period, for ever once
  // the server has ended; and then stopping or closing such a stream hangs or aborts the program.
  // So the frames are waited for here, while the stream is active (the server's end makes it
  // inactive), and a stream whose server ended is left alone (JackEnded). Device thread, unlocked.
  static bool WaitForJack(PaStream* stream, bool output, unsigned long frames) {
    for (;;) {
      const signed long ready = output ? Pa_GetStreamWriteAvailable(stream) : Pa_GetStreamReadAvailable(stream);
      if (ready >= static_cast<signed long>(frames)) return true;
      if (Pa_IsStreamActive(stream) != 1) return false;
      // Asleep until the frames missing are due, and 2 ms past, so that the server's period that
      // brings them has run: one wake per chunk, not several.
      const auto missing = static_cast<int64_t>(frames) - std::max<signed long>(ready, 0);
      std::this_thread::sleep_for(std::chrono::microseconds(missing * 1000000 / kSampleRate + 2000));
    }
  }

  // The JACK server has ended under the stream: it is left as it is (never stopped or closed, see
  // WaitForJack) and fails as a stream whose server ended.
  void JackEnded() {
    s_->stream = nullptr;
    s_->recording = false;
    Failed(paDeviceUnavailable);
  }

  void WriteChunk(std::unique_lock<std::mutex>& lock) {
    PWaveHdr h = s_->queue.front();
    const uint32_t frames = h->dwBufferLength / 4;
    const unsigned long n = std::min<unsigned long>(s_->chunkFrames, frames - s_->pos);
    // Copied out under the lock: a worker stuck in the write then holds no block of ours.
    std::memcpy(s_->scratch.data(), h->lpData + static_cast<size_t>(s_->pos) * 4, n * 4);
    if (s_->pos == 0) s_->blockFirstFrame = s_->writtenFrames;
    PaStream* stream = s_->stream;
    const int64_t written = s_->writtenFrames, buffer = s_->outputBufferFrames, latency = s_->outputLatencyFrames;
    lock.unlock();
    const bool alive = !s_->jack || WaitForJack(stream, true, n);
    const signed long space = n && alive ? Pa_GetStreamWriteAvailable(stream) : -1;
    const int64_t now = ClockFrames();
    if (s_->jack)
      for (unsigned long i = 0; i < 2 * n; ++i) s_->floats[i] = static_cast<float>(s_->scratch[i]) / 32768.0f;
    const PaError e = n && alive ? Pa_WriteStream(stream, s_->jack ? static_cast<const void*>(s_->floats.data())
                                                                   : static_cast<const void*>(s_->scratch.data()),
                                                  n)
                                 : paNoError;
    lock.lock();
    if (s_->abandoned) return;
    if (!alive) {
      JackEnded();
      return;
    }
    if (e != paNoError && e != paOutputUnderflowed) {
      Failed(e);
      return;
    }
    // What waits in the buffer leaves before the chunk. A stream that has taken nothing yet may
    // not have started, so it tells nothing. A full buffer does not say how full: through the
    // PulseAudio plug-in it holds a period less than it reports, which is what PortAudio's
    // latency tells; elsewhere it may be up to a period more, a reading that much early.
    if (e == paOutputUnderflowed)
      s_->clock.Forget();  // the frames after a gap leave later, and the reading was before it
    else if (space >= 0 && buffer > 0 && written > buffer - space)
      s_->clock.Reading(now + (space > 0 ? buffer - space : latency) - written);
    s_->writtenFrames += static_cast<int64_t>(n);
    s_->pos += static_cast<uint32_t>(n);
    if (s_->pos >= frames && !s_->queue.empty() && s_->queue.front() == h) {
      s_->queue.pop_front();
      s_->pos = 0;
      h->deviceClock = s_->clock.ClockOf(s_->blockFirstFrame);
      h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
      s_->Post(MM_WOM_DONE, h);
    }
  }

  void ReadChunk(std::unique_lock<std::mutex>& lock) {
    if (s_->heldFrames == 0) {
      PaStream* stream = s_->stream;
      lock.unlock();
      const unsigned long chunk = s_->chunkFrames;
      const bool alive = !s_->jack || WaitForJack(stream, false, chunk);
      PaError e = paNoError;
      if (alive && s_->jack) {
        e = Pa_ReadStream(stream, s_->floats.data(), chunk);
        for (unsigned long i = 0; i < 2 * chunk; ++i)
          s_->scratch[i] = static_cast<int16_t>(std::clamp(std::lrint(s_->floats[i] * 32768.0f), -32768L, 32767L));
      } else if (alive) {
        e = Pa_ReadStream(stream, s_->scratch.data(), chunk);
      }
      // The frames still waiting arrived before now, and the chunk's before them.
      const signed long waiting = e == paNoError || e == paInputOverflowed ? Pa_GetStreamReadAvailable(stream) : -1;
      const int64_t now = ClockFrames();
      lock.lock();
      if (s_->abandoned) return;
      if (!alive) {
        JackEnded();
        return;
      }
      if (!s_->recording) return;  // stopped meanwhile: the chunk is not wanted
      if (e != paNoError && e != paInputOverflowed) {
        Failed(e);
        return;
      }
      if (e == paInputOverflowed) {
        ++s_->overruns;
        s_->clock.Forget();  // frames were lost: the count no longer follows the clock
      }
      s_->held = 0;
      s_->heldFrames = static_cast<uint32_t>(chunk);
      s_->readFrames += static_cast<int64_t>(chunk);
      if (waiting >= 0) s_->clock.Reading(now - waiting - s_->readFrames);
    }
    // A block the stream has not handed back yet is no reason to lose frames: what does not
    // fit stays held until the next block is queued.
    while (s_->heldFrames > 0 && !s_->queue.empty()) {
      PWaveHdr h = s_->queue.front();
      const uint32_t frames = h->dwBufferLength / 4;
      const uint32_t m = std::min<uint32_t>(s_->heldFrames, frames - s_->pos);
      if (s_->pos == 0) h->deviceFrame = s_->readFrames - s_->heldFrames;
      h->deviceOverruns = s_->overruns;
      std::memcpy(h->lpData + static_cast<size_t>(s_->pos) * 4, s_->scratch.data() + 2 * s_->held, m * 4);
      s_->pos += m;
      s_->held += m;
      s_->heldFrames -= m;
      if (s_->pos >= frames) {
        s_->queue.pop_front();
        s_->pos = 0;
        h->dwBytesRecorded = h->dwBufferLength;
        h->deviceClock = s_->clock.ClockOf(h->deviceFrame);
        h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
        s_->Post(MM_WIM_DATA, h);
      }
    }
  }

  std::shared_ptr<TPaShared> s_;
};

// The GUI thread's side of one device: commands with a bounded wait.
class TPaDevice {
 protected:
  TPaDevice(std::shared_ptr<TPaLibrary> lib, int device, bool output, TLatency latency) {
    s_ = std::make_shared<TPaShared>();
    s_->lib = std::move(lib);
    s_->device = device;
    s_->output = output;
    s_->latency = latency;
    SetChunk(LatencyPlan(latency).chunkFrames);
  }
  // Frames per blocking call, and so the device's period; only before the worker starts.
  void SetChunk(unsigned long frames) {
    if (thread_.joinable()) return;
    s_->chunkFrames = frames;
    s_->scratch.assign(frames * 2, 0);
    s_->clock.SetChunkFrames(frames);
  }
  ~TPaDevice() { Shutdown(); }

  int OpenDevice(TDeviceNotifier* notifier, uint32_t generation) {
    if (thread_.joinable()) return paDeviceUnavailable;
    name_ = PaDeviceName(s_->output, s_->device);
    s_->notifier = notifier;
    s_->generation = generation;
    {
      std::lock_guard<std::mutex> lock(s_->mutex);
      s_->command = TCommand::Open;
      s_->issued = 1;
    }
    thread_ = std::thread([shared = s_] {
      // Tells the workers apart in a per-thread CPU table.
      pthread_setname_np(pthread_self(), shared->output ? "qv-pa-out" : "qv-pa-in");
      TPaWorker(shared).Run();
    });
    const int result = Wait();
    if (result != 0) {
      if (result == DEVERR_NOTANSWERING)
        Abandon();
      else
        thread_.join();  // the worker ends after a failed open
    }
    return result;
  }

  int Command(TCommand c) {
    if (!thread_.joinable()) return paBadStreamPtr;
    if (unresponsive_) return DEVERR_NOTANSWERING;
    {
      std::lock_guard<std::mutex> lock(s_->mutex);
      s_->command = c;
      ++s_->issued;
    }
    s_->wake.notify_all();
    return Wait();
  }

  int Wait() {
    std::unique_lock<std::mutex> lock(s_->mutex);
    const uint64_t issued = s_->issued;
    if (!s_->done.wait_for(lock, std::chrono::milliseconds(kDeviceCommandTimeoutMs),
                           [&] { return s_->finished == issued; })) {
      unresponsive_ = true;
      s_->SetError(DEVERR_NOTANSWERING);
      s_->lastErrorText = NotAnsweringText();
      return DEVERR_NOTANSWERING;
    }
    return s_->result;
  }

  // The worker is stuck: from now on it touches no block and posts nothing; it ends by itself.
  void Abandon() {
    {
      std::lock_guard<std::mutex> lock(s_->mutex);
      s_->abandoned = true;
      s_->queue.clear();
    }
    s_->wake.notify_all();
    if (thread_.joinable()) thread_.detach();
  }

  int Shutdown() {
    if (!thread_.joinable()) return 0;
    const int result = Command(TCommand::Close);
    if (result == 0) {
      thread_.join();
      return 0;
    }
    Abandon();
    return result;
  }

  int QueueBlock(PWaveHdr h) {
    std::lock_guard<std::mutex> lock(s_->mutex);
    if (!thread_.joinable() || s_->abandoned) return paBadStreamPtr;
    if (s_->failed) return s_->failure;
    h->dwFlags = (h->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    if (!s_->output) h->dwBytesRecorded = 0;
    s_->queue.push_back(h);
    s_->wake.notify_all();
    return 0;
  }

  std::string Text(int code) const {
    if (code == DEVERR_NOTANSWERING) return NotAnsweringText();
    std::lock_guard<std::mutex> lock(s_->mutex);
    if (code == s_->lastError && !s_->lastErrorText.empty()) return s_->lastErrorText;
    return PaText(static_cast<PaError>(code));
  }

  std::string Advice(int code) const { return PortAudioOpenAdvice(code, name_); }

  int Failure() const {
    std::lock_guard<std::mutex> lock(s_->mutex);
    return s_->failure;
  }

  std::shared_ptr<TPaShared> s_;
  std::thread thread_;
  bool unresponsive_ = false;
  std::string name_;
};

template <class TBase, bool output>
class TPaStreamDevice : public TBase, protected TPaDevice {
 public:
  TPaStreamDevice(std::shared_ptr<TPaLibrary> lib, int device, TLatency latency)
      : TPaDevice(std::move(lib), device, output, latency) {}
  int Open(TDeviceNotifier* notifier, uint32_t generation) override { return OpenDevice(notifier, generation); }
  void SetBlockFrames(int frames) override { SetChunk(DeviceChunkFrames(s_->latency, frames)); }
  int Queue(PWaveHdr h) override { return QueueBlock(h); }
  int Reset() override { return Command(TCommand::Reset); }
  int Close() override { return Shutdown(); }
  std::string ErrorText(int code) const override { return Text(code); }
  std::string OpenAdvice(int code) const override { return Advice(code); }
  int LastError() const override { return Failure(); }
  std::string Name() const override { return name_; }
};

using TPaOutput = TPaStreamDevice<TOutputDevice, true>;

class TPaInput : public TPaStreamDevice<TInputDevice, false> {
 public:
  using TPaStreamDevice::TPaStreamDevice;
  int Start() override { return Command(TCommand::Start); }
  int Stop() override { return Command(TCommand::Stop); }
};

// An ALSA device that is the PulseAudio plug-in is served by the server's own library instead
// (PulseDevice.h); the device keeps its name.
bool LeadsToPulse(int index) {
  const PaDeviceInfo* info = DeviceInfo(index);
  const PaHostApiInfo* api = info ? Pa_GetHostApiInfo(info->hostApi) : nullptr;
  return api && api->type == paALSA && info->name && AlsaPcmLeadsToPulse(info->name);
}

class TPortAudioBackend : public TAudioBackend {
 public:
  TPortAudioBackend(std::shared_ptr<TPaLibrary> lib, int out, int in, TLatency latency, std::string jackOut,
                    std::string jackIn)
      : lib_(std::move(lib)), out_(out), in_(in), latency_(latency), jackOut_(std::move(jackOut)),
        jackIn_(std::move(jackIn)) {}
  std::string Name() const override { return "PortAudio"; }
  std::unique_ptr<TOutputDevice> CreateOutput() override {
    if (!jackOut_.empty()) return CreateJackOutput(jackOut_);
    const int index = DeviceIndexOf(true, out_);
    if (LeadsToPulse(index)) return CreatePulseOutput(KeyOf(index), latency_);
    return std::make_unique<TPaOutput>(lib_, out_, latency_);
  }
  std::unique_ptr<TInputDevice> CreateInput() override {
    if (!jackIn_.empty()) return CreateJackInput(jackIn_);
    const int index = DeviceIndexOf(false, in_);
    if (LeadsToPulse(index)) return CreatePulseInput(KeyOf(index), latency_);
    return std::make_unique<TPaInput>(lib_, in_, latency_);
  }
  const std::shared_ptr<TPaLibrary>& Library() const { return lib_; }

 private:
  std::shared_ptr<TPaLibrary> lib_;
  int out_, in_;
  TLatency latency_;
  std::string jackOut_, jackIn_;  // a JACK client's name: that direction is on our own JACK device
};

}  // namespace

std::string PortAudioOpenAdvice(int code, const std::string& name) {
  switch (code) {
    case paInvalidSampleRate:
    case paSampleFormatNotSupported:
    case paInvalidChannelCount:
      return "The device \"" + name + "\" does not take 16-bit stereo at 44100 Hz.";
    case paInvalidDevice:
      return "There is no device \"" + name +
             "\": a device connected since is found by File > Sound devices ... while no sound runs.";
    case DEVERR_NOTANSWERING:
      return "The audio server seems stalled; restart it, then try again.";
    default:
      return "No sound device answered as \"" + name +
             "\": check that the audio server is running and the device is connected, then try again.";
  }
}

// ALSA reports every device it probes and does not find; that is not news to the user.
void SilenceAlsaErrors() { snd_lib_error_set_handler(SilentAlsaError); }

std::shared_ptr<TPaLibrary> SharedPortAudio(std::string* why) {
  static std::mutex mutex;
  static std::weak_ptr<TPaLibrary> running;
  std::lock_guard<std::mutex> lock(mutex);
  if (auto lib = running.lock()) return lib;
  auto lib = std::make_shared<TPaLibrary>();
  if (lib->Error() != paNoError) {
    if (why) *why = "PortAudio did not start: " + PaText(lib->Error());
    return nullptr;
  }
  running = lib;
  return lib;
}

std::vector<TSoundDevice> PortAudioDevices(const TPaLibrary&) {
  std::vector<TSoundDevice> list;
  const PaDeviceIndex defaultIn = Pa_GetDefaultInputDevice(), defaultOut = Pa_GetDefaultOutputDevice();
  // Host APIs in PortAudio's order, each one's devices in its own order.
  for (PaHostApiIndex a = 0; a < Pa_GetHostApiCount(); ++a) {
    const PaHostApiInfo* api = Pa_GetHostApiInfo(a);
    if (!api) continue;
    for (int d = 0; d < api->deviceCount; ++d) {
      const PaDeviceIndex index = Pa_HostApiDeviceIndexToDeviceIndex(a, d);
      const PaDeviceInfo* info = DeviceInfo(index);
      if (!info) continue;
      list.push_back({api->name ? api->name : "?", info->name ? info->name : "?", info->maxInputChannels,
                      info->maxOutputChannels, index == defaultIn, index == defaultOut});
    }
  }
  return list;
}

int FindPortAudioDevice(const TPaLibrary&, const std::string& key, bool output) {
  for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
    const PaDeviceInfo* info = DeviceInfo(i);
    if (info && (output ? info->maxOutputChannels : info->maxInputChannels) > 0 && KeyOf(i) == key) return i;
  }
  return -1;
}

int DefaultPortAudioDevice(const TPaLibrary&, bool output) {
  const PaDeviceIndex i = output ? Pa_GetDefaultOutputDevice() : Pa_GetDefaultInputDevice();
  return i == paNoDevice ? -1 : i;
}

std::string PortAudioDeviceKey(const TPaLibrary&, int index) { return KeyOf(index); }

std::shared_ptr<TAudioBackend> CreatePortAudioBackendWith(std::shared_ptr<TPaLibrary> lib, int outputDevice,
                                                          int inputDevice, TLatency latency,
                                                          const std::string& jackOutput, const std::string& jackInput) {
  return std::make_shared<TPortAudioBackend>(std::move(lib), outputDevice, inputDevice, latency, jackOutput,
                                             jackInput);
}

std::shared_ptr<TPaLibrary> PortAudioOf(const TAudioBackend* backend) {
  const auto* pa = dynamic_cast<const TPortAudioBackend*>(backend);
  return pa ? pa->Library() : nullptr;
}

std::shared_ptr<TAudioBackend> CreatePortAudioBackend(std::string* why, TLatency latency) {
  auto lib = SharedPortAudio(why);
  if (!lib) return nullptr;
  if (DefaultPortAudioDevice(*lib, true) < 0) {
    if (why) *why = "no default output device";
    return nullptr;
  }
  if (DefaultPortAudioDevice(*lib, false) < 0) {
    if (why) *why = "no default input device";
    return nullptr;
  }
  return CreatePortAudioBackendWith(lib, -1, -1, latency);
}

std::shared_ptr<TAudioBackend> CreatePortAudioBackendOn(int outputDevice, int inputDevice, TLatency latency) {
  auto lib = SharedPortAudio(nullptr);
  if (!lib) lib = std::make_shared<TPaLibrary>();  // its error then fails every open
  return CreatePortAudioBackendWith(std::move(lib), outputDevice, inputDevice, latency);
}
