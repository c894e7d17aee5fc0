// "Sound devices": the output and input device from what PortAudio finds, grouped by host API,
// or the simulated card; the latency; the round trip measured on the chosen devices.
// GUI thread only.
#pragma once

#include <QDialog>

#include <functional>
#include <string>
#include <vector>

#include "SoundDevices.h"

class QComboBox;
class QLabel;
class QPushButton;

class TDeviceDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TDeviceDialog(QWidget* parent = nullptr);

  // Lists the devices with `choice` selected; a chosen device that is not among them is shown
  // as "(not connected)" and stays selected, so that OK keeps it unless the user picks another.
  void SetDevices(const std::vector<TSoundDevice>& devices, const TDeviceChoice& choice);
  TDeviceChoice Choice() const;

  // "Measure": called with the dialog's choice; returns the text to show beside the button.
  std::function<QString(const TDeviceChoice&)> OnMeasure;

  QComboBox* ComboBoxOutput = nullptr;
  QComboBox* ComboBoxInput = nullptr;
  QComboBox* ComboBoxLatency = nullptr;
  QPushButton* ButtonMeasureRoundTrip = nullptr;
  QLabel* LabelRoundTrip = nullptr;

 private:
  void Fill(QComboBox* list, const std::vector<TSoundDevice>& devices, bool output,
            const std::string& chosen);
  // The simulated card is both directions or neither.
  void Paired(QComboBox* changed, QComboBox* other);
};
