// Shorthands for building the window's controls by name and position.
#pragma once

#include <QCheckBox>
#include <QColor>
#include <QComboBox>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QStringList>

template <typename T>
T* Named(T* widget, const char* name, int left, int top, int width, int height) {
  widget->setObjectName(QString::fromLatin1(name));
  widget->setGeometry(left, top, width, height);
  return widget;
}

inline QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int left, int top,
                         int width, int height = 16) {
  return Named(new QLabel(text, parent), name, left, top, width, height);
}

inline QCheckBox* MakeCheckBox(QWidget* parent, const char* name, const QString& text, int left,
                               int top, int width, int height, bool checked = false) {
  auto* box = Named(new QCheckBox(text, parent), name, left, top, width, height);
  box->setChecked(checked);
  return box;
}

inline QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text, int left,
                               int top, int width, int height) {
  return Named(new QPushButton(text, parent), name, left, top, width, height);
}

inline QComboBox* MakeList(QWidget* parent, const char* name, const QStringList& items, int left,
                           int top, int width, int height = 21) {
  auto* list = Named(new QComboBox(parent), name, left, top, width, height);
  list->addItems(items);
  return list;
}

// A number box: value clipped into min .. max.
inline QSpinBox* MakeNumberBox(QWidget* parent, const char* name, int min, int max, int value,
                               int left, int top, int width, int height = 21) {
  auto* box = Named(new QSpinBox(parent), name, left, top, width, height);
  box->setRange(min, max);
  box->setValue(value);
  return box;
}

// A vertical track bar with its minimum at the top, as the classic control has it.
inline QSlider* MakeTrackBar(QWidget* parent, const char* name, int min, int max, int page,
                             int tick, int left, int top, int width, int height) {
  auto* bar = Named(new QSlider(Qt::Vertical, parent), name, left, top, width, height);
  bar->setInvertedAppearance(true);
  bar->setInvertedControls(true);
  bar->setRange(min, max);
  bar->setPageStep(page);
  bar->setTickInterval(tick);
  bar->setTickPosition(QSlider::TicksRight);
  return bar;
}

inline void SetTextColour(QWidget* widget, const QColor& colour) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, colour);
  palette.setColor(QPalette::Text, colour);
  widget->setPalette(palette);
}
