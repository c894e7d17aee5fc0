// Keeps a window laid out in fixed pixels for its smallest size right when it grows: every
// widget keeps the geometry it was given at its smallest size, plus what its anchor rule takes
// of the growth of its reference (the container, or a widget placed before it). At the smallest
// size every widget is exactly where it was laid out. GUI thread only; pixels.
#pragma once

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QWidget>

#include <vector>

// What one axis of a widget does with its reference's growth d along that axis.
enum class TAnchor {
  Stay,     // keeps its place and size
  Move,     // moves by d (follows the far edge)
  Stretch,  // keeps its near edge, grows by d
  Centre,   // moves by d / 2
};

struct TAnchorRule {
  TAnchor Horizontal = TAnchor::Stay;
  TAnchor Vertical = TAnchor::Stay;
  // Grows by the smaller of the two growths in both directions and is centred in the rest:
  // a plot that must stay as square as it was laid out. The axes' anchors are then ignored.
  bool Square = false;
};

inline constexpr TAnchorRule kAnchorStay{};
inline constexpr TAnchorRule kAnchorDown{TAnchor::Stay, TAnchor::Move};
inline constexpr TAnchorRule kAnchorRightDown{TAnchor::Move, TAnchor::Move};
inline constexpr TAnchorRule kAnchorGrow{TAnchor::Stretch, TAnchor::Stretch};
inline constexpr TAnchorRule kAnchorWiden{TAnchor::Stretch, TAnchor::Stay};
inline constexpr TAnchorRule kAnchorWidenDown{TAnchor::Stretch, TAnchor::Move};
inline constexpr TAnchorRule kAnchorSquare{TAnchor::Stay, TAnchor::Stay, true};

// The geometry of a widget laid out at `original` under `rule` when its reference grew by
// `growth` (right edge, bottom edge).
QRect AnchoredGeometry(const QRect& original, const TAnchorRule& rule, QSize growth);

// The rules of one container, applied in the order added whenever the container is resized.
class TAnchorLayout : public QObject {
  Q_OBJECT

 public:
  // The container's size now is its smallest, the one its widgets were laid out for.
  explicit TAnchorLayout(QWidget* container);

  // Takes the widget's geometry now as its original one. reference: null for the container,
  // else a widget added before, whose right and bottom edges' movement is the growth.
  void Add(QWidget* widget, const TAnchorRule& rule, const QWidget* reference = nullptr);
  bool Contains(const QWidget* widget) const;
  // Places every widget for the container's size now.
  void Apply();
  QSize Growth() const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct TEntry {
    QPointer<QWidget> Widget;
    QRect Original;
    TAnchorRule Rule;
    int Reference;  // index of an earlier entry; -1 for the container
  };
  QSize GrowthOf(int reference) const;

  QWidget* FContainer;
  QSize FOriginalSize;
  std::vector<TEntry> FEntries;
};
