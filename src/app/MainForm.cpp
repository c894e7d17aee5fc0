#include "MainForm.h"

#include <QLabel>
#include <QLayout>

#include "AudioDevice.h"
#include "Version.h"

QString TMainForm::Caption() {
  return QString("Zelk  -  free software from %1  -  V%2.%3.%4.%5")
      .arg(QUORVANE_WEB_DOMAIN)
      .arg(QUORVANE_VERSION_MAJOR)
      .arg(QUORVANE_VERSION_MINOR)
      .arg(QUORVANE_VERSION_PATCH)
      .arg(QUORVANE_VERSION_TWEAK);
}

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent) {
  setObjectName("MainForm");
  setWindowTitle(Caption());
  auto* client = new QWidget(this);
  client->setFixedSize(789, 447);
  setCentralWidget(client);
  LabelBackend = new QLabel(client);
  LabelBackend->setObjectName("LabelBackend");
  LabelBackend->setGeometry(8, 425, 773, 18);
  if (SimulatedCardStandsIn()) {
    LabelBackend->setText(QString("Simulated sound card (no sound device: %1)")
                              .arg(QString::fromStdString(BackendNote())));
    LabelBackend->setStyleSheet("color: rgb(192,0,0); font-weight: bold;");
  } else {
    LabelBackend->setText(QString("Sound: %1").arg(QString::fromStdString(AudioBackend().Name())));
  }
  layout()->setSizeConstraint(QLayout::SetFixedSize);
}
