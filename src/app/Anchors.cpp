#include "Anchors.h"

#include <QEvent>

#include "Displays.h"

#include <algorithm>

namespace {

// (offset of the near edge, growth of the length) along one axis.
std::pair<int, int> AxisChange(TAnchor anchor, int d) {
  switch (anchor) {
    case TAnchor::Move: return {d, 0};
    case TAnchor::Stretch: return {0, d};
    case TAnchor::Centre: return {d / 2, 0};
    case TAnchor::Stay: break;
  }
  return {0, 0};
}

}  // namespace

QRect AnchoredGeometry(const QRect& original, const TAnchorRule& rule, QSize growth) {
  const int dx = growth.width(), dy = growth.height();
  if (rule.Square) {
    const int g = std::min(dx, dy);
    return {original.x() + (dx - g) / 2, original.y() + (dy - g) / 2, original.width() + g,
            original.height() + g};
  }
  const auto [x, w] = AxisChange(rule.Horizontal, dx);
  const auto [y, h] = AxisChange(rule.Vertical, dy);
  return {original.x() + x, original.y() + y, original.width() + w, original.height() + h};
}

TAnchorLayout::TAnchorLayout(QWidget* container)
    : QObject(container), FContainer(container), FOriginalSize(container->size()) {
  container->installEventFilter(this);
}

void TAnchorLayout::Add(QWidget* widget, const TAnchorRule& rule, const QWidget* reference) {
  int index = -1;
  if (reference) {
    const auto it = std::find_if(FEntries.begin(), FEntries.end(),
                                 [&](const TEntry& e) { return e.Widget == reference; });
    Q_ASSERT(it != FEntries.end());
    index = static_cast<int>(it - FEntries.begin());
  }
  FEntries.push_back({widget, widget->geometry(), rule, index});
}

bool TAnchorLayout::Contains(const QWidget* widget) const {
  return std::any_of(FEntries.begin(), FEntries.end(),
                     [&](const TEntry& e) { return e.Widget == widget; });
}

QSize TAnchorLayout::Growth() const { return FContainer->size() - FOriginalSize; }

QSize TAnchorLayout::GrowthOf(int reference) const {
  if (reference < 0) return Growth();
  const TEntry& e = FEntries[static_cast<std::size_t>(reference)];
  if (!e.Widget) return {0, 0};
  const QRect now = e.Widget->geometry();
  return {now.right() - e.Original.right(), now.bottom() - e.Original.bottom()};
}

void TAnchorLayout::Apply() {
  for (const TEntry& e : FEntries) {
    if (!e.Widget) continue;
    const QRect place = AnchoredGeometry(e.Original, e.Rule, GrowthOf(e.Reference));
    if (e.Widget->geometry() == place) continue;
    // A display on a page not shown brings its tables and captions up to date at once, not
    // when the page is next opened.
    if (auto* display = qobject_cast<TFlickerlessBorderedCustomControl*>(e.Widget.data()))
      display->SetBounds(place.x(), place.y(), place.width(), place.height());
    else
      e.Widget->setGeometry(place);
  }
}

bool TAnchorLayout::eventFilter(QObject* watched, QEvent* event) {
  if (watched == FContainer && event->type() == QEvent::Resize) Apply();
  return QObject::eventFilter(watched, event);
}
