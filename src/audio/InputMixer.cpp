#include "InputMixer.h"

#include <QCheckBox>
#include <QEvent>
#include <QFontMetrics>

#include <algorithm>

TInputMixer::TInputMixer(QWidget* parent) : QGroupBox(parent) { resize(width(), 41); }

bool TInputMixer::event(QEvent* e) {
  const bool handled = QGroupBox::event(e);
  // After the base class, so that the inherited font is resolved for the captions' widths.
  if (e->type() == QEvent::Show && !FCreated) {
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
  // Every selector gets its items listed, so that a card whose sources sit in an enumeration
  // beside its capture switches can still choose them.
  for (const TMixerControl& c : controls) {
    if (c.type != TMixerControlType::Mixer && c.type != TMixerControlType::Mux) continue;
    FControls.push_back(c);
    BuildCheckBoxes(device, static_cast<int>(FControls.size()) - 1);
  }
}

void TInputMixer::BuildCheckBoxes(TMixerDevice& device, int selector) {
  const TMixerControl& control = FControls[static_cast<size_t>(selector)];
  std::vector<std::string> names;
  std::vector<int32_t> values;
  if (!device.ItemNames(control, names)) return;
  if (!device.ItemValues(control, values)) return;
  const size_t n = static_cast<size_t>(std::max(control.items, 0));
  if (names.size() < n || values.size() < n) return;
  const QFontMetrics metrics(font());
  for (size_t item = 0; item < n; ++item) {
    const int k = FLines++;
    const QString caption = QString::fromStdString(names[item]).left(64);
    auto* box = new QCheckBox(caption, this);
    box->setObjectName("MixerWaveIn_" + QString::number(k));
    box->setChecked(values[item] != 0);
    box->setProperty("tag", k);
    box->setProperty("selector", selector);
    box->setProperty("item", static_cast<int>(item));
    box->setGeometry(16, 24 + 20 * k, metrics.horizontalAdvance(caption) + 20, 15);
    connect(box, &QCheckBox::clicked, this, [this, box] { LineClick(box); });
    if (isVisible()) box->show();
    if (k > 0) resize(width(), height() + 18);
  }
}

void TInputMixer::LineClick(QObject* sender) {
  auto* box = qobject_cast<QCheckBox*>(sender);
  if (!box || box->parent() != this) return;
  const int selector = box->property("selector").toInt();
  if (selector < 0 || static_cast<size_t>(selector) >= FControls.size()) return;
  const TMixerControl& control = FControls[static_cast<size_t>(selector)];
  const bool oneOfMany = !control.multiple;
  // The chosen item of an enumeration stays chosen: there is always exactly one.
  if (oneOfMany && !box->isChecked()) {
    box->setChecked(true);
    return;
  }
  std::unique_ptr<TMixerDevice> device = MixerSystem()->Open(0);
  if (!device) {
    if (oneOfMany) box->setChecked(false);  // the mixer keeps its choice, and so does the list
    return;
  }
  std::vector<int32_t> values;
  const int k = box->property("item").toInt();
  if (!device->ItemValues(control, values) || k < 0 || static_cast<size_t>(k) >= values.size()) {
    if (oneOfMany) box->setChecked(false);
    return;
  }
  if (oneOfMany) std::fill(values.begin(), values.end(), 0);
  values[static_cast<size_t>(k)] = box->isChecked() ? control.upperBound : 0;
  const bool written = device->SetItemValues(control, values);
  if (!oneOfMany) return;
  if (!written) {
    box->setChecked(false);
    return;
  }
  for (QCheckBox* other : findChildren<QCheckBox*>(Qt::FindDirectChildrenOnly))
    if (other != box && other->property("selector").toInt() == selector) other->setChecked(false);
}
