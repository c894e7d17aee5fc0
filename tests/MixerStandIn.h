// A mixer with the lines and controls a test gives it, recording every write.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "MixerSystem.h"

class TStandInMixer : public TMixerSystem {
 public:
  struct TControl {
    TMixerControlType type = TMixerControlType::Mux;
    bool multiple = true;
    int32_t upperBound = 1;
    std::vector<std::string> names;
    std::vector<int32_t> values;
  };
  struct TLine {
    TMixerLineType type = TMixerLineType::WaveIn;
    std::vector<TControl> controls;
  };

  // One wave-in line with one multiple-choice selector of these items.
  static std::shared_ptr<TStandInMixer> WithSources(std::vector<std::string> names,
                                                    std::vector<int32_t> values) {
    auto m = std::make_shared<TStandInMixer>();
    m->lines = {{TMixerLineType::WaveIn, {{TMixerControlType::Mux, true, 1, names, values}}}};
    return m;
  }

  int devices = 1;
  bool capsFail = false, openFails = false, namesFail = false, valuesFail = false;
  std::vector<TLine> lines;
  std::vector<std::vector<int32_t>> writes;  // each value array written, in order

  // Control IDs are line * 100 + index.
  TControl& Control(uint32_t id) { return lines[id / 100].controls[id % 100]; }

  int DeviceCount() override { return devices; }
  bool DeviceCaps(int, std::string& n, int& destinations) override {
    if (capsFail) return false;
    n = "Stand-in card";
    destinations = static_cast<int>(lines.size());
    return true;
  }
  std::unique_ptr<TMixerDevice> Open(int) override {
    if (openFails) return nullptr;
    return std::make_unique<TDevice>(*this);
  }

 private:
  struct TDevice : TMixerDevice {
    explicit TDevice(TStandInMixer& m) : mixer(m) {}
    bool LineInfo(int d, TMixerLine& line) override {
      if (d >= static_cast<int>(mixer.lines.size())) return false;
      line = {mixer.lines[d].type, static_cast<uint32_t>(d),
              static_cast<int>(mixer.lines[d].controls.size())};
      return true;
    }
    bool LineControls(const TMixerLine& line, std::vector<TMixerControl>& controls) override {
      for (uint32_t i = 0; const TControl& c : mixer.lines[line.id].controls)
        controls.push_back({line.id * 100 + i++, c.type, c.multiple,
                            static_cast<int>(c.names.size()), c.upperBound});
      return true;
    }
    bool ItemNames(const TMixerControl& c, std::vector<std::string>& names) override {
      if (mixer.namesFail) return false;
      names = mixer.Control(c.id).names;
      return true;
    }
    bool ItemValues(const TMixerControl& c, std::vector<int32_t>& values) override {
      if (mixer.valuesFail) return false;
      values = mixer.Control(c.id).values;
      return true;
    }
    bool SetItemValues(const TMixerControl& c, const std::vector<int32_t>& values) override {
      mixer.writes.push_back(values);
      mixer.Control(c.id).values = values;
      return true;
    }
    TStandInMixer& mixer;
  };
};
