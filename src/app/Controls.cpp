#include "Controls.h"

#include <QButtonGroup>
#include <QMouseEvent>
#include <QRadioButton>
#include <QStyleOptionTabWidgetFrame>
#include <QStylePainter>
#include <QTabBar>
#include <QToolButton>

#include <algorithm>

int TCompactTabStyle::pixelMetric(PixelMetric metric, const QStyleOption* option,
                                  const QWidget* widget) const {
  if (metric == PM_TabBarTabHSpace) return FHSpace;
  if (metric == PM_TabBarTabVSpace)
    return QProxyStyle::pixelMetric(metric, option, widget) + FExtraVSpace;
  return QProxyStyle::pixelMetric(metric, option, widget);
}

TCompactTabStyle* TCompactTabStyle::Apply(QTabBar* bar, int hspace) {
  auto* style = new TCompactTabStyle(hspace);
  style->setParent(bar);
  bar->setStyle(style);
  return style;
}

TTabControl::TTabControl(QWidget* parent, const QStringList& tabs) : QWidget(parent) {
  FTabBar = new QTabBar(this);
  FTabBar->setObjectName("TabBar");
  FTabBar->setDrawBase(false);
  FTabBar->setExpanding(false);
  TCompactTabStyle::Apply(FTabBar);
  for (const QString& tab : tabs) FTabBar->addTab(tab);
  connect(FTabBar, &QTabBar::currentChanged, this, [this] {
    if (!FSetting) emit Change();
  });
}

int TTabControl::TabIndex() const { return FTabBar->currentIndex(); }

void TTabControl::SetTabIndex(int index) {
  if (index < 0 || index >= FTabBar->count()) return;
  FSetting = true;
  FTabBar->setCurrentIndex(index);
  FSetting = false;
}

void TTabControl::resizeEvent(QResizeEvent*) {
  FTabBar->setGeometry(2, 0, width() - 4, FTabBar->sizeHint().height());
  FTabBar->raise();
}

void TTabControl::paintEvent(QPaintEvent*) {
  QStylePainter painter(this);
  QStyleOptionTabWidgetFrame frame;
  frame.initFrom(this);
  const int overlap = style()->pixelMetric(QStyle::PM_TabBarBaseOverlap, nullptr, this);
  const int top = FTabBar->sizeHint().height() - overlap;
  frame.rect = QRect(0, top, width(), height() - top);
  frame.shape = QTabBar::RoundedNorth;
  frame.tabBarSize = FTabBar->sizeHint();
  frame.tabBarRect = FTabBar->geometry();
  frame.selectedTabRect = FTabBar->tabRect(FTabBar->currentIndex()).translated(FTabBar->pos());
  frame.lineWidth = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
  painter.drawPrimitive(QStyle::PE_FrameTabWidget, frame);
}

TUpDown::TUpDown(QWidget* parent, Qt::Orientation orientation, int min, int max, int position)
    : QWidget(parent), FOrientation(orientation), FMin(min), FMax(max), FPosition(min) {
  FNext = new QToolButton(this);
  FPrev = new QToolButton(this);
  const bool vertical = orientation == Qt::Vertical;
  FNext->setArrowType(vertical ? Qt::UpArrow : Qt::RightArrow);
  FPrev->setArrowType(vertical ? Qt::DownArrow : Qt::LeftArrow);
  for (QToolButton* b : {FNext, FPrev}) {
    b->setAutoRepeat(true);
    b->setFocusPolicy(Qt::NoFocus);
  }
  connect(FNext, &QToolButton::clicked, this, [this] { Press(btNext); });
  connect(FPrev, &QToolButton::clicked, this, [this] { Press(btPrev); });
  SetPosition(position);
}

void TUpDown::SetPosition(int value) { FPosition = std::clamp(value, FMin, std::max(FMin, FMax)); }

void TUpDown::Press(TUDBtnType button) {
  SetPosition(FPosition + (button == btNext ? 1 : -1));
  emit Click(button);
}

void TUpDown::resizeEvent(QResizeEvent*) {
  if (FOrientation == Qt::Vertical) {
    const int half = height() / 2;
    FNext->setGeometry(0, 0, width(), half);
    FPrev->setGeometry(0, half, width(), height() - half);
  } else {
    const int half = width() / 2;
    FPrev->setGeometry(0, 0, half, height());
    FNext->setGeometry(half, 0, width() - half, height());
  }
}

TRadioGroup::TRadioGroup(QWidget* parent, const QString& caption, const QStringList& items,
                         int columns)
    : QGroupBox(caption, parent), FColumns(std::max(1, columns)) {
  FGroup = new QButtonGroup(this);
  for (int i = 0; i < items.size(); ++i) {
    auto* button = new QRadioButton(items[i], this);
    FGroup->addButton(button, i);
    FButtons.push_back(button);
  }
  connect(FGroup, &QButtonGroup::idClicked, this, [this](int id) { SetItemIndex(id); });
}

void TRadioGroup::SetItemIndex(int index) {
  index = std::clamp(index, -1, Count() - 1);
  const bool changed = index != FItemIndex;
  FItemIndex = index;
  if (index < 0) {
    // An exclusive group cannot show "none" otherwise.
    FGroup->setExclusive(false);
    for (QRadioButton* b : FButtons) b->setChecked(false);
    FGroup->setExclusive(true);
  } else {
    FButtons[index]->setChecked(true);
  }
  if (changed) emit Click();
}

void TRadioGroup::resizeEvent(QResizeEvent* event) {
  QGroupBox::resizeEvent(event);
  Arrange();
}

void TRadioGroup::Arrange() {
  if (FButtons.empty()) return;
  const int rows = (Count() + FColumns - 1) / FColumns;
  const int top = 16;
  const int left = 4;
  const int rowHeight = std::max(1, (height() - top - 4) / rows);
  const int room = width() - left - 1;
  // Columns as wide as their longest item when they all fit, so that no text is clipped.
  std::vector<int> widths(FColumns, 0);
  for (int i = 0; i < Count(); ++i)
    widths[i / rows] = std::max(widths[i / rows], FButtons[i]->sizeHint().width());
  int needed = 0;
  for (int w : widths) needed += w;
  if (needed <= room) {
    const int extra = (room - needed) / FColumns;
    for (int& w : widths) w += extra;
  } else {
    std::fill(widths.begin(), widths.end(), room / FColumns);
  }
  for (int i = 0; i < Count(); ++i) {
    const int column = i / rows;
    int x = left;
    for (int c = 0; c < column; ++c) x += widths[c];
    FButtons[i]->setGeometry(x, top + (i % rows) * rowHeight, widths[column],
                             std::min(rowHeight, 20));
  }
}

void TClickLabel::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) FPressed = true;
  QLabel::mousePressEvent(event);
}

void TClickLabel::mouseReleaseEvent(QMouseEvent* event) {
  const bool click = FPressed && event->button() == Qt::LeftButton &&
                     rect().contains(event->position().toPoint());
  FPressed = false;
  QLabel::mouseReleaseEvent(event);
  if (click) emit Click();
}
