// The system mixer as the input mixer sees it: devices, their destination lines, each line's
// controls, and a selector control's items with their names and values. Every call answers
// true on success; any failure is false and leaves its outputs as they were.
//
// Threads: GUI thread only. A device is open for as long as its object lives.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum class TMixerLineType { Other, WaveIn };
enum class TMixerControlType { Other, Mixer, Mux };

struct TMixerLine {
  TMixerLineType type = TMixerLineType::Other;
  uint32_t id = 0;
  int controls = 0;
};

struct TMixerControl {
  uint32_t id = 0;
  TMixerControlType type = TMixerControlType::Other;
  bool multiple = false;  // several items may be selected at once
  int items = 0;
  int32_t upperBound = 0;  // the value of a selected item
};

class TMixerDevice {
 public:
  virtual ~TMixerDevice() = default;
  virtual bool LineInfo(int destination, TMixerLine& line) = 0;
  virtual bool LineControls(const TMixerLine& line, std::vector<TMixerControl>& controls) = 0;
  virtual bool ItemNames(const TMixerControl& control, std::vector<std::string>& names) = 0;
  // One value per item; non-zero = selected.
  virtual bool ItemValues(const TMixerControl& control, std::vector<int32_t>& values) = 0;
  virtual bool SetItemValues(const TMixerControl& control, const std::vector<int32_t>& values) = 0;
};

class TMixerSystem {
 public:
  virtual ~TMixerSystem() = default;
  virtual int DeviceCount() = 0;
  virtual bool DeviceCaps(int device, std::string& name, int& destinations) = 0;
  // nullptr when the device cannot be opened.
  virtual std::unique_ptr<TMixerDevice> Open(int device) = 0;
};

// ALSA's simple mixer on the named control device. Device 0 is that mixer, named after its
// card; its one destination is the wave-in line, whose controls are the selectors, in this
// order: a multiple-choice one whose items are the elements with an independent capture switch
// (an item is selected while any of its channels captures; selecting sets all channels); one
// single-choice selector per capture group of exclusive switches (the items of a "Capture
// Source" enumeration, which ALSA splits into elements); and one single-choice selector per
// enumerated capture element (such as "Input Source"), its items named "<element>: <item>", an
// item selected while any channel records from it; choosing one sets every channel. A
// single-choice selector takes exactly one non-zero value.
// Opening waits at most kDeviceCommandTimeoutMs; a mixer that has not answered by then counts as
// failed. Failures are reported on stderr with ALSA's reason; ALSA's own error output is silenced.
std::shared_ptr<TMixerSystem> CreateAlsaMixerSystem(const std::string& device = "default");

// The mixer the input mixer uses: ALSA's "default" unless replaced.
std::shared_ptr<TMixerSystem> MixerSystem();
// Replaces it (nullptr goes back to ALSA's) and returns the previous one.
std::shared_ptr<TMixerSystem> SetMixerSystem(std::shared_ptr<TMixerSystem> system);
