// The input mixer's view of ALSA's simple mixer (see MixerSystem.h).
#include <alsa/asoundlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "AudioDevice.h"
#include "MixerSystem.h"
#include "PortAudioBackend.h"

namespace {

constexpr uint32_t kSwitchList = 0;  // the control ID of the capture-switch selector

void Report(const std::string& what, int error) {
  std::fprintf(stderr, "Input mixer: %s: %s\n", what.c_str(), snd_strerror(error));
}

void ReportNoAnswer(const std::string& device) {
  std::fprintf(stderr, "Input mixer: ALSA mixer \"%s\" does not answer\n", device.c_str());
}

class TAlsaMixerDevice : public TMixerDevice {
 public:
  explicit TAlsaMixerDevice(snd_mixer_t* mixer) : mixer_(mixer) {
    for (snd_mixer_elem_t* e = snd_mixer_first_elem(mixer); e; e = snd_mixer_elem_next(e)) {
      if (snd_mixer_selem_is_enumerated(e) && snd_mixer_selem_is_enum_capture(e))
        sourceChoices_.push_back(e);
      else if (snd_mixer_selem_has_capture_switch(e))
        switches_.push_back(e);
    }
  }
  ~TAlsaMixerDevice() override { snd_mixer_close(mixer_); }

  bool LineInfo(int destination, TMixerLine& line) override {
    if (destination != 0) return false;
    line = {TMixerLineType::WaveIn, 0, static_cast<int>(Controls().size())};
    return true;
  }

  bool LineControls(const TMixerLine& line, std::vector<TMixerControl>& controls) override {
    if (line.id != 0) return false;
    controls = Controls();
    return true;
  }

  bool ItemNames(const TMixerControl& control, std::vector<std::string>& names) override {
    if (!IsSwitchList(control)) return false;
    std::vector<std::string> got;
    for (snd_mixer_elem_t* e : switches_) {
      std::string name = snd_mixer_selem_get_name(e);
      // Elements may share a name; ALSA tells them apart by index.
      if (unsigned index = snd_mixer_selem_get_index(e)) name += " " + std::to_string(index);
      got.push_back(std::move(name));
    }
    names = std::move(got);
    return true;
  }

  bool ItemValues(const TMixerControl& control, std::vector<int32_t>& values) override {
    if (!IsSwitchList(control)) return false;
    std::vector<int32_t> got;
    for (snd_mixer_elem_t* e : switches_) {
      int on = 0;
      if (!AnyChannelCaptures(e, on)) return false;
      got.push_back(on);
    }
    values = read_ = std::move(got);
    return true;
  }

  bool SetItemValues(const TMixerControl& control, const std::vector<int32_t>& values) override {
    if (!IsSwitchList(control) || values.size() != switches_.size()) return false;
    for (size_t k = 0; k < values.size(); ++k) {
      const bool on = values[k] != 0;
      // An item as read stays untouched, so a half-captured stereo pair keeps its channels.
      if (k < read_.size() && on == (read_[k] != 0)) continue;
      if (int error = snd_mixer_selem_set_capture_switch_all(switches_[k], on); error < 0) {
        Report(std::string("cannot set the capture switch of \"") +
                   snd_mixer_selem_get_name(switches_[k]) + "\"",
               error);
        return false;
      }
    }
    read_ = values;
    return true;
  }

 private:
  std::vector<TMixerControl> Controls() const {
    std::vector<TMixerControl> controls;
    if (!switches_.empty())
      controls.push_back({kSwitchList, TMixerControlType::Mixer, true,
                          static_cast<int>(switches_.size()), 1});
    for (size_t j = 0; j < sourceChoices_.size(); ++j)
      controls.push_back({static_cast<uint32_t>(1 + j), TMixerControlType::Mux, false,
                          snd_mixer_selem_get_enum_items(sourceChoices_[j]), 1});
    return controls;
  }

  bool IsSwitchList(const TMixerControl& control) const {
    return control.id == kSwitchList && !switches_.empty();
  }

  static bool AnyChannelCaptures(snd_mixer_elem_t* e, int& on) {
    on = 0;
    bool any = false;
    for (int c = 0; c <= SND_MIXER_SCHN_LAST; ++c) {
      const auto channel = static_cast<snd_mixer_selem_channel_id_t>(c);
      if (!snd_mixer_selem_has_capture_channel(e, channel)) continue;
      any = true;
      int value = 0;
      if (int error = snd_mixer_selem_get_capture_switch(e, channel, &value); error < 0) {
        Report(std::string("cannot read the capture switch of \"") + snd_mixer_selem_get_name(e) +
                   "\"",
               error);
        return false;
      }
      if (value) on = 1;
    }
    // A switch joined across channels may list none of them.
    return any || snd_mixer_selem_get_capture_switch(e, SND_MIXER_SCHN_MONO, &on) >= 0;
  }

  snd_mixer_t* mixer_;
  std::vector<snd_mixer_elem_t*> switches_, sourceChoices_;
  std::vector<int32_t> read_;  // the values last read or written
};

// Runs work on a thread of its own and waits for it as long as a device command may take: a
// frozen sound server holds ALSA's calls for half a minute, the window must not wait that long.
// A result that comes later is handed to discard on that thread.
template <class T>
std::optional<T> Bounded(std::function<T()> work, std::function<void(T&)> discard) {
  struct TState {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<T> result;
    bool abandoned = false;
  };
  auto state = std::make_shared<TState>();
  std::thread([state, work = std::move(work), discard = std::move(discard)] {
    T value = work();
    std::lock_guard lock(state->mutex);
    if (state->abandoned) {
      discard(value);
      return;
    }
    state->result = std::move(value);
    state->done.notify_one();
  }).detach();
  std::unique_lock lock(state->mutex);
  if (!state->done.wait_for(lock, std::chrono::milliseconds(kDeviceCommandTimeoutMs),
                            [&] { return state->result.has_value(); })) {
    state->abandoned = true;
    return std::nullopt;
  }
  return std::move(state->result);
}

class TAlsaMixerSystem : public TMixerSystem {
 public:
  explicit TAlsaMixerSystem(std::string device) : device_(std::move(device)) {
    SilenceAlsaErrors();
  }

  int DeviceCount() override {
    card_ = CardName();
    return card_ ? 1 : 0;
  }

  bool DeviceCaps(int device, std::string& name, int& destinations) override {
    if (device != 0) return false;
    // The name found by counting, so that a population asks the server once less.
    std::optional<std::string> card = std::exchange(card_, std::nullopt);
    if (!card) card = CardName();
    if (!card) return false;
    name = *card;
    destinations = 1;
    return true;
  }

  std::unique_ptr<TMixerDevice> Open(int device) override {
    if (device != 0) return nullptr;
    std::optional<snd_mixer_t*> mixer = Bounded<snd_mixer_t*>(
        [device = device_]() -> snd_mixer_t* {
          snd_mixer_t* m = nullptr;
          int error = snd_mixer_open(&m, 0);
          if (error < 0) {
            Report("cannot open an ALSA mixer", error);
            return nullptr;
          }
          const char* step = "attach";
          if ((error = snd_mixer_attach(m, device.c_str())) >= 0) {
            step = "register";
            if ((error = snd_mixer_selem_register(m, nullptr, nullptr)) >= 0) {
              step = "load";
              error = snd_mixer_load(m);
            }
          }
          if (error < 0) {
            Report(std::string("cannot ") + step + " ALSA mixer \"" + device + "\"", error);
            snd_mixer_close(m);
            return nullptr;
          }
          return m;
        },
        [](snd_mixer_t*& m) {
          if (m) snd_mixer_close(m);
        });
    if (!mixer) ReportNoAnswer(device_);
    if (!mixer || !*mixer) return nullptr;
    return std::make_unique<TAlsaMixerDevice>(*mixer);
  }

 private:
  // The card's name, or nothing when the control device cannot be opened or does not answer.
  std::optional<std::string> CardName() {
    using TAnswer = std::optional<std::string>;
    std::optional<TAnswer> answer = Bounded<TAnswer>(
        [device = device_]() -> TAnswer {
          snd_ctl_t* ctl = nullptr;
          int error = snd_ctl_open(&ctl, device.c_str(), 0);
          if (error < 0) {
            Report("no ALSA mixer \"" + device + "\"", error);
            return std::nullopt;
          }
          snd_ctl_card_info_t* info = nullptr;
          snd_ctl_card_info_alloca(&info);
          error = snd_ctl_card_info(ctl, info);
          TAnswer name;
          if (error >= 0)
            name = snd_ctl_card_info_get_name(info);
          else
            Report("cannot read the card of ALSA mixer \"" + device + "\"", error);
          snd_ctl_close(ctl);
          return name;
        },
        [](TAnswer&) {});
    if (!answer) {
      ReportNoAnswer(device_);
      return std::nullopt;
    }
    return *answer;
  }

  std::string device_;
  std::optional<std::string> card_;
};

std::shared_ptr<TMixerSystem>& Current() {
  static std::shared_ptr<TMixerSystem> current;
  return current;
}

}  // namespace

std::shared_ptr<TMixerSystem> CreateAlsaMixerSystem(const std::string& device) {
  return std::make_shared<TAlsaMixerSystem>(device);
}

std::shared_ptr<TMixerSystem> MixerSystem() {
  if (!Current()) Current() = CreateAlsaMixerSystem();
  return Current();
}

std::shared_ptr<TMixerSystem> SetMixerSystem(std::shared_ptr<TMixerSystem> system) {
  return std::exchange(Current(), std::move(system));
}
