// The recording-source selector: a group box with one check box per selectable source of the
// mixer's wave-in line, read once when the box is first polished and written back at each
// click. Every failed mixer call ends its step quietly; the box stays usable.
//
// Threads: GUI thread only.
#pragma once

#include <QGroupBox>

#include "MixerSystem.h"

class TInputMixer : public QGroupBox {
  Q_OBJECT
 public:
  explicit TInputMixer(QWidget* parent = nullptr);

  // Writes the sender check box's state to the mixer; other senders are ignored.
  void LineClick(QObject* sender);

 protected:
  bool event(QEvent* e) override;
  // Qt creates no window per control; the first polish, before the box is first shown, stands
  // in for that step: height 57, caption and check boxes from mixer device 0.
  virtual void CreateWnd();

 private:
  void SearchControls(TMixerDevice& device, const TMixerLine& line);
  void BuildCheckBoxes(TMixerDevice& device);

  bool FCreated = false;
  TMixerControl FControl;  // the selector shown: ID, item count, on value (upper bound)
};
