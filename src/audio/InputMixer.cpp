#include "InputMixer.h"

#include <QCheckBox>
#include <QEvent>
#include <QFontMetrics>

#include <algorithm>

TInputMixer::TInputMixer(QWidget* parent) : QGroupBox(parent) { resize(width(), 41); }

bool TInputMixer::event(QEvent* e) {
  const bool handled = QGroupBox::event(e);
  // After the base class, so that the inherited font is resolved for the captions' widths.
  if (e->type() == QEvent::Polish && !FCreated) {
    FCreated = true;
    CreateWnd();
  }
  return handled;
}

void TInputMixer::CreateWnd() {
  resize(width(), 57);
  std::shared_ptr<TMixerSystem> system = MixerSystem();
  if (system->DeviceCount() == 0) return;
  std::string name;
  int destinations = 0;
  if (!system->DeviceCaps(0, name, destinations)) return;
  setTitle(QString::fromStdString(" " + name + " "));
  std::unique_ptr<TMixerDevice> device = system->Open(0);
  if (!device) return;
  for (int d = 0; d < destinations; ++d) {
    TMixerLine line;
    if (!device->LineInfo(d, line)) break;
    if (line.type == TMixerLineType::WaveIn) {
      SearchControls(*device, line);
      break;
    }
  }
}

void TInputMixer::SearchControls(TMixerDevice& device, const TMixerLine& line) {
  std::vector<TMixerControl> controls;
  if (!device.LineControls(line, controls)) return;
  for (const TMixerControl& c : controls) {
    const bool selector = c.type == TMixerControlType::Mixer || c.type == TMixerControlType::Mux;
    if (selector && c.multiple) {
      // The names MixerWaveIn_k admit one list: the first selector found is the one shown.
      FControl = c;
      BuildCheckBoxes(device);
      return;
    }
  }
}

void TInputMixer::BuildCheckBoxes(TMixerDevice& device) {
  std::vector<std::string> names;
  std::vector<int32_t> values;
  if (!device.ItemNames(FControl, names)) return;
  if (!device.ItemValues(FControl, values)) return;
  const size_t n = static_cast<size_t>(std::max(FControl.items, 0));
  if (names.size() < n || values.size() < n) return;
  const QFontMetrics metrics(font());
  for (size_t k = 0; k < n; ++k) {
    const QString caption = QString::fromStdString(names[k]).left(64);
    auto* box = new QCheckBox(caption, this);
    box->setObjectName("MixerWaveIn_" + QString::number(k));
    box->setChecked(values[k] != 0);
    box->setProperty("tag", static_cast<int>(k));
    const int top = 24 + 20 * static_cast<int>(k);
    box->setGeometry(16, top, metrics.horizontalAdvance(caption) + 20, 15);
    connect(box, &QCheckBox::clicked, this, [this, box] { LineClick(box); });
    if (isVisible()) box->show();
    if (k > 0) resize(width(), height() + 18);
  }
}

void TInputMixer::LineClick(QObject* sender) {
  auto* box = qobject_cast<QCheckBox*>(sender);
  if (!box || box->parent() != this) return;
  std::unique_ptr<TMixerDevice> device = MixerSystem()->Open(0);
  if (!device) return;
  std::vector<int32_t> values;
  if (!device->ItemValues(FControl, values)) return;
  const int k = box->property("tag").toInt();
  if (k < 0 || static_cast<size_t>(k) >= values.size()) return;
  values[static_cast<size_t>(k)] = box->isChecked() ? FControl.upperBound : 0;
  device->SetItemValues(FControl, values);
}
