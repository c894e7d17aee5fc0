#include "DeviceDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QStandardItemModel>

#include "Widgets.h"

namespace {

constexpr int kKeyRole = Qt::UserRole;

// A host API's caption: a line that cannot be chosen.
void AddHeading(QComboBox* list, const QString& text) {
  list->addItem(text);
  auto* model = qobject_cast<QStandardItemModel*>(list->model());
  QStandardItem* item = model->item(list->count() - 1);
  item->setFlags(item->flags() & ~(Qt::ItemIsSelectable | Qt::ItemIsEnabled));
  QFont bold = item->font();
  bold.setBold(true);
  item->setFont(bold);
}

void AddDevice(QComboBox* list, const QString& text, const std::string& key) {
  list->addItem(text, QString::fromStdString(key));
}

}  // namespace

TDeviceDialog::TDeviceDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("DeviceDialog");
  setWindowTitle("Sound devices");
  setFixedSize(420, 196);
  MakeLabel(this, "LabelOutput", "Output", 12, 16, 60);
  ComboBoxOutput = MakeList(this, "ComboBoxOutput", {}, 80, 12, 328, 23);
  MakeLabel(this, "LabelInput", "Input", 12, 48, 60);
  ComboBoxInput = MakeList(this, "ComboBoxInput", {}, 80, 44, 328, 23);
  MakeLabel(this, "LabelLatency", "Latency", 12, 80, 60);
  ComboBoxLatency = MakeList(this, "ComboBoxLatency", {"Low", "Normal", "Safe"}, 80, 76, 120, 23);
  ComboBoxLatency->setToolTip(
      "Low: quickest response, for a machine with little else to do.\n"
      "Normal: a tone change comes back in about 0.12 s on PulseAudio.\n"
      "Safe: large buffers, for a busy or slow machine.");
  ButtonMeasureRoundTrip =
      MakeButton(this, "ButtonMeasureRoundTrip", "Measure round trip", 12, 112, 130, 25);
  ButtonMeasureRoundTrip->setToolTip(
      "Plays clicks on the chosen output and times their return at the chosen input: connect "
      "the output to the input first.");
  LabelRoundTrip = MakeLabel(this, "LabelRoundTrip", "", 152, 116, 256);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->setObjectName("DeviceDialogButtons");
  buttons->setGeometry(12, 156, 396, 28);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(ButtonMeasureRoundTrip, &QPushButton::clicked, this, [this] {
    if (!OnMeasure) return;
    LabelRoundTrip->setText("Measuring ...");
    LabelRoundTrip->repaint();
    LabelRoundTrip->setText(OnMeasure(Choice()));
  });
  connect(ComboBoxOutput, &QComboBox::activated, this, [this] { Paired(ComboBoxOutput, ComboBoxInput); });
  connect(ComboBoxInput, &QComboBox::activated, this, [this] { Paired(ComboBoxInput, ComboBoxOutput); });
  // A measurement belongs to the devices and latency it was made with.
  for (QComboBox* list : {ComboBoxOutput, ComboBoxInput, ComboBoxLatency})
    connect(list, &QComboBox::currentIndexChanged, LabelRoundTrip, &QLabel::clear);
}

void TDeviceDialog::Fill(QComboBox* list, const std::vector<TSoundDevice>& devices, bool output,
                         const std::string& chosen) {
  QSignalBlocker quiet(list);
  list->clear();
  std::string defaultName;
  for (const TSoundDevice& d : devices)
    if (output ? d.defaultOutput : d.defaultInput) defaultName = DeviceKey(d.hostApi, d.name);
  AddDevice(list,
            QString(output ? "Default output" : "Default input") +
                (defaultName.empty() ? QString() : QString(" (%1)").arg(QString::fromStdString(defaultName))),
            "");
  std::string api;
  for (const TSoundDevice& d : devices) {
    if ((output ? d.maxOutputChannels : d.maxInputChannels) <= 0) continue;
    if (d.hostApi != api) {
      api = d.hostApi;
      AddHeading(list, QString::fromStdString(api));
    }
    AddDevice(list, "    " + QString::fromStdString(d.name), DeviceKey(d.hostApi, d.name));
  }
  AddHeading(list, "Simulation");
  AddDevice(list, "    " + QString(kSimulatedCardKey), kSimulatedCardKey);
  int index = list->findData(QString::fromStdString(chosen));
  if (index < 0) {
    AddDevice(list, QString::fromStdString(chosen) + " (not connected)", chosen);
    index = list->count() - 1;
  }
  list->setCurrentIndex(index);
}

void TDeviceDialog::SetDevices(const std::vector<TSoundDevice>& devices, const TDeviceChoice& choice) {
  Fill(ComboBoxOutput, devices, true, choice.output);
  Fill(ComboBoxInput, devices, false, choice.input);
  ComboBoxLatency->setCurrentIndex(static_cast<int>(choice.latency));
  LabelRoundTrip->clear();
}

TDeviceChoice TDeviceDialog::Choice() const {
  TDeviceChoice choice;
  choice.output = ComboBoxOutput->currentData().toString().toStdString();
  choice.input = ComboBoxInput->currentData().toString().toStdString();
  choice.latency = static_cast<TLatency>(std::max(0, ComboBoxLatency->currentIndex()));
  return choice;
}

void TDeviceDialog::Paired(QComboBox* changed, QComboBox* other) {
  const QString simulated = QString(kSimulatedCardKey);
  const bool nowSimulated = changed->currentData().toString() == simulated;
  const bool otherSimulated = other->currentData().toString() == simulated;
  if (nowSimulated != otherSimulated)
    other->setCurrentIndex(nowSimulated ? other->findData(simulated) : 0);
}
