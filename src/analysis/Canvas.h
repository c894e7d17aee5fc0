// Raster drawing on a 32-bit QImage with the classic pixel rules the displays are laid out in:
// a line from a to b covers a and stops one pixel short of b, rectangles are (left, top, right,
// bottom) with right and bottom exclusive, nothing is antialiased. GUI thread only.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPoint>
#include <QString>

#include <span>
#include <utility>
#include <vector>

struct TRect {
  int Left = 0;
  int Top = 0;
  int Right = 0;   // exclusive
  int Bottom = 0;  // exclusive

  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
  bool IsEmpty() const { return Right <= Left || Bottom <= Top; }
  friend bool operator==(const TRect&, const TRect&) = default;
};

enum TPenStyle { psSolid, psDot };
enum TBrushStyle { bsSolid, bsClear };

class TCanvas {
public:
  // The image must be 32 bits per pixel (RGB32 or ARGB32, premultiplied or not) and must outlive
  // the canvas; it may be reassigned or resized between calls.
  explicit TCanvas(QImage* image);

  QImage* Image() const { return FImage; }

  QColor PenColour() const { return QColor::fromRgb(FPenColour); }
  void SetPenColour(const QColor& colour) { FPenColour = colour.rgb(); }
  TPenStyle PenStyle() const { return FPenStyle; }
  void SetPenStyle(TPenStyle style) { FPenStyle = style; }

  QColor BrushColour() const { return QColor::fromRgb(FBrushColour); }
  void SetBrushColour(const QColor& colour) { FBrushColour = colour.rgb(); }
  TBrushStyle BrushStyle() const { return FBrushStyle; }
  void SetBrushStyle(TBrushStyle style) { FBrushStyle = style; }

  const QFont& Font() const { return FFont; }
  void SetFont(const QFont& font) { FFont = font; }
  QColor FontColour() const { return QColor::fromRgb(FFontColour); }
  void SetFontColour(const QColor& colour) { FFontColour = colour.rgb(); }

  QPoint PenPos() const { return FPenPos; }
  // Restarts the dot pattern: a dotted line begins with a set pixel after every MoveTo.
  void MoveTo(int x, int y);
  // Draws with the pen from the pen position to (x, y), excluding (x, y), then moves there.
  // Consecutive LineTo calls continue one dot pattern.
  void LineTo(int x, int y);
  // Segments through the points as by LineTo, so the last point itself is not drawn; the pen
  // position is left where it was.
  void Polyline(std::span<const QPoint> points);

  // Fills with the brush; nothing with bsClear or an empty (also an inverted) rectangle.
  void FillRect(const TRect& rect);

  void SetPixel(int x, int y, const QColor& colour);
  // The stored pixel, or 0 outside the image.
  QRgb Pixel(int x, int y) const;

  // Text whose top-left corner is (x, y) in the font colour; with bsSolid the text's extent
  // (TextWidth x TextHeight) is filled with the brush colour first.
  void TextOut(int x, int y, const QString& text);
  int TextWidth(const QString& text) const;
  int TextHeight(const QString& text) const;

  // Picture with its top-left corner at (x, y).
  void Draw(int x, int y, const QImage& picture);
  // Source rectangle of a picture into the destination rectangle; unequal sizes are scaled by
  // nearest pixel. The source may be this canvas' own image only if the rectangles do not overlap.
  void CopyRect(const TRect& dest, const QImage& source, const TRect& sourceRect);

  // Restricts every later drawing to the ellipse inscribed in the rectangle: a pixel is inside
  // when its centre is on or inside the ellipse.
  void SetClipEllipse(const TRect& bounds);
  void RemoveClip();
  bool IsVisible(int x, int y) const;

  // A rectangle of the image that holds every pixel drawn since the last ForgetTouched (it may
  // hold more), clipped to the image; empty when nothing was drawn.
  TRect Touched() const { return FTouched; }
  void ForgetTouched() { FTouched = {}; }

private:
  void Touch(long long left, long long top, long long right, long long bottom);
  void Plot(int x, int y, QRgb colour);
  // The visible part [first, last) of row y between left and right.
  std::pair<int, int> VisibleSpan(int y, int left, int right) const;

  QImage* FImage;
  QRgb FPenColour = qRgb(0, 0, 0);
  TPenStyle FPenStyle = psSolid;
  QRgb FBrushColour = qRgb(255, 255, 255);
  TBrushStyle FBrushStyle = bsSolid;
  QFont FFont;
  QRgb FFontColour = qRgb(0, 0, 0);
  QPoint FPenPos;
  long long FDotIndex = 0;

  TRect FTouched;
  bool FClipped = false;
  TRect FClipBounds;
  std::vector<std::pair<int, int>> FClipSpans;  // per row of FClipBounds, [first, last)
};
