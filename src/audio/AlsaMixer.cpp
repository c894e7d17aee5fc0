// The input mixer's view of ALSA's simple mixer (see MixerSystem.h).
#include <alsa/asoundlib.h>

#include <algorithm>
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

void Report(const std::string& what, int error) {
  std::fprintf(stderr, "Input mixer: %s: %s\n", what.c_str(), snd_strerror(error));
}

void ReportNoAnswer(const std::string& device) {
  std::fprintf(stderr, "Input mixer: ALSA mixer \"%s\" does not answer\n", device.c_str());
}

// Elements may share a name; ALSA tells them apart by index.
std::string ElementName(snd_mixer_elem_t* e) {
  std::string name = snd_mixer_selem_get_name(e);
  if (unsigned index = snd_mixer_selem_get_index(e)) name += " " + std::to_string(index);
  return name;
}

// One list of the wave-in line. ALSA shows a recording source three ways: independent capture
// switches; the items of a "Capture Source" enumeration, which its simple mixer splits into
// elements whose capture switches exclude one another (one capture group); and an enumerated
// capture element such as "Input Source", whose items are its values.
struct TSelector {
  enum TKind { Switches, ExclusiveSwitches, Enumerated } kind;
  int group = 0;                         // the capture group of exclusive switches
  std::vector<snd_mixer_elem_t*> elems;  // the switches, or the one enumerated element
};

class TAlsaMixerDevice : public TMixerDevice {
 public:
  explicit TAlsaMixerDevice(snd_mixer_t* mixer) : mixer_(mixer) {
    std::vector<TSelector> exclusive, enumerated;
    TSelector switches{TSelector::Switches};
    for (snd_mixer_elem_t* e = snd_mixer_first_elem(mixer); e; e = snd_mixer_elem_next(e)) {
      if (snd_mixer_selem_is_enumerated(e)) {
        if (snd_mixer_selem_is_enum_capture(e)) enumerated.push_back({TSelector::Enumerated, 0, {e}});
      } else if (snd_mixer_selem_has_capture_switch(e)) {
        if (!snd_mixer_selem_has_capture_switch_exclusive(e)) {
          switches.elems.push_back(e);
          continue;
        }
        const int group = snd_mixer_selem_get_capture_group(e);
        auto same = std::find_if(exclusive.begin(), exclusive.end(),
                                 [group](const TSelector& s) { return s.group == group; });
        if (same == exclusive.end())
          exclusive.push_back({TSelector::ExclusiveSwitches, group, {e}});
        else
          same->elems.push_back(e);
      }
    }
    // The independent switches first, so that a card with nothing else keeps its one list.
    if (!switches.elems.empty()) selectors_.push_back(std::move(switches));
    for (auto* list : {&exclusive, &enumerated})
      selectors_.insert(selectors_.end(), list->begin(), list->end());
    read_.resize(selectors_.size());
  }
  ~TAlsaMixerDevice() override { snd_mixer_close(mixer_); }

  bool LineInfo(int destination, TMixerLine& line) override {
    if (destination != 0) return false;
    line = {TMixerLineType::WaveIn, 0, static_cast<int>(selectors_.size())};
    return true;
  }

  bool LineControls(const TMixerLine& line, std::vector<TMixerControl>& controls) override {
    if (line.id != 0) return false;
    std::vector<TMixerControl> got;
    for (size_t j = 0; j < selectors_.size(); ++j) {
      const TSelector& s = selectors_[j];
      const bool multiple = s.kind == TSelector::Switches;
      const int items = s.kind == TSelector::Enumerated
                            ? snd_mixer_selem_get_enum_items(s.elems[0])
                            : static_cast<int>(s.elems.size());
      if (items < 0) continue;
      got.push_back({static_cast<uint32_t>(j), multiple ? TMixerControlType::Mixer : TMixerControlType::Mux,
                     multiple, items, 1});
    }
    controls = std::move(got);
    return true;
  }

  bool ItemNames(const TMixerControl& control, std::vector<std::string>& names) override {
    const TSelector* s = Find(control);
    if (!s) return false;
    std::vector<std::string> got;
    if (s->kind != TSelector::Enumerated) {
      for (snd_mixer_elem_t* e : s->elems) got.push_back(ElementName(e));
    } else {
      snd_mixer_elem_t* e = s->elems[0];
      for (int k = 0; k < control.items; ++k) {
        char item[65] = {};
        if (int error = snd_mixer_selem_get_enum_item_name(e, static_cast<unsigned>(k), sizeof item - 1, item);
            error < 0) {
          Report("cannot read the items of \"" + ElementName(e) + "\"", error);
          return false;
        }
        got.push_back(ElementName(e) + ": " + item);
      }
    }
    names = std::move(got);
    return true;
  }

  bool ItemValues(const TMixerControl& control, std::vector<int32_t>& values) override {
    const TSelector* s = Find(control);
    if (!s) return false;
    std::vector<int32_t> got;
    if (s->kind != TSelector::Enumerated) {
      for (snd_mixer_elem_t* e : s->elems) {
        int on = 0;
        if (!AnyChannelCaptures(e, on)) return false;
        got.push_back(on);
      }
    } else if (!EnumeratedValues(s->elems[0], control.items, got)) {
      return false;
    }
    values = read_[control.id] = std::move(got);
    return true;
  }

  bool SetItemValues(const TMixerControl& control, const std::vector<int32_t>& values) override {
    const TSelector* s = Find(control);
    const size_t items = !s ? 0 : s->kind == TSelector::Enumerated ? static_cast<size_t>(std::max(control.items, 0))
                                                                     : s->elems.size();
    if (!s || values.size() != items) return false;
    if (s->kind == TSelector::Switches) return SetSwitches(*s, read_[control.id], values);
    // One of many: the one item chosen, or nothing is written.
    if (std::count_if(values.begin(), values.end(), [](int32_t v) { return v != 0; }) != 1) return false;
    const auto chosen = static_cast<size_t>(
        std::find_if(values.begin(), values.end(), [](int32_t v) { return v != 0; }) - values.begin());
    if (s->kind == TSelector::ExclusiveSwitches) {
      // ALSA sets the enumeration behind the switch to this item; the others go off by themselves.
      snd_mixer_elem_t* e = s->elems[chosen];
      if (int error = snd_mixer_selem_set_capture_switch_all(e, 1); error < 0) {
        Report("cannot choose \"" + ElementName(e) + "\" as the capture source", error);
        return false;
      }
    } else {
      snd_mixer_elem_t* e = s->elems[0];
      // Every channel records from the item chosen, as a card with one value per channel has it.
      for (int c = 0; c <= SND_MIXER_SCHN_LAST; ++c) {
        const auto channel = static_cast<snd_mixer_selem_channel_id_t>(c);
        unsigned current = 0;
        if (snd_mixer_selem_get_enum_item(e, channel, &current) < 0) break;
        if (current == chosen) continue;
        if (int error = snd_mixer_selem_set_enum_item(e, channel, static_cast<unsigned>(chosen)); error < 0) {
          Report("cannot set \"" + ElementName(e) + "\"", error);
          return false;
        }
      }
    }
    read_[control.id] = values;
    return true;
  }

 private:
  const TSelector* Find(const TMixerControl& control) const {
    return control.id < selectors_.size() ? &selectors_[control.id] : nullptr;
  }

  static bool SetSwitches(const TSelector& s, std::vector<int32_t>& read, const std::vector<int32_t>& values) {
    for (size_t k = 0; k < values.size(); ++k) {
      const bool on = values[k] != 0;
      // An item as read stays untouched, so a half-captured stereo pair keeps its channels.
      if (k < read.size() && on == (read[k] != 0)) continue;
      if (int error = snd_mixer_selem_set_capture_switch_all(s.elems[k], on); error < 0) {
        Report("cannot set the capture switch of \"" + ElementName(s.elems[k]) + "\"", error);
        return false;
      }
    }
    read = values;
    return true;
  }

  // An item counts as chosen while any channel records from it.
  static bool EnumeratedValues(snd_mixer_elem_t* e, int items, std::vector<int32_t>& values) {
    values.assign(static_cast<size_t>(std::max(items, 0)), 0);
    for (int c = 0; c <= SND_MIXER_SCHN_LAST; ++c) {
      unsigned item = 0;
      if (int error = snd_mixer_selem_get_enum_item(e, static_cast<snd_mixer_selem_channel_id_t>(c), &item);
          error < 0) {
        if (c > 0) break;  // past the element's last channel
        Report("cannot read \"" + ElementName(e) + "\"", error);
        return false;
      }
      if (item < values.size()) values[item] = 1;
    }
    return true;
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
        Report("cannot read the capture switch of \"" + ElementName(e) + "\"", error);
        return false;
      }
      if (value) on = 1;
    }
    // A switch joined across channels may list none of them.
    return any || snd_mixer_selem_get_capture_switch(e, SND_MIXER_SCHN_MONO, &on) >= 0;
  }

  snd_mixer_t* mixer_;
  std::vector<TSelector> selectors_;          // control ID = index
  std::vector<std::vector<int32_t>> read_;  // per selector, the values last read or written
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
