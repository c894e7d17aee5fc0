// A small round indicator lamp whose lit colour is a property. GUI thread only.
#pragma once

#include <QColor>
#include <QImage>
#include <QString>
#include <QWidget>

// The embedded lamp picture of that name ("TLED", 15 x 15 pixels, RGB32), or a null image for
// any other name.
QImage LoadLEDPicture(const QString& name);

// Draws the lamp picture at (1, 1) inside a circle of diameter picture width + 3, its pure-green
// (0, 255, 0) pixels in Colour. Outside the circle the parent shows through.
class TLED : public QWidget {
  Q_OBJECT

public:
  explicit TLED(QWidget* parent = nullptr);
  // A name without an embedded picture gives a lamp that draws nothing.
  TLED(QWidget* parent, const QString& pictureName);

  QColor Colour() const { return FColour; }
  void SetColour(const QColor& colour);

  const QImage& Picture() const { return FPicture; }

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  QColor FColour{0, 255, 0};
  QImage FPicture;
};
