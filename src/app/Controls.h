// Small controls the window needs that Qt lacks in this shape: a tab control whose pages are
// one shared area, a bare up-down arrow pair with a clamped position, and a radio group with an
// item index. Values set from code never run the user's handlers, except where noted.
// GUI thread only; coordinates are pixels relative to the parent.
#pragma once

#include <QGroupBox>
#include <QLabel>
#include <QStringList>
#include <QWidget>

#include <vector>

#include <QProxyStyle>

class QButtonGroup;
class QRadioButton;
class QTabBar;
class QToolButton;

// Tabs with less space around their captions, so that a page control's tabs fit its width.
class TCompactTabStyle : public QProxyStyle {
 public:
  explicit TCompactTabStyle(int hspace = 14) : FHSpace(hspace) {}
  int pixelMetric(PixelMetric metric, const QStyleOption* option = nullptr,
                  const QWidget* widget = nullptr) const override;
  // Gives a tab bar this style (owned by the bar); hspace pixels around each caption.
  static TCompactTabStyle* Apply(QTabBar* bar, int hspace = 14);
  // Pixels added above and below a caption: a smaller font keeps the tabs as high as before,
  // so that the pages below them stay where they were.
  void SetExtraVSpace(int pixels) { FExtraVSpace = pixels; }

 private:
  int FHSpace;
  int FExtraVSpace = 0;
};

// Tabs over one bordered area; the owner shows and hides the area's controls in its change
// handler. Child widgets use the control's own coordinates (the tabs take the top rows).
class TTabControl : public QWidget {
  Q_OBJECT
 public:
  TTabControl(QWidget* parent, const QStringList& tabs);

  int TabIndex() const;
  // Selects a tab without emitting Change; an index outside the tabs is ignored.
  void SetTabIndex(int index);
  QTabBar* TabBar() const { return FTabBar; }

 signals:
  // The user chose another tab.
  void Change();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QTabBar* FTabBar;
  bool FSetting = false;
};

enum TUDBtnType { btNext, btPrev };

// Two arrow buttons that step Position within Min .. Max (vertical: up is btNext; horizontal:
// right is btNext). Click fires after every press, also at a limit, as the classic control does.
class TUpDown : public QWidget {
  Q_OBJECT
 public:
  TUpDown(QWidget* parent, Qt::Orientation orientation, int min, int max, int position);

  int Min() const { return FMin; }
  int Max() const { return FMax; }
  int Position() const { return FPosition; }
  // Clamped into Min .. Max; never emits Click.
  void SetPosition(int value);
  // What a press of one of the buttons does: step, then Click.
  void Press(TUDBtnType button);

 signals:
  void Click(TUDBtnType button);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  Qt::Orientation FOrientation;
  int FMin, FMax, FPosition;
  QToolButton* FNext;
  QToolButton* FPrev;
};

// A label that reports a click (left button released over it), as a classic label's OnClick.
class TClickLabel : public QLabel {
  Q_OBJECT
 public:
  using QLabel::QLabel;

 signals:
  void Click();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool FPressed = false;
};

// A captioned group of radio buttons laid out in columns. Changing ItemIndex, by the user or
// from code, emits Click, as the classic control runs its click handler.
class TRadioGroup : public QGroupBox {
  Q_OBJECT
 public:
  TRadioGroup(QWidget* parent, const QString& caption, const QStringList& items, int columns = 1);

  int ItemIndex() const { return FItemIndex; }
  // Clamped to -1 .. items - 1.
  void SetItemIndex(int index);
  QRadioButton* Button(int index) const { return FButtons.at(index); }
  int Count() const { return int(FButtons.size()); }

 signals:
  void Click();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Arrange();
  std::vector<QRadioButton*> FButtons;
  QButtonGroup* FGroup;
  int FColumns;
  int FItemIndex = -1;
};
