#include "PulseDevice.h"

#include <alsa/asoundlib.h>
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "DeviceClock.h"

namespace {

// A wait for the server that is not over yet.
constexpr int kPending = -1;

class TLoopLock {
 public:
  explicit TLoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
  ~TLoopLock() { pa_threaded_mainloop_unlock(loop_); }
  TLoopLock(const TLoopLock&) = delete;
  TLoopLock& operator=(const TLoopLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

// Asks `settled` under the loop's lock until it returns something other than kPending, for at
// most the device command timeout (then DEVERR_NOTANSWERING). The lock is let go between the
// asks, so the loop's thread can hear the server meanwhile.
template <class F>
int Await(pa_threaded_mainloop* loop, F settled) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeviceCommandTimeoutMs);
  for (;;) {
    int r;
    {
      TLoopLock lock(loop);
      r = settled();
    }
    if (r != kPending) return r;
    if (std::chrono::steady_clock::now() >= deadline) return DEVERR_NOTANSWERING;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void Forget(pa_operation* o) {
  if (o) pa_operation_unref(o);
}

// One connection to the server and the thread that serves it, shared by every device while it
// lasts; a connection the server ended is replaced at the next open.
class TPulseConnection {
 public:
  TPulseConnection() = default;
  TPulseConnection(const TPulseConnection&) = delete;
  TPulseConnection& operator=(const TPulseConnection&) = delete;
  ~TPulseConnection() {
    if (!loop_) return;
    {
      TLoopLock lock(loop_);
      if (flush_) pa_threaded_mainloop_get_api(loop_)->defer_free(flush_);
      if (context_) {
        pa_context_disconnect(context_);
        pa_context_unref(context_);
      }
    }
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
  }

  // 0, or the library's error code.
  int Connect() {
    loop_ = pa_threaded_mainloop_new();
    if (!loop_) return PA_ERR_INTERNAL;
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Quorvane");
    if (!context_) return PA_ERR_INTERNAL;
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return pa_context_errno(context_);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    flush_ = api->defer_new(api, &TPulseConnection::Flush, this);
    if (!flush_) return PA_ERR_INTERNAL;
    api->defer_enable(flush_, 0);
    if (pa_threaded_mainloop_start(loop_) < 0) return PA_ERR_INTERNAL;
    return Await(loop_, [&] {
      switch (pa_context_get_state(context_)) {
        case PA_CONTEXT_READY:
          return 0;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
          return std::max(pa_context_errno(context_), 1);
        default:
          return kPending;
      }
    });
  }
  bool Ready() {
    TLoopLock lock(loop_);
    return pa_context_get_state(context_) == PA_CONTEXT_READY;
  }
  pa_threaded_mainloop* Loop() const { return loop_; }
  pa_context* Context() const { return context_; }

  // Under the loop's lock. A notification from the loop's thread waits until the thread has
  // heard everything the server sent in this wake (a request for output and the input's data
  // come together), so that the GUI thread wakes once for them all, not once for each. One from
  // another thread goes at once, after those still waiting: every device's notifications keep
  // their order.
  void Post(TDeviceNotifier* notifier, unsigned message, PWaveHdr h, uint32_t generation) {
    if (pa_threaded_mainloop_in_thread(loop_)) {
      waiting_.push_back({notifier, message, h, generation});
      pa_threaded_mainloop_get_api(loop_)->defer_enable(flush_, 1);
      return;
    }
    Flush(nullptr, nullptr, this);
    notifier->Post(message, h, generation);
  }

 private:
  struct TNote {
    TDeviceNotifier* notifier;
    unsigned message;
    PWaveHdr header;
    uint32_t generation;
  };
  // Runs after the wake's I/O: the loop runs its deferred events before it waits again.
  static void Flush(pa_mainloop_api*, pa_defer_event*, void* self) {
    auto* c = static_cast<TPulseConnection*>(self);
    c->api()->defer_enable(c->flush_, 0);
    for (const TNote& n : c->waiting_) n.notifier->Post(n.message, n.header, n.generation);
    c->waiting_.clear();
  }
  pa_mainloop_api* api() const { return pa_threaded_mainloop_get_api(loop_); }

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_defer_event* flush_ = nullptr;
  std::vector<TNote> waiting_;
};

std::shared_ptr<TPulseConnection> SharedConnection(int* error) {
  static std::mutex mutex;
  static std::weak_ptr<TPulseConnection> shared;
  std::lock_guard<std::mutex> lock(mutex);
  if (auto c = shared.lock(); c && c->Ready()) return c;
  auto c = std::make_shared<TPulseConnection>();
  *error = c->Connect();
  if (*error != 0) return nullptr;
  shared = c;
  return c;
}

// One stream, both directions. Everything here is touched under the loop's lock only: by the
// GUI thread's calls and by the library's callbacks.
class TPulseDevice {
 protected:
  TPulseDevice(bool output, std::string name, TLatency latency)
      : output_(output), name_(std::move(name)), latency_(latency) {
    SetChunk(LatencyPlan(latency).chunkFrames);
  }
  ~TPulseDevice() { CloseDevice(); }

  void SetChunk(unsigned long frames) {
    if (stream_) return;
    chunk_ = frames;
    clock_.SetChunkFrames(frames);
  }

  int OpenDevice(TDeviceNotifier* notifier, uint32_t generation) {
    if (stream_) return PA_ERR_BADSTATE;
    int error = 0;
    connection_ = SharedConnection(&error);
    if (!connection_) return SetError(error);
    notifier_ = notifier;
    generation_ = generation;
    failed_ = false;
    failure_ = 0;
    frames_ = 0;
    starved_ = false;
    held_.clear();
    heldFrom_ = 0;
    clock_.Forget();
    {
      TLoopLock lock(connection_->Loop());
      pa_context* context = connection_->Context();
      const pa_sample_spec spec{PA_SAMPLE_S16LE, static_cast<uint32_t>(kSampleRate), 2};
      stream_ = pa_stream_new(context, output_ ? "Quorvane output" : "Quorvane input", &spec, nullptr);
      if (!stream_) return Abandon(pa_context_errno(context));
      pa_stream_set_state_callback(stream_, &TPulseDevice::StateChanged, this);
      if (output_) {
        pa_stream_set_write_callback(stream_, &TPulseDevice::Writable, this);
        pa_stream_set_underflow_callback(stream_, &TPulseDevice::Underflow, this);
      } else {
        pa_stream_set_read_callback(stream_, &TPulseDevice::Readable, this);
      }
      pa_buffer_attr attr;
      std::memset(&attr, 0xff, sizeof attr);  // the server's choice for what is not set
      const uint32_t chunkBytes = static_cast<uint32_t>(chunk_) * kBlockAlign;
      const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY |
                                                        (output_ ? 0 : PA_STREAM_START_CORKED));
      int r;
      if (output_) {
        // The server asks for a chunk at a time and keeps two of them in hand; what the buffer
        // holds beyond those, half of it goes to the sink's own buffer. Without that half the
        // sink (and a monitor recording it) would run at its shortest period, waking this
        // thread a thousand times a second. So: the latency's buffer in whole chunks, and one
        // more, for a sink buffer of half a chunk at least.
        const double latency = LatencyPlan(latency_).outputLatency * kSampleRate;
        const auto chunks = std::max<unsigned long>(2, static_cast<unsigned long>(std::ceil(latency / chunk_))) + 1;
        attr.tlength = static_cast<uint32_t>(chunks) * chunkBytes;
        attr.minreq = chunkBytes / 2;
        r = pa_stream_connect_playback(stream_, nullptr, &attr, flags, nullptr, nullptr);
      } else {
        attr.fragsize = chunkBytes;
        r = pa_stream_connect_record(stream_, nullptr, &attr, flags);
      }
      if (r < 0) return Abandon(pa_context_errno(context));
    }
    const int r = Await(connection_->Loop(), [&] {
      switch (pa_stream_get_state(stream_)) {
        case PA_STREAM_READY:
          return 0;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
          return std::max(pa_context_errno(connection_->Context()), 1);
        default:
          return kPending;
      }
    });
    if (r != 0) {
      {
        TLoopLock lock(connection_->Loop());
        Abandon(r);
      }
      connection_.reset();
      return r;
    }
    TLoopLock lock(connection_->Loop());
    recording_ = output_;
    ready_ = true;
    Post(output_ ? MM_WOM_OPEN : MM_WIM_OPEN, nullptr);
    return 0;
  }

  // Takes only the queue's lock, so that a block handed back from the library's thread and
  // queued again at once does not wait for that thread to let go of the loop.
  int QueueBlock(PWaveHdr h) {
    if (!stream_) return PA_ERR_BADSTATE;
    bool move;
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      if (failed_) return failure_;
      h->dwFlags = (h->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
      if (!output_) h->dwBytesRecorded = 0;
      queue_.push_back(h);
      move = starved_;
    }
    // Room the server asked to have filled, or frames it handed over, while no block was there:
    // moved now, on this thread. Otherwise the block waits for the server's next request or
    // data: a write from here would wake the library's thread to send it.
    if (move) {
      TLoopLock lock(connection_->Loop());
      if (output_)
        Write();
      else
        Read();
    }
    return 0;
  }

  int StartInput() {
    if (!stream_) return PA_ERR_BADSTATE;
    TLoopLock lock(connection_->Loop());
    if (failed_) return failure_;
    if (recording_) return 0;
    recording_ = true;
    clock_.Forget();  // the frames after a restart run on a new origin
    Forget(pa_stream_cork(stream_, 0, nullptr, nullptr));
    return 0;
  }

  int StopInput() {
    if (!stream_) return PA_ERR_BADSTATE;
    TLoopLock lock(connection_->Loop());
    Stop();
    PWaveHdr partial = nullptr;
    if (pos_ > 0) {  // a partly filled block comes back as it is
      std::lock_guard<std::mutex> lock(queueMutex_);
      if (!queue_.empty()) {
        partial = queue_.front();
        queue_.pop_front();
      }
    }
    if (partial) Finish(partial, pos_);
    pos_ = 0;
    return 0;
  }

  int ResetDevice() {
    if (!stream_) return PA_ERR_BADSTATE;
    TLoopLock lock(connection_->Loop());
    if (!output_) Stop();
    ReturnAll(!output_);
    return 0;
  }

  int CloseDevice() {
    if (!stream_) return 0;
    {
      TLoopLock lock(connection_->Loop());
      if (!output_) Stop();
      ReturnAll(!output_);
      Disconnect();
      Post(output_ ? MM_WOM_CLOSE : MM_WIM_CLOSE, nullptr);
    }
    connection_.reset();  // the last device's ends the connection: not under its lock
    return 0;
  }

  std::string Text(int code) const {
    if (code == DEVERR_NOTANSWERING) return NotAnsweringText();
    return pa_strerror(code);
  }

  std::string Advice(int code) const {
    if (code == DEVERR_NOTANSWERING) return "The audio server seems stalled; restart it, then try again.";
    return "No sound device answered as \"" + name_ +
           "\": check that the audio server is running and the device is connected, then try again.";
  }

  int Failure() const {
    if (!connection_) return failure_;
    TLoopLock lock(connection_->Loop());
    return failure_;
  }

  const bool output_;
  const std::string name_;
  const TLatency latency_;

 private:
  int SetError(int code) {
    failure_ = code;
    return code;
  }

  // Under the lock: the stream goes, its callbacks first, and the code is returned.
  int Abandon(int code) {
    Disconnect();
    return SetError(code);
  }

  void Disconnect() {
    if (!stream_) return;
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
    if (pa_stream_get_state(stream_) == PA_STREAM_READY || pa_stream_get_state(stream_) == PA_STREAM_CREATING)
      pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
    recording_ = false;
    ready_ = false;
  }

  void Post(unsigned message, PWaveHdr h) { connection_->Post(notifier_, message, h, generation_); }

  void Failed(int code) {
    if (failed_) return;  // once: the blocks come back with the close
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      failed_ = true;
      SetError(std::max(code, 1));
    }
    Post(output_ ? MM_WOM_ERROR : MM_WIM_ERROR, nullptr);
  }

  void Finish(PWaveHdr h, uint32_t frames) {
    if (!output_) h->dwBytesRecorded = frames * kBlockAlign;
    h->deviceClock = clock_.ClockOf(output_ ? blockFirstFrame_ : h->deviceFrame);
    h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    Post(output_ ? MM_WOM_DONE : MM_WIM_DATA, h);
  }

  void ReturnAll(bool keepPartial) {
    std::deque<PWaveHdr> queued;
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      queued.swap(queue_);
      starved_ = false;
    }
    bool first = true;
    for (PWaveHdr h : queued) {
      if (first && pos_ > 0)
        Finish(h, keepPartial ? pos_ : 0);
      else {
        if (!output_) h->dwBytesRecorded = 0;
        h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
        Post(output_ ? MM_WOM_DONE : MM_WIM_DATA, h);
      }
      first = false;
    }
    pos_ = 0;
  }

  void Stop() {
    if (!recording_ || !stream_) return;
    recording_ = false;
    held_.clear();
    heldFrom_ = 0;
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      starved_ = false;
    }
    Forget(pa_stream_cork(stream_, 1, nullptr, nullptr));
    Forget(pa_stream_flush(stream_, nullptr, nullptr));
  }

  // Output: what the server holds leaves before the next frame written; a stream that has not
  // played anything yet tells nothing. Input: the next frame to be taken arrived by now, after
  // what still waits. Neither counts the server's own latency, which a loopback on the server
  // cancels and a card's correlation finds.
  void Reading(size_t room) {
    const int64_t now = ClockFrames();
    if (output_) {
      const pa_buffer_attr* attr = pa_stream_get_buffer_attr(stream_);
      if (!attr || room > attr->tlength) return;
      const auto held = static_cast<int64_t>((attr->tlength - room) / kBlockAlign);
      if (frames_ > held) clock_.Reading(now + held - frames_);
    } else {
      clock_.Reading(now - frames_ - static_cast<int64_t>(room / kBlockAlign));
    }
  }

  // The queued block at the front, or null; `starved_` then says that the server waits for one.
  PWaveHdr Front() {
    std::lock_guard<std::mutex> lock(queueMutex_);
    starved_ = queue_.empty();
    return starved_ ? nullptr : queue_.front();
  }
  void PopFront() {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queue_.pop_front();
  }

  void Write() {
    if (!stream_ || failed_ || pa_stream_get_state(stream_) != PA_STREAM_READY) return;
    size_t room = pa_stream_writable_size(stream_);
    if (room == static_cast<size_t>(-1)) return;
    bool read = false;
    while (room >= kBlockAlign) {
      PWaveHdr h = Front();
      if (!h) return;
      if (!read) Reading(room);
      read = true;
      const uint32_t total = h->dwBufferLength / kBlockAlign;
      const auto n = static_cast<uint32_t>(std::min<size_t>(total - pos_, room / kBlockAlign));
      if (pos_ == 0) blockFirstFrame_ = frames_;
      if (pa_stream_write(stream_, h->lpData + static_cast<size_t>(pos_) * kBlockAlign, size_t{n} * kBlockAlign, nullptr,
                          0, PA_SEEK_RELATIVE) < 0) {
        Failed(pa_context_errno(connection_->Context()));
        return;
      }
      frames_ += n;
      pos_ += n;
      room -= size_t{n} * kBlockAlign;
      if (pos_ >= total) {
        PopFront();
        pos_ = 0;
        Finish(h, total);
      }
    }
  }

  void Read() {
    if (!stream_ || failed_) return;
    for (;;) {
      Place();
      if (heldFrom_ + kBlockAlign <= held_.size()) return;  // no block for them: the server keeps the rest
      const size_t readable = pa_stream_readable_size(stream_);
      if (readable == 0 || readable == static_cast<size_t>(-1)) return;
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(stream_, &data, &bytes) < 0) {
        Failed(pa_context_errno(connection_->Context()));
        return;
      }
      if (bytes == 0) return;
      if (recording_ && data) {
        held_.assign(static_cast<const char*>(data), static_cast<const char*>(data) + bytes);
        heldFrom_ = 0;
        frames_ += static_cast<int64_t>(bytes / kBlockAlign);
      } else if (recording_) {  // a hole: frames the server lost
        ++overruns_;
        clock_.Forget();
      }
      pa_stream_drop(stream_);
      if (recording_) {
        const size_t waiting = pa_stream_readable_size(stream_);
        Reading(waiting == static_cast<size_t>(-1) ? 0 : waiting);
      }
    }
  }

  // Frames taken from the server into the queued blocks, as far as they go.
  void Place() {
    while (heldFrom_ + kBlockAlign <= held_.size()) {
      PWaveHdr h = Front();
      if (!h) return;
      const uint32_t total = h->dwBufferLength / kBlockAlign;
      const auto heldFrames = static_cast<uint32_t>((held_.size() - heldFrom_) / kBlockAlign);
      const uint32_t m = std::min(heldFrames, total - pos_);
      if (pos_ == 0) h->deviceFrame = frames_ - heldFrames;
      h->deviceOverruns = overruns_;
      std::memcpy(h->lpData + static_cast<size_t>(pos_) * kBlockAlign, held_.data() + heldFrom_, size_t{m} * kBlockAlign);
      pos_ += m;
      heldFrom_ += size_t{m} * kBlockAlign;
      if (pos_ >= total) {
        PopFront();
        pos_ = 0;
        Finish(h, total);
      }
    }
    if (heldFrom_ + kBlockAlign > held_.size()) {
      held_.clear();
      heldFrom_ = 0;
    }
  }

  static void StateChanged(pa_stream* s, void* self) {
    auto* d = static_cast<TPulseDevice*>(self);
    if (pa_stream_get_state(s) == PA_STREAM_FAILED && d->ready_)
      d->Failed(pa_context_errno(pa_stream_get_context(s)));
  }
  static void Writable(pa_stream*, size_t, void* self) { static_cast<TPulseDevice*>(self)->Write(); }
  static void Readable(pa_stream*, size_t, void* self) { static_cast<TPulseDevice*>(self)->Read(); }
  static void Underflow(pa_stream*, void* self) {
    static_cast<TPulseDevice*>(self)->clock_.Forget();  // the frames after a gap leave later
  }

  std::shared_ptr<TPulseConnection> connection_;
  pa_stream* stream_ = nullptr;
  TDeviceNotifier* notifier_ = nullptr;
  uint32_t generation_ = 0;
  unsigned long chunk_ = 0;
  // The queued blocks, and whether the server waits for one, under queueMutex_ (taken under
  // the loop's lock, never the other way round); failed_ and failure_ are changed under both.
  std::mutex queueMutex_;
  std::deque<PWaveHdr> queue_;
  bool starved_ = false;
  uint32_t pos_ = 0;           // frames done in the front block
  bool recording_ = false;     // input started; output open
  bool ready_ = false;         // opened: a failure from now on is reported
  bool failed_ = false;        // an error report was posted: no more audio moves
  int failure_ = 0;
  int64_t frames_ = 0;         // written to (output) or taken from (input) the server since the open
  int64_t blockFirstFrame_ = 0;
  std::vector<char> held_;     // input taken from the server, from heldFrom_ on not yet in a block
  size_t heldFrom_ = 0;
  uint32_t overruns_ = 0;
  TClockOrigin clock_;
};

template <class TBase, bool output>
class TPulseStreamDevice : public TBase, protected TPulseDevice {
 public:
  TPulseStreamDevice(std::string name, TLatency latency) : TPulseDevice(output, std::move(name), latency) {}
  int Open(TDeviceNotifier* notifier, uint32_t generation) override { return OpenDevice(notifier, generation); }
  void SetBlockFrames(int frames) override { SetChunk(DeviceChunkFrames(latency_, frames)); }
  int Queue(PWaveHdr h) override { return QueueBlock(h); }
  int Reset() override { return ResetDevice(); }
  int Close() override { return CloseDevice(); }
  std::string ErrorText(int code) const override { return Text(code); }
  std::string OpenAdvice(int code) const override { return Advice(code); }
  int LastError() const override { return Failure(); }
  std::string Name() const override { return name_; }
};

class TPulseInput : public TPulseStreamDevice<TInputDevice, false> {
 public:
  using TPulseStreamDevice::TPulseStreamDevice;
  int Start() override { return StartInput(); }
  int Stop() override { return StopInput(); }
};

}  // namespace

bool AlsaPcmLeadsToPulse(const std::string& pcm) {
  const char* how = std::getenv("QUORVANE_PULSE");
  if (how && *how && std::strcmp(how, "direct") != 0) {
    if (std::strcmp(how, "alsa") == 0) return false;
    static std::once_flag told;
    std::call_once(told, [how] { std::fprintf(stderr, "QUORVANE_PULSE=%s is not known (alsa, direct): ignored\n", how); });
  }
  // ALSA's configuration is global and not safe to read from two threads at once.
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  if (snd_config_update() < 0 || !snd_config) return false;
  snd_config_t* definition = nullptr;
  if (snd_config_search_definition(snd_config, "pcm", pcm.c_str(), &definition) < 0) return false;
  snd_config_t* type = nullptr;
  const char* name = nullptr;
  const bool pulse = snd_config_search(definition, "type", &type) >= 0 && snd_config_get_string(type, &name) >= 0 &&
                     name && std::strcmp(name, "pulse") == 0;
  snd_config_delete(definition);
  return pulse;
}

std::unique_ptr<TOutputDevice> CreatePulseOutput(const std::string& name, TLatency latency) {
  return std::make_unique<TPulseStreamDevice<TOutputDevice, true>>(name, latency);
}

std::unique_ptr<TInputDevice> CreatePulseInput(const std::string& name, TLatency latency) {
  return std::make_unique<TPulseInput>(name, latency);
}
