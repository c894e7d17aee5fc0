#include "LED.h"

#include "Canvas.h"

#include <QPainter>

#include <array>

namespace {

// s silver, r dark red, k black, g the part lit in Colour, w highlight.
constexpr std::array<const char*, 15> LampRows = {
    "sssssrrkkksssss", "sssrkkkkkkkksss", "ssrrkgggggkrkss", "srrkggssgggkrks",
    "skkgwwggggggkks", "rkggwggggggggkk", "rkgsgggggggggkk", "kkgsgggggggggkk",
    "kkgggggggggggkk", "kkgggggggggggkk", "skkgggggggggkks", "skrkgggggggkkrs",
    "sskrkgggggkkrss", "ssskkkkkkkkrsss", "ssssskkkkksssss",
};

constexpr QRgb LitGreen = 0xff00ff00u;

QRgb LampColour(char c) {
  switch (c) {
    case 's': return qRgb(192, 192, 192);
    case 'r': return qRgb(128, 0, 0);
    case 'k': return qRgb(0, 0, 0);
    case 'g': return LitGreen;
    default: return qRgb(255, 255, 255);
  }
}

}  // namespace

QImage LoadLEDPicture(const QString& name) {
  if (name != QLatin1String("TLED")) return {};
  const int size = int(LampRows.size());
  QImage picture(size, size, QImage::Format_RGB32);
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x) picture.setPixel(x, y, LampColour(LampRows[y][x]));
  return picture;
}

TLED::TLED(QWidget* parent) : TLED(parent, QStringLiteral("TLED")) {}

TLED::TLED(QWidget* parent, const QString& pictureName)
    : QWidget(parent), FPicture(LoadLEDPicture(pictureName)) {
  resize(17, 17);
}

void TLED::SetColour(const QColor& colour) {
  if (colour.rgba() == FColour.rgba()) return;
  FColour = QColor::fromRgba(colour.rgba());
  update();
}

void TLED::paintEvent(QPaintEvent*) {
  if (FPicture.isNull()) return;
  // Composed with transparency so that the parent shows outside the circle.
  QImage frame(size(), QImage::Format_ARGB32_Premultiplied);
  frame.fill(Qt::transparent);
  TCanvas canvas(&frame);
  const int w = FPicture.width();
  canvas.SetClipEllipse({0, 0, w + 3, w + 3});
  canvas.Draw(1, 1, FPicture);
  for (int y = 0; y < FPicture.height(); ++y) {
    const auto* line = reinterpret_cast<const QRgb*>(FPicture.constScanLine(y));
    for (int x = 0; x < FPicture.width(); ++x)
      if (line[x] == LitGreen) canvas.SetPixel(x + 1, y + 1, FColour);
  }
  canvas.RemoveClip();
  QPainter(this).drawImage(0, 0, frame);
}
