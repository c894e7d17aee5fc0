// The recording-source selector: a group box with one check box per item of every selector of
// the mixer's wave-in line, one list after the other, read once when the box is first shown
// and written back at each click. Items of a multiple-choice selector go on and off one by one;
// those of a single-choice selector (an enumeration) follow its one-of-many rule: ticking one
// unticks the others, and the chosen one cannot be unticked. Every failed mixer call ends its
// step quietly; the box stays usable.
//
// Threads: GUI thread only.
#pragma once

#include <QGroupBox>

#include <vector>

#include "MixerSystem.h"

class TInputMixer : public QGroupBox {
  Q_OBJECT
 public:
  explicit TInputMixer(QWidget* parent = nullptr);

  // Writes the sender check box's state to the mixer; other senders are ignored.
  void LineClick(QObject* sender);

 protected:
  bool event(QEvent* e) override;
  // Qt creates no window per control; the first showing, before the box is first painted,
  // stands in for that step: height 57, caption and check boxes from mixer device 0. So the
  // mixer (for ALSA a connection to the sound server) is asked when its page is first opened,
  // not while the program starts.
  virtual void CreateWnd();

 private:
  void SearchControls(TMixerDevice& device, const TMixerLine& line);
  void BuildCheckBoxes(TMixerDevice& device, int selector);

  bool FCreated = false;
  int FLines = 0;  // check boxes so far
  // The selectors shown: ID, item count, on value (upper bound), one of many or not.
  std::vector<TMixerControl> FControls;
};
