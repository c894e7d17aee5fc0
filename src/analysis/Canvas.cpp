#include "Canvas.h"

#include <QFontMetrics>
#include <QPainter>
#include <QRegion>

#include <algorithm>
#include <cstdlib>

TCanvas::TCanvas(QImage* image) : FImage(image) {}

void TCanvas::MoveTo(int x, int y) {
  FPenPos = QPoint(x, y);
  FDotIndex = 0;
}

void TCanvas::LineTo(int x, int y) {
  const long long x0 = FPenPos.x(), y0 = FPenPos.y(), x1 = x, y1 = y;
  FPenPos = QPoint(x, y);
  const long long dx = std::llabs(x1 - x0), dy = std::llabs(y1 - y0);
  const long long steps = std::max(dx, dy);
  const long long firstIndex = FDotIndex;
  FDotIndex += steps;  // the pattern runs on even where nothing is visible
  const long long w = FImage->width(), h = FImage->height();
  if (steps == 0 || (x0 < 0 && x1 < 0) || (x0 >= w && x1 >= w) || (y0 < 0 && y1 < 0) ||
      (y0 >= h && y1 >= h))
    return;
  Touch(std::min(x0, x1), std::min(y0, y1), std::max(x0, x1) + 1, std::max(y0, y1) + 1);
  const long long sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
  const QRgb colour = FPenColour;
  // The image is fetched once per line: per-pixel access through QImage costs more than the
  // pixel itself.
  uchar* const bits = FImage->bits();
  const qsizetype stride = FImage->bytesPerLine();
  const auto put = [&](long long px, long long py) {
    if (px < 0 || py < 0 || px >= w || py >= h) return;
    if (FClipped && !IsVisible(int(px), int(py))) return;
    reinterpret_cast<QRgb*>(bits + py * stride)[px] = colour;
  };
  const bool dotted = FPenStyle == psDot;
  auto on = [&](long long i) { return !dotted || (firstIndex + i) % 2 == 0; };

  if (dx == 0 || dy == 0) {
    // Axis-aligned lines are walked over their visible part only, so far-off end points cost
    // nothing.
    const long long start = dy == 0 ? x0 : y0, step = dy == 0 ? sx : sy, size = dy == 0 ? w : h;
    long long first = step > 0 ? -start : start - size + 1;
    long long last = step > 0 ? size - start : start + 1;
    first = std::max(first, 0LL);
    last = std::min(last, steps);
    for (long long i = first; i < last; ++i) {
      if (!on(i)) continue;
      if (dy == 0)
        put(x0 + sx * i, y0);
      else
        put(x0, y0 + sy * i);
    }
    return;
  }

  long long err = dx - dy, px = x0, py = y0;
  for (long long i = 0; i < steps; ++i) {
    if (on(i)) put(px, py);
    const long long e2 = 2 * err;
    if (e2 > -dy) {
      err -= dy;
      px += sx;
    }
    if (e2 < dx) {
      err += dx;
      py += sy;
    }
  }
}

void TCanvas::Polyline(std::span<const QPoint> points) {
  if (points.empty()) return;
  const QPoint saved = FPenPos;
  MoveTo(points[0].x(), points[0].y());
  for (std::size_t i = 1; i < points.size(); ++i) LineTo(points[i].x(), points[i].y());
  FPenPos = saved;
}

void TCanvas::FillRect(const TRect& rect) {
  if (FBrushStyle == bsClear || rect.IsEmpty()) return;
  Touch(rect.Left, rect.Top, rect.Right, rect.Bottom);
  const int top = std::max(rect.Top, 0), bottom = std::min(rect.Bottom, FImage->height());
  for (int y = top; y < bottom; ++y) {
    const auto [first, last] = VisibleSpan(y, rect.Left, rect.Right);
    if (first >= last) continue;
    auto* line = reinterpret_cast<QRgb*>(FImage->scanLine(y));
    std::fill(line + first, line + last, FBrushColour);
  }
}

void TCanvas::SetPixel(int x, int y, const QColor& colour) { Plot(x, y, colour.rgb()); }

QRgb TCanvas::Pixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= FImage->width() || y >= FImage->height()) return 0;
  return reinterpret_cast<const QRgb*>(FImage->constScanLine(y))[x];
}

int TCanvas::TextWidth(const QString& text) const {
  return QFontMetrics(FFont).horizontalAdvance(text);
}

int TCanvas::TextHeight(const QString&) const { return QFontMetrics(FFont).height(); }

void TCanvas::TextOut(int x, int y, const QString& text) {
  if (FImage->isNull() || text.isEmpty()) return;
  const QFontMetrics metrics(FFont);
  FillRect({x, y, x + metrics.horizontalAdvance(text), y + metrics.height()});
  // Glyphs may reach past their advance; a margin covers what the metrics leave out.
  const QRect glyphs = metrics.boundingRect(text).translated(x, y + metrics.ascent()).adjusted(-2, -2, 2, 2);
  Touch(glyphs.left(), glyphs.top(), glyphs.right() + 1, glyphs.bottom() + 1);

  QFont font = FFont;
  font.setStyleStrategy(QFont::NoAntialias);
  QPainter painter(FImage);
  painter.setRenderHint(QPainter::Antialiasing, false);
  painter.setRenderHint(QPainter::TextAntialiasing, false);
  if (FClipped) {
    QRegion region;
    for (int row = 0; row < int(FClipSpans.size()); ++row) {
      const auto [first, last] = FClipSpans[row];
      if (first < last) region += QRect(first, FClipBounds.Top + row, last - first, 1);
    }
    painter.setClipRegion(region);
  }
  painter.setFont(font);
  painter.setPen(QColor::fromRgb(FFontColour));
  painter.drawText(x, y + metrics.ascent(), text);
}

void TCanvas::Draw(int x, int y, const QImage& picture) {
  if (picture.isNull()) return;
  const QImage source = picture.format() == QImage::Format_RGB32
                            ? picture
                            : picture.convertToFormat(QImage::Format_RGB32);
  CopyRect({x, y, x + source.width(), y + source.height()}, source,
           {0, 0, source.width(), source.height()});
}

void TCanvas::CopyRect(const TRect& dest, const QImage& source, const TRect& sourceRect) {
  if (dest.IsEmpty() || sourceRect.IsEmpty() || source.isNull()) return;
  const QImage src = source.depth() == 32 ? source : source.convertToFormat(QImage::Format_RGB32);
  const long long dw = dest.Width(), dh = dest.Height();
  const long long sw = sourceRect.Width(), sh = sourceRect.Height();
  const int top = std::max(dest.Top, 0), bottom = std::min(dest.Bottom, FImage->height());
  Touch(dest.Left, dest.Top, dest.Right, dest.Bottom);
  if (dw == sw && dh == sh && !FClipped) {
    // Unscaled and unclipped (the spectrogram's ring copy): whole row pieces at a time.
    const int first = std::max({dest.Left, 0, dest.Left - sourceRect.Left});
    const int last = std::min<long long>({dest.Right, FImage->width(),
                                          dest.Left + src.width() - sourceRect.Left});
    if (first >= last) return;
    for (int y = top; y < bottom; ++y) {
      const long long sy = sourceRect.Top + (y - dest.Top);
      if (sy < 0 || sy >= src.height()) continue;
      const auto* from = reinterpret_cast<const QRgb*>(src.constScanLine(int(sy))) +
                         (sourceRect.Left + first - dest.Left);
      auto* to = reinterpret_cast<QRgb*>(FImage->scanLine(y)) + first;
      for (int x = 0; x < last - first; ++x) to[x] = from[x] | 0xff000000u;
    }
    return;
  }
  for (int y = top; y < bottom; ++y) {
    const long long sy = sourceRect.Top + (y - dest.Top) * sh / dh;
    if (sy < 0 || sy >= src.height()) continue;
    const auto* from = reinterpret_cast<const QRgb*>(src.constScanLine(int(sy)));
    const auto [first, last] = VisibleSpan(y, dest.Left, dest.Right);
    if (first >= last) continue;
    auto* to = reinterpret_cast<QRgb*>(FImage->scanLine(y));
    for (int x = first; x < last; ++x) {
      const long long sx = sourceRect.Left + (x - dest.Left) * sw / dw;
      if (sx >= 0 && sx < src.width()) to[x] = from[sx] | 0xff000000u;
    }
  }
}

void TCanvas::SetClipEllipse(const TRect& bounds) {
  FClipped = true;
  FClipBounds = bounds;
  FClipSpans.clear();
  if (bounds.IsEmpty()) return;
  // Integer form of ((2x + 1 - (L + R)) / w)^2 + ((2y + 1 - (T + B)) / h)^2 <= 1, so pixels on
  // the boundary are decided exactly.
  const long long w = bounds.Width(), h = bounds.Height();
  const long long limit = w * w * h * h;
  FClipSpans.reserve(std::size_t(h));
  for (int y = bounds.Top; y < bounds.Bottom; ++y) {
    const long long cy = 2LL * y + 1 - bounds.Top - bounds.Bottom;
    int first = bounds.Right, last = bounds.Left;
    for (int x = bounds.Left; x < bounds.Right; ++x) {
      const long long cx = 2LL * x + 1 - bounds.Left - bounds.Right;
      if (cx * cx * h * h + cy * cy * w * w <= limit) {
        first = std::min(first, x);
        last = x + 1;
      }
    }
    FClipSpans.emplace_back(first, last);
  }
}

void TCanvas::RemoveClip() {
  FClipped = false;
  FClipSpans.clear();
}

bool TCanvas::IsVisible(int x, int y) const {
  const auto [first, last] = VisibleSpan(y, x, x + 1);
  return first < last;
}

void TCanvas::Plot(int x, int y, QRgb colour) {
  if (!IsVisible(x, y)) return;
  Touch(x, y, x + 1, y + 1);
  reinterpret_cast<QRgb*>(FImage->scanLine(y))[x] = colour;
}

void TCanvas::Touch(long long left, long long top, long long right, long long bottom) {
  left = std::max(left, 0LL);
  top = std::max(top, 0LL);
  right = std::min<long long>(right, FImage->width());
  bottom = std::min<long long>(bottom, FImage->height());
  if (right <= left || bottom <= top) return;
  if (FTouched.IsEmpty()) {
    FTouched = {int(left), int(top), int(right), int(bottom)};
    return;
  }
  FTouched = {std::min(FTouched.Left, int(left)), std::min(FTouched.Top, int(top)),
              std::max(FTouched.Right, int(right)), std::max(FTouched.Bottom, int(bottom))};
}

std::pair<int, int> TCanvas::VisibleSpan(int y, int left, int right) const {
  if (y < 0 || y >= FImage->height()) return {0, 0};
  int first = std::max(left, 0), last = std::min(right, FImage->width());
  if (FClipped) {
    if (y < FClipBounds.Top || y >= FClipBounds.Bottom || FClipSpans.empty()) return {0, 0};
    const auto [clipFirst, clipLast] = FClipSpans[std::size_t(y - FClipBounds.Top)];
    first = std::max(first, clipFirst);
    last = std::min(last, clipLast);
  }
  return {first, last};
}
