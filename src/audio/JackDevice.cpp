#include "JackDevice.h"

#include <jack/jack.h>
#include <portaudio.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#include "DeviceClock.h"
#include "PortAudioBackend.h"

namespace {

// JACK's library finds its server by JACK_DEFAULT_SERVER, read at every client's open. Giving
// the variable a value before main means that keeping PortAudio off the server later only
// replaces a value, never grows the environment under another thread's getenv. Unset and
// "default" name the same server.
const bool kServerNamed = [] {
  setenv("JACK_DEFAULT_SERVER", "default", 0);
  return true;
}();

// Held around every client's open, so none opens while PortAudio is kept off the server.
std::mutex& ServerNameMutex() {
  static std::mutex mutex;
  return mutex;
}

void SilentJackMessage(const char*) {}

jack_client_t* OpenClient(jack_status_t* status) {
  (void)kServerNamed;
  std::lock_guard<std::mutex> lock(ServerNameMutex());
  // JACK tells stderr at length that no server runs; that is not news to the user.
  jack_set_error_function(SilentJackMessage);
  jack_set_info_function(SilentJackMessage);
  return jack_client_open("Quorvane", JackNoStartServer, status);
}

struct TNote {
  TDeviceNotifier* notifier;
  unsigned message;
  PWaveHdr header;
  uint32_t generation;
};

class TJackDevice;

// Our client on the server and the devices it serves, shared by them while any is open.
class TJackConnection {
 public:
  TJackConnection() { devices_.reserve(8); }
  TJackConnection(const TJackConnection&) = delete;
  TJackConnection& operator=(const TJackConnection&) = delete;
  ~TJackConnection() {
    if (client_) jack_client_close(client_);  // stops the process thread first
  }

  // 0, or PortAudio's code for the failure.
  int Connect() {
    jack_status_t status{};
    client_ = OpenClient(&status);
    if (!client_) return paDeviceUnavailable;
    jack_set_process_callback(client_, &TJackConnection::Process, this);
    jack_on_info_shutdown(client_, &TJackConnection::Shutdown, this);
    if (jack_activate(client_) != 0) return paDeviceUnavailable;
    return 0;
  }
  jack_client_t* Client() const { return client_; }
  bool Gone() const { return gone_; }
  // Held by the process callback for a whole period; by device calls for a moment.
  std::mutex& Lock() { return mutex_; }
  // Under Lock().
  void Add(TJackDevice* d) { devices_.push_back(d); }
  void Remove(TJackDevice* d) { devices_.erase(std::remove(devices_.begin(), devices_.end(), d), devices_.end()); }

 private:
  static int Process(jack_nframes_t frames, void* self);
  static void Shutdown(jack_status_t, const char*, void* self);

  jack_client_t* client_ = nullptr;
  std::atomic<bool> gone_{false};
  std::mutex mutex_;
  std::vector<TJackDevice*> devices_;
  // The process thread's own: the server's frame count unwrapped, and its offset to the clock.
  jack_nframes_t lastFrameTime_ = 0, periodFrames_ = 0;
  int64_t frames_ = 0;
  TClockOrigin origin_;
};

std::shared_ptr<TJackConnection> SharedConnection(int* error, bool open) {
  static std::mutex mutex;
  static std::weak_ptr<TJackConnection> shared;
  std::lock_guard<std::mutex> lock(mutex);
  if (auto c = shared.lock(); c && !c->Gone()) return c;
  if (!open) return nullptr;
  auto c = std::make_shared<TJackConnection>();
  *error = c->Connect();
  if (*error != 0) return nullptr;
  shared = c;
  return c;
}

// The ports of a client (its name, then ':') that take audio in (`in`) or give it out.
std::vector<std::string> PortsOf(jack_client_t* client, const std::string& device, bool in) {
  std::vector<std::string> ports;
  const char** all = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, in ? JackPortIsInput : JackPortIsOutput);
  const std::string prefix = device + ":";
  for (const char** p = all; p && *p; ++p)
    if (std::strncmp(*p, prefix.c_str(), prefix.size()) == 0) ports.emplace_back(*p);
  if (all) jack_free(all);
  return ports;
}

std::vector<TSoundDevice> ListOn(jack_client_t* client) {
  std::vector<TSoundDevice> list;
  const std::string ours = jack_get_client_name(client);
  const char** all = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, 0);
  for (const char** p = all; p && *p; ++p) {
    const std::string port = *p;
    const std::string name = port.substr(0, port.find(':'));
    if (name == ours) continue;
    auto d = std::find_if(list.begin(), list.end(), [&](const TSoundDevice& s) { return s.name == name; });
    if (d == list.end()) d = list.insert(list.end(), TSoundDevice{kJackHostApi, name});
    const int flags = jack_port_flags(jack_port_by_name(client, *p));
    // The client's inputs are what a device plays into.
    if (flags & JackPortIsInput) ++d->maxOutputChannels;
    if (flags & JackPortIsOutput) ++d->maxInputChannels;
  }
  if (all) jack_free(all);
  return list;
}

std::mutex listMutex;
std::vector<TSoundDevice> listed;
bool listRead = false;

// One stream, either direction. The queue and the state the process callback reads are under
// the connection's lock.
class TJackDevice {
 public:
  TJackDevice(bool output, std::string client) : output_(output), client_(std::move(client)) {}
  ~TJackDevice() { CloseDevice(); }

  // Process thread, under the connection's lock.
  void Period(jack_nframes_t frames, int64_t cycleClock) {
    if (output_)
      Play(frames, cycleClock);
    else
      Capture(frames, cycleClock);
  }
  bool Output() const { return output_; }
  // Shutdown thread, under the connection's lock.
  void Failed(int code) {
    if (failed_) return;
    failed_ = true;
    failure_ = code;
    Post(output_ ? MM_WOM_ERROR : MM_WIM_ERROR, nullptr);
  }

 protected:
  int OpenDevice(TDeviceNotifier* notifier, uint32_t generation) {
    if (connection_) return paDeviceUnavailable;
    int error = 0;
    auto connection = SharedConnection(&error, true);
    if (!connection) return SetError(error);
    jack_client_t* client = connection->Client();
    const std::vector<std::string> targets = PortsOf(client, client_, output_);
    if (targets.size() < 2) return SetError(paInvalidChannelCount);
    if (jack_get_sample_rate(client) != static_cast<jack_nframes_t>(kSampleRate)) return SetError(paInvalidSampleRate);
    // A second stream of the same direction (a measurement beside the generator) gets names of
    // its own.
    for (int c = 0; c < 2; ++c) {
      for (int k = 1; !ports_[c] && k <= 8; ++k) {
        std::string name = std::string(output_ ? "out_" : "in_") + std::to_string(c + 1);
        if (k > 1) name += "-" + std::to_string(k);
        ports_[c] = jack_port_register(client, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                       output_ ? JackPortIsOutput : JackPortIsInput, 0);
      }
      if (!ports_[c]) return Unregister(client, HostError("JACK gave no port to " + client_));
    }
    for (int c = 0; c < 2; ++c) {
      const char* ours = jack_port_name(ports_[c]);
      const int r = output_ ? jack_connect(client, ours, targets[c].c_str()) : jack_connect(client, targets[c].c_str(), ours);
      if (r != 0 && r != EEXIST) return Unregister(client, HostError("JACK did not connect " + targets[c]));
    }
    notifier_ = notifier;
    generation_ = generation;
    failed_ = false;
    failure_ = 0;
    frames_ = 0;
    pos_ = 0;
    overruns_ = 0;
    connection_ = std::move(connection);
    std::lock_guard<std::mutex> lock(connection_->Lock());
    recording_ = output_;
    connection_->Add(this);
    Post(output_ ? MM_WOM_OPEN : MM_WIM_OPEN, nullptr);
    return 0;
  }

  int QueueBlock(PWaveHdr h) {
    if (!connection_) return paBadStreamPtr;
    std::lock_guard<std::mutex> lock(connection_->Lock());
    if (failed_) return failure_;
    h->dwFlags = (h->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    if (!output_) h->dwBytesRecorded = 0;
    queue_.push_back(h);
    return 0;
  }

  int StartInput() {
    if (!connection_) return paBadStreamPtr;
    std::lock_guard<std::mutex> lock(connection_->Lock());
    if (failed_) return failure_;
    recording_ = true;
    return 0;
  }

  int StopInput() {
    if (!connection_) return paBadStreamPtr;
    std::lock_guard<std::mutex> lock(connection_->Lock());
    recording_ = false;
    if (pos_ > 0 && !queue_.empty()) {  // a partly filled block comes back as it is
      PWaveHdr h = queue_.front();
      queue_.pop_front();
      Finish(h, pos_);
    }
    pos_ = 0;
    return 0;
  }

  int ResetDevice() {
    if (!connection_) return paBadStreamPtr;
    std::lock_guard<std::mutex> lock(connection_->Lock());
    if (!output_) recording_ = false;
    ReturnAll();
    return 0;
  }

  int CloseDevice() {
    if (!connection_) return 0;
    {
      std::lock_guard<std::mutex> lock(connection_->Lock());
      connection_->Remove(this);
      recording_ = false;
      ReturnAll();
      Post(output_ ? MM_WOM_CLOSE : MM_WIM_CLOSE, nullptr);
    }
    Unregister(connection_->Client(), 0);
    connection_.reset();  // the last device's closes the client, and with it the process thread
    return 0;
  }

  std::string Text(int code) const {
    if (code == DEVERR_NOTANSWERING) return NotAnsweringText();
    if (code == paUnanticipatedHostError && !hostError_.empty()) return Pa_GetErrorText(code) + (": " + hostError_);
    return Pa_GetErrorText(code);
  }
  std::string Advice(int code) const { return PortAudioOpenAdvice(code, Name()); }
  int Failure() const {
    if (!connection_) return failure_;
    std::lock_guard<std::mutex> lock(connection_->Lock());
    return failure_;
  }
  std::string Name() const { return DeviceKey(kJackHostApi, client_); }

 private:
  int SetError(int code) {
    failure_ = code;
    return code;
  }
  int HostError(const std::string& text) {
    hostError_ = text;
    return SetError(paUnanticipatedHostError);
  }
  // Our ports go (not on a server that has ended: it keeps nothing of ours); returns `code`.
  int Unregister(jack_client_t* client, int code) {
    const bool gone = connection_ ? connection_->Gone() : false;
    for (jack_port_t*& p : ports_) {
      if (p && !gone) jack_port_unregister(client, p);
      p = nullptr;
    }
    return code;
  }

  void Post(unsigned message, PWaveHdr h) { notifier_->Post(message, h, generation_); }

  void Finish(PWaveHdr h, uint32_t frames) {
    if (!output_) h->dwBytesRecorded = frames * kBlockAlign;
    h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    Post(output_ ? MM_WOM_DONE : MM_WIM_DATA, h);
  }

  void ReturnAll() {
    bool first = true;
    for (PWaveHdr h : queue_) {
      if (first && pos_ > 0 && !output_)
        Finish(h, pos_);
      else
        Finish(h, 0);
      first = false;
    }
    queue_.clear();
    pos_ = 0;
  }

  // What a period plays leaves our ports at the period's start (its clock): whatever lies beyond
  // (the card's own latency) a loopback cancels and a card's correlation finds.
  void Play(jack_nframes_t frames, int64_t cycleClock) {
    float* out[2] = {static_cast<float*>(jack_port_get_buffer(ports_[0], frames)),
                     static_cast<float*>(jack_port_get_buffer(ports_[1], frames))};
    jack_nframes_t i = 0;
    while (!failed_ && i < frames && !queue_.empty()) {
      PWaveHdr h = queue_.front();
      const uint32_t total = h->dwBufferLength / kBlockAlign;
      if (pos_ == 0) h->deviceClock = cycleClock + i;
      const auto m = std::min<uint32_t>(frames - i, total - pos_);
      JackToFloats(reinterpret_cast<const int16_t*>(h->lpData) + 2 * static_cast<size_t>(pos_), out[0] + i, out[1] + i, m);
      i += m;
      pos_ += m;
      if (pos_ >= total) {
        queue_.pop_front();
        pos_ = 0;
        Finish(h, total);
      }
    }
    for (float* o : out) std::fill(o + i, o + frames, 0.0f);  // nothing to play: silence
  }

  // A period's frames arrived during the period before this one's start; so a frame played by
  // this client comes back a period later with the clock it was played at.
  void Capture(jack_nframes_t frames, int64_t cycleClock) {
    if (!recording_ || failed_) return;
    const float* in[2] = {static_cast<const float*>(jack_port_get_buffer(ports_[0], frames)),
                          static_cast<const float*>(jack_port_get_buffer(ports_[1], frames))};
    jack_nframes_t i = 0;
    while (i < frames) {
      if (queue_.empty()) {  // no block for them: lost
        ++overruns_;
        break;
      }
      PWaveHdr h = queue_.front();
      const uint32_t total = h->dwBufferLength / kBlockAlign;
      if (pos_ == 0) {
        h->deviceFrame = frames_ + i;
        h->deviceClock = cycleClock - frames + i;
        h->deviceOverruns = overruns_;
      }
      const auto m = std::min<uint32_t>(frames - i, total - pos_);
      JackToSamples(in[0] + i, in[1] + i, reinterpret_cast<int16_t*>(h->lpData) + 2 * static_cast<size_t>(pos_), m);
      i += m;
      pos_ += m;
      if (pos_ >= total) {
        queue_.pop_front();
        pos_ = 0;
        Finish(h, total);
      }
    }
    frames_ += frames;
  }

  const bool output_;
  const std::string client_;
  std::shared_ptr<TJackConnection> connection_;
  jack_port_t* ports_[2] = {nullptr, nullptr};
  TDeviceNotifier* notifier_ = nullptr;
  uint32_t generation_ = 0;
  std::deque<PWaveHdr> queue_;
  uint32_t pos_ = 0;         // frames done in the front block
  bool recording_ = false;   // input started; output open
  bool failed_ = false;      // an error report was posted: no more audio moves
  int failure_ = 0;
  std::string hostError_;
  int64_t frames_ = 0;       // captured since the open, kept or lost
  uint32_t overruns_ = 0;
};

int TJackConnection::Process(jack_nframes_t frames, void* self) {
  auto* c = static_cast<TJackConnection*>(self);
  // The period's start on the steady clock, counted in the server's frames so that every
  // period follows the last exactly. The clock's own reading here comes late by the server's
  // wake-up, and by a late period that the server then catches up on: the earliest recent
  // reading is the truest (TClockOrigin), and a server whose frames run off the clock is
  // followed within seconds.
  const jack_nframes_t frameTime = jack_last_frame_time(c->client_);
  if (c->periodFrames_ != frames) {
    c->periodFrames_ = frames;
    c->origin_.SetChunkFrames(frames);
  }
  c->frames_ += static_cast<jack_nframes_t>(frameTime - c->lastFrameTime_);
  c->lastFrameTime_ = frameTime;
  c->origin_.Reading(ClockFrames() - jack_frames_since_cycle_start(c->client_) - c->frames_);
  const int64_t cycleClock = c->origin_.ClockOf(c->frames_);
  std::lock_guard<std::mutex> lock(c->mutex_);
  // Inputs first: a port of ours that records one of our outputs then reads what that output
  // played in the period before, not what it is about to play.
  for (TJackDevice* d : c->devices_)
    if (!d->Output()) d->Period(frames, cycleClock);
  for (TJackDevice* d : c->devices_)
    if (d->Output()) d->Period(frames, cycleClock);
  return 0;
}

void TJackConnection::Shutdown(jack_status_t, const char*, void* self) {
  auto* c = static_cast<TJackConnection*>(self);
  c->gone_ = true;
  std::lock_guard<std::mutex> lock(c->mutex_);
  for (TJackDevice* d : c->devices_) d->Failed(paDeviceUnavailable);
}

template <class TBase, bool output>
class TJackStreamDevice : public TBase, protected TJackDevice {
 public:
  explicit TJackStreamDevice(std::string client) : TJackDevice(output, std::move(client)) {}
  int Open(TDeviceNotifier* notifier, uint32_t generation) override { return OpenDevice(notifier, generation); }
  int Queue(PWaveHdr h) override { return QueueBlock(h); }
  int Reset() override { return ResetDevice(); }
  int Close() override { return CloseDevice(); }
  std::string ErrorText(int code) const override { return Text(code); }
  std::string OpenAdvice(int code) const override { return Advice(code); }
  int LastError() const override { return Failure(); }
  std::string Name() const override { return TJackDevice::Name(); }
};

class TJackInput : public TJackStreamDevice<TInputDevice, false> {
 public:
  using TJackStreamDevice::TJackStreamDevice;
  int Start() override { return StartInput(); }
  int Stop() override { return StopInput(); }
};

}  // namespace

// Four frames a step: the process thread runs every period, and a scalar lrint per sample was most
// of its own time. Converting in SSE2 rounds to nearest, ties to even (the default mode), as lrint.
void JackToSamples(const float* left, const float* right, int16_t* to, uint32_t frames) {
  uint32_t k = 0;
#if defined(__SSE2__)
  const __m128 scale = _mm_set1_ps(32768.0f), least = _mm_set1_ps(-32768.0f), most = _mm_set1_ps(32767.0f);
  for (; k + 4 <= frames; k += 4) {
    const __m128 l = _mm_max_ps(_mm_min_ps(_mm_mul_ps(_mm_loadu_ps(left + k), scale), most), least);
    const __m128 r = _mm_max_ps(_mm_min_ps(_mm_mul_ps(_mm_loadu_ps(right + k), scale), most), least);
    const __m128i li = _mm_cvtps_epi32(l), ri = _mm_cvtps_epi32(r);
    const __m128i packed = _mm_packs_epi32(_mm_unpacklo_epi32(li, ri), _mm_unpackhi_epi32(li, ri));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 2 * static_cast<size_t>(k)), packed);
  }
#endif
  for (; k < frames; ++k) {
    to[2 * k] = static_cast<int16_t>(std::clamp(std::lrint(left[k] * 32768.0f), -32768L, 32767L));
    to[2 * k + 1] = static_cast<int16_t>(std::clamp(std::lrint(right[k] * 32768.0f), -32768L, 32767L));
  }
}

void JackToFloats(const int16_t* from, float* left, float* right, uint32_t frames) {
  uint32_t k = 0;
#if defined(__SSE2__)
  const __m128 scale = _mm_set1_ps(1.0f / 32768.0f);
  for (; k + 4 <= frames; k += 4) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 2 * static_cast<size_t>(k)));
    const __m128 a = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16));  // l0 r0 l1 r1
    const __m128 b = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16));  // l2 r2 l3 r3
    _mm_storeu_ps(left + k, _mm_mul_ps(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)), scale));
    _mm_storeu_ps(right + k, _mm_mul_ps(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)), scale));
  }
#endif
  for (; k < frames; ++k) {
    left[k] = static_cast<float>(from[2 * k]) / 32768.0f;
    right[k] = static_cast<float>(from[2 * k + 1]) / 32768.0f;
  }
}

bool JackDirect() {
  const char* how = std::getenv("QUORVANE_JACK");
  if (!how || !*how || std::strcmp(how, "direct") == 0) return true;
  if (std::strcmp(how, "portaudio") == 0) return false;
  static std::once_flag told;
  std::call_once(told, [how] { std::fprintf(stderr, "QUORVANE_JACK=%s is not known (portaudio, direct): ignored\n", how); });
  return true;
}

void WithoutJackServer(const std::function<void()>& start) {
  if (!JackDirect()) {
    start();
    return;
  }
  std::lock_guard<std::mutex> lock(ServerNameMutex());
  const char* now = std::getenv("JACK_DEFAULT_SERVER");
  const std::string saved = now ? now : "default";
  setenv("JACK_DEFAULT_SERVER", "quorvane-keeps-portaudio-off", 1);
  start();
  setenv("JACK_DEFAULT_SERVER", saved.c_str(), 1);
}

void ReadJackDevices() {
  std::vector<TSoundDevice> list;
  if (JackDirect()) {
    int error = 0;
    if (auto c = SharedConnection(&error, false)) {
      list = ListOn(c->Client());
    } else {
      jack_status_t status{};
      if (jack_client_t* probe = OpenClient(&status)) {
        list = ListOn(probe);
        jack_client_close(probe);
      }
    }
  }
  std::lock_guard<std::mutex> lock(listMutex);
  listed = std::move(list);
  listRead = true;
}

std::vector<TSoundDevice> JackDevices() {
  {
    std::lock_guard<std::mutex> lock(listMutex);
    if (listRead) return listed;
  }
  ReadJackDevices();
  std::lock_guard<std::mutex> lock(listMutex);
  return listed;
}

std::unique_ptr<TOutputDevice> CreateJackOutput(const std::string& client) {
  return std::make_unique<TJackStreamDevice<TOutputDevice, true>>(client);
}

std::unique_ptr<TInputDevice> CreateJackInput(const std::string& client) {
  return std::make_unique<TJackInput>(client);
}
