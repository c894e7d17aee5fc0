#include "SoundDevices.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <future>
#include <limits>

#include "AudioDevice.h"
#include "JackDevice.h"
#include "PortAudioBackend.h"
#include "SimulatedCard.h"
#include "WaveCommon.h"

namespace {

// What a choice came to.
struct TChosen {
  std::shared_ptr<TAudioBackend> backend;
  std::shared_ptr<TPaLibrary> lib;  // PortAudio's start, when the backend uses it
  TDeviceChoice inForce;
  std::string outputName, inputName;
  bool standsIn = false;  // the simulated card stands in for missing devices
  std::string note;       // why it stands in
  std::string fallback;   // the sentence about kept devices that are gone
};

// GUI thread only; a choice under way runs on its own thread with copies of what it needs.
struct TState {
  TChosen chosen;
  bool have = false;
  std::future<TChosen> pending;
  TDeviceChoice requested;           // as UseDeviceChoice was last given it
  std::shared_ptr<TPaLibrary> lib;  // keeps PortAudio's start for the list and the next choice
};

TState& State() {
  static TState state;
  return state;
}

// A malformed QUORVANE_SIM_* value leaves its default and is named on stderr; the program
// still starts.
std::shared_ptr<TAudioBackend> SimulatedBackend() {
  auto backend = std::make_shared<TSimulatedBackend>();
  for (const std::string& line : ConfigureCardFromEnvironment(backend->Card()))
    std::fprintf(stderr, "%s\n", line.c_str());
  return backend;
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The choice with the environment's overrides, and the simulated card on both sides or neither.
TDeviceChoice Effective(TDeviceChoice choice) {
  const std::string audio = Environment("QUORVANE_AUDIO");
  if (audio == "simulated")
    choice.output = choice.input = kSimulatedCardKey;
  else if (audio == "portaudio")
    choice.output = choice.input = "";
  else if (!audio.empty())
    std::fprintf(stderr, "QUORVANE_AUDIO=%s is neither portaudio nor simulated; ignored.\n", audio.c_str());
  if (choice.output == kSimulatedCardKey || choice.input == kSimulatedCardKey)
    choice.output = choice.input = kSimulatedCardKey;
  const std::string latency = Environment("QUORVANE_LATENCY");
  if (!latency.empty() && !ParseLatency(latency, &choice.latency))
    std::fprintf(stderr, "QUORVANE_LATENCY=%s is none of low, normal, safe; ignored.\n", latency.c_str());
  return choice;
}

bool NamesDevice(const TDeviceChoice& c) {
  return c.output != kSimulatedCardKey && (!c.output.empty() || !c.input.empty());
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// The one sentence about kept devices that are not there any more (empty when none is missing).
std::string FallbackText(const std::string& output, const std::string& input, const std::string& standsInWhy) {
  if (output.empty() && input.empty()) return {};
  std::string text;
  if (!output.empty() && !input.empty())
    text = "The sound output " + Quoted(output) + " and the sound input " + Quoted(input) + " are not connected; ";
  else if (!output.empty())
    text = "The sound output " + Quoted(output) + " is not connected; ";
  else
    text = "The sound input " + Quoted(input) + " is not connected; ";
  if (!standsInWhy.empty()) return text + "the simulated sound card stands in (" + standsInWhy + ").";
  if (!output.empty() && !input.empty()) return text + "the default devices are used.";
  return text + (output.empty() ? "the default input is used." : "the default output is used.");
}

// Any thread: the backend a choice (with its overrides applied) comes to.
TChosen Choose(const TDeviceChoice& choice, bool forcedPortAudio) {
  TChosen c;
  c.inForce = choice;
  auto simulated = [&c] {
    c.backend = SimulatedBackend();
    c.inForce.output = c.inForce.input = kSimulatedCardKey;
    c.outputName = c.inputName = kSimulatedCardKey;
  };
  if (choice.output == kSimulatedCardKey) {
    simulated();
    return c;
  }
  std::string why, goneOutput, goneInput;
  auto lib = SharedPortAudio(&why);
  if (lib) {
    // A kept device that is gone: the default one, and say so. A JACK device is ours, not
    // PortAudio's: its client's name goes in *jack and the index is kJackIndex.
    constexpr int kJackIndex = std::numeric_limits<int>::max();
    std::string jackOut, jackIn;
    auto resolve = [&](const std::string& key, bool output, std::string* gone, std::string* inForce, std::string* jack) {
      std::string api, name;
      if (JackDirect() && ParseDeviceKey(key, &api, &name) && api == kJackHostApi) {
        for (const TSoundDevice& d : JackDevices())
          if (d.name == name && (output ? d.maxOutputChannels : d.maxInputChannels) > 0) {
            *jack = name;
            return kJackIndex;
          }
      }
      const int index = key.empty() ? -1 : FindPortAudioDevice(*lib, key, output);
      if (index >= 0) return index;
      if (!key.empty()) *gone = key;
      inForce->clear();
      return DefaultPortAudioDevice(*lib, output);
    };
    const int out = resolve(choice.output, true, &goneOutput, &c.inForce.output, &jackOut);
    const int in = resolve(choice.input, false, &goneInput, &c.inForce.input, &jackIn);
    c.lib = lib;  // kept also when the simulated card stands in: the list needs it
    if (out >= 0 && in >= 0) {
      c.backend = CreatePortAudioBackendWith(lib, jackOut.empty() ? out : -1, jackIn.empty() ? in : -1,
                                             choice.latency, jackOut, jackIn);
      c.outputName = jackOut.empty() ? PortAudioDeviceKey(*lib, out) : DeviceKey(kJackHostApi, jackOut);
      c.inputName = jackIn.empty() ? PortAudioDeviceKey(*lib, in) : DeviceKey(kJackHostApi, jackIn);
      c.fallback = FallbackText(goneOutput, goneInput, "");
      return c;
    }
    why = out < 0 ? "no default output device" : "no default input device";
  }
  // Asked for real devices explicitly: still keep running, but say so plainly.
  c.note = forcedPortAudio ? "PortAudio not usable (" + why + ")" : why;
  c.standsIn = true;
  c.fallback = FallbackText(goneOutput, goneInput, c.note);
  simulated();
  return c;
}

bool ForcedPortAudio() { return Environment("QUORVANE_AUDIO") == "portaudio"; }

void Adopt(TChosen chosen) {
  TState& s = State();
  if (chosen.lib) s.lib = chosen.lib;
  chosen.lib.reset();  // the backend holds its own
  s.chosen = std::move(chosen);
  s.have = true;
}

// A choice under way is finished and becomes the one in force.
void Finish() {
  TState& s = State();
  if (s.pending.valid()) Adopt(s.pending.get());
}

void BeginChoice() {
  TState& s = State();
  s.have = false;
  s.pending = std::async(std::launch::async, Choose, Effective(s.requested), ForcedPortAudio());
}

const TChosen& InForce() {
  AudioBackend();
  return State().chosen;
}

}  // namespace

TAudioBackend& AudioBackend() {
  TState& s = State();
  Finish();
  if (!s.have) Adopt(Choose(Effective(s.requested), ForcedPortAudio()));
  return *s.chosen.backend;
}

void PrepareAudioBackend() {
  TState& s = State();
  if (s.have || s.pending.valid()) return;
  BeginChoice();
}

void SetAudioBackend(std::shared_ptr<TAudioBackend> backend) {
  TState& s = State();
  Finish();
  if (!backend) {
    s.have = false;
    s.chosen = {};
    return;
  }
  TChosen c;
  const bool simulated = backend->Name() == "simulated";
  c.outputName = c.inputName = simulated ? kSimulatedCardKey : backend->Name();
  c.inForce = Effective(s.requested);
  if (simulated) c.inForce.output = c.inForce.input = kSimulatedCardKey;
  c.lib = PortAudioOf(backend.get());
  c.backend = std::move(backend);
  Adopt(std::move(c));
}

bool SimulatedCardStandsIn() { return InForce().standsIn; }

std::string BackendNote() { return InForce().note; }

std::string DeviceKey(const std::string& hostApi, const std::string& name) { return hostApi + ": " + name; }

bool ParseDeviceKey(const std::string& key, std::string* hostApi, std::string* name) {
  const size_t colon = key.find(": ");
  if (colon == std::string::npos) return false;
  if (hostApi) *hostApi = key.substr(0, colon);
  if (name) *name = key.substr(colon + 2);
  return true;
}

const char* LatencyName(TLatency latency) {
  switch (latency) {
    case TLatency::Low:
      return "low";
    case TLatency::Safe:
      return "safe";
    case TLatency::Normal:
      break;
  }
  return "normal";
}

bool ParseLatency(const std::string& text, TLatency* latency) {
  for (TLatency l : {TLatency::Low, TLatency::Normal, TLatency::Safe})
    if (text == LatencyName(l)) {
      *latency = l;
      return true;
    }
  return false;
}

TLatencyPlan LatencyPlan(TLatency latency) {
  switch (latency) {
    case TLatency::Low:
      // Periods that wake the server's client thread and our worker 170 times a second.
      return {256, 0.015, 0.015, 1024};
    case TLatency::Safe:
      // A busy machine never drops a block; one period brings the smallest analysed block.
      return {4096, 0.2, 0.25, 16384};
    case TLatency::Normal:
      break;
  }
  // The output's buffer delays every change by its length; the input's too, through PulseAudio.
  // 60 ms out rides out a loaded machine (two busy cores); with the generator's 2048-frame
  // chunks (DeviceChunkFrames) the buffer is two of them (three on PulseAudio directly) and the
  // round trip about 116 ms there.
  return {1024, 0.06, 0.04, 2048};
}

unsigned long DeviceChunkFrames(TLatency latency, int blockFrames) {
  const unsigned long least = LatencyPlan(latency).chunkFrames;
  if (latency == TLatency::Low || blockFrames <= 0) return least;
  // Safe's chunk already wakes rarely; a longer one would lengthen its buffers by seconds.
  const unsigned long most = 4096;
  const auto block = static_cast<unsigned long>(blockFrames);
  const unsigned long pieces = (block + most - 1) / most;
  return std::max(least, (block + pieces - 1) / pieces);
}

std::vector<TSoundDevice> ListSoundDevices(std::string* why) {
  TState& s = State();
  Finish();
  if (!s.lib) s.lib = SharedPortAudio(why);
  if (!s.lib) return {};
  std::vector<TSoundDevice> list = PortAudioDevices(*s.lib);
  for (TSoundDevice& d : JackDevices()) list.push_back(std::move(d));
  return list;
}

bool RescanSoundDevices(std::string* why) {
  TState& s = State();
  Finish();
  if (auto lib = s.lib ? s.lib : PortAudioOf(s.chosen.backend.get())) {
    // Holders: this one, ours, and the backend in force; any other is an open stream (or a
    // backend kept elsewhere) that a new start would pull the devices from under.
    const long ours = 1 + (s.lib == lib ? 1 : 0) + (PortAudioOf(s.chosen.backend.get()) == lib ? 1 : 0);
    if (lib.use_count() > ours) {
      if (why)
        *why = "PortAudio is in use by an open sound stream, or by a device that stopped answering: stop the "
               "generator and the analyser and look for devices again, or restart the program.";
      return false;
    }
    s.lib.reset();
    if (PortAudioOf(s.chosen.backend.get())) {
      s.chosen = {};
      s.have = false;
    }
  }  // the last holder gone, PortAudio has ended
  s.lib = SharedPortAudio(why);
  ReadJackDevices();
  if (!s.have) Adopt(Choose(Effective(s.requested), ForcedPortAudio()));
  if (s.lib && PortAudioKeptAfterJack()) {
    if (why)
      *why = "The JACK server that PortAudio was connected to has ended; the list of devices can be read again "
             "only after a restart of the program.";
    return false;
  }
  return s.lib != nullptr;
}

std::string UseDeviceChoice(const TDeviceChoice& choice) {
  TState& s = State();
  s.requested = choice;
  const TDeviceChoice effective = Effective(choice);
  if (!NamesDevice(effective)) {
    // Nothing to look up: the start goes on meanwhile.
    Finish();
    BeginChoice();
    return {};
  }
  Finish();  // keeps PortAudio's start, so the choice below does not start it again
  TChosen c = Choose(effective, ForcedPortAudio());
  std::string fallback = c.fallback;
  Adopt(std::move(c));
  return fallback;
}

TDeviceChoice EffectiveDeviceChoice(const TDeviceChoice& choice) { return Effective(choice); }

TDeviceChoice CurrentDeviceChoice() { return InForce().inForce; }
std::string OutputDeviceName() { return InForce().outputName; }
std::string InputDeviceName() { return InForce().inputName; }

double MeasureRoundTripMs(int timeoutMs, std::string* why) {
  using Clock = std::chrono::steady_clock;
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr int kPulses = 5;
  constexpr int kPulseFrames = 32;
  constexpr int16_t kPulseLevel = 16384, kThreshold = 8192;  // half and a quarter of full scale
  auto fail = [why](const std::string& text) {
    if (why) *why = text;
    return kNaN;
  };
  const TLatencyPlan plan = LatencyPlan(CurrentDeviceChoice().latency);
  const int block = plan.toneBlockFrames;
  const int captureBlock = static_cast<int>(plan.chunkFrames);
  // Half a second of silence first (a stream that starts on an idle server may lose its first
  // frames), then a pulse at the start of a block every 0.3 s or so.
  const int first = (kSampleRate / 2 + block - 1) / block;
  const int every = std::max(1, (kSampleRate * 3 / 10 + block - 1) / block);
  const int64_t spacing = static_cast<int64_t>(every) * block;  // frames between pulses

  TWaveOut out;
  TWaveIn in;
  out.SetBufferSamples(block);
  in.SetBufferSamples(captureBlock);
  int64_t blocks = 0;
  std::vector<Clock::time_point> filled;  // when each pulse's block was filled
  out.SetOnNeedData([&](PWaveHdr h) {
    std::memset(h->lpData, 0, h->dwBufferLength);
    if (blocks >= first && (blocks - first) % every == 0 && static_cast<int>(filled.size()) < kPulses) {
      auto* p = reinterpret_cast<int16_t*>(h->lpData);
      std::fill(p, p + 2 * kPulseFrames, kPulseLevel);
      filled.push_back(Clock::now());
    }
    ++blocks;
  });
  std::vector<double> arrived;  // s after the fill of the matching pulse
  std::vector<int64_t> at;      // capture frame of each pulse found
  int64_t captured = 0, quietUntil = 0;
  in.SetOnData([&](wavehdr_tag& h) {
    const Clock::time_point now = Clock::now();
    const auto* p = reinterpret_cast<const int16_t*>(h.lpData);
    const int frames = static_cast<int>(h.dwBytesRecorded / 4);
    for (int i = 0; i < frames; ++i) {
      const int64_t frame = captured + i;
      if (frame < quietUntil || (std::abs(p[2 * i]) < kThreshold && std::abs(p[2 * i + 1]) < kThreshold)) continue;
      quietUntil = frame + spacing / 2;
      at.push_back(frame);
      if (arrived.size() < filled.size())
        arrived.push_back(std::chrono::duration<double>(now - filled[arrived.size()]).count() -
                          static_cast<double>(frames - i) / kSampleRate);
      else
        arrived.push_back(kNaN);  // came back before it was played: not ours
    }
    captured += frames;
  });
  try {
    in.SetAutoStart(true);
    in.SetEnabled(true);
    out.SetEnabled(true);
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  QEventLoop loop;
  QTimer tick;
  QElapsedTimer elapsed;
  elapsed.start();
  bool stopped = false;
  QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
    stopped = !out.Enabled() || !in.Enabled();
    if (stopped || static_cast<int>(arrived.size()) >= kPulses || elapsed.elapsed() > timeoutMs) loop.quit();
  });
  tick.start(10);
  loop.exec();
  tick.stop();
  const std::string device = "from \"" + out.DeviceName() + "\" to \"" + in.DeviceName() + "\"";
  try {
    out.SetEnabled(false);
    in.SetEnabled(false);
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  if (stopped) return fail("A sound device stopped while the round trip " + device + " was measured.");
  if (arrived.empty())
    return fail("No pulse came back " + device + " within " + std::to_string(timeoutMs) +
                " ms: connect the output to the input.");
  if (static_cast<int>(arrived.size()) < kPulses)
    return fail(std::to_string(arrived.size()) + " of " + std::to_string(kPulses) + " pulses came back " + device +
                " within " + std::to_string(timeoutMs) + " ms.");
  for (size_t k = 0; k < arrived.size(); ++k) {
    // A lost or repeated stretch moves the pulses against each other; so does a pulse that is
    // noise, or one of something else playing.
    if (std::isnan(arrived[k]) || (k > 0 && std::llabs(at[k] - at[k - 1] - spacing) > kPulseFrames))
      return fail("The pulses came back " + device + " irregularly: is something else playing?");
  }
  std::sort(arrived.begin(), arrived.end());
  return arrived[arrived.size() / 2] * 1000;
}
