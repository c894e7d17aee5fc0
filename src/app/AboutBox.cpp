#include "AboutBox.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "Help.h"
#include "Messages.h"
#include "Version.h"
#include "resources/quorvane.xpm"

QString CommentsLine(const QString& comments) {
  if (!comments.isEmpty() && comments.front().isDigit())
    return QStringLiteral("Release date: ") + comments;
  return comments;
}

QString VersionText() {
  return QString::asprintf("%d.%d.%d.%d", QUORVANE_VERSION_MAJOR, QUORVANE_VERSION_MINOR,
                           QUORVANE_VERSION_PATCH, QUORVANE_VERSION_TWEAK);
}

QIcon ProgramIcon() { return QIcon(QPixmap(quorvane_xpm)); }

TUrlLabel::TUrlLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
  setCursor(Qt::PointingHandCursor);
  QFont f = font();
  f.setUnderline(true);
  setFont(f);
  QPalette p = palette();
  p.setColor(QPalette::WindowText, QColor(0, 0, 255));
  setPalette(p);
}

void TUrlLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
    emit Clicked();
  QLabel::mouseReleaseEvent(event);
}

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
  setObjectName("AboutBox");
  setWindowTitle(QStringLiteral("About ") + QStringLiteral(QUORVANE_PRODUCT_NAME));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);

  auto* icon = new QLabel(this);
  icon->setObjectName("ProgramIcon");
  icon->setPixmap(QPixmap(quorvane_xpm));
  icon->setFixedSize(icon->pixmap().size());

  auto* product = new QLabel(QStringLiteral(QUORVANE_PRODUCT_NAME), this);
  product->setObjectName("ProductName");
  QFont big = product->font();
  big.setPointSizeF(big.pointSizeF() * 1.6);
  big.setBold(true);
  product->setFont(big);
  auto* version = new QLabel(QStringLiteral("Version ") + VersionText(), this);
  version->setObjectName("Version");
  auto* copyright = new QLabel(QString::fromUtf8(QUORVANE_LEGAL_COPYRIGHT), this);
  copyright->setObjectName("Copyright");
  auto* comments = new QLabel(CommentsLine(QStringLiteral(QUORVANE_COMMENTS)), this);
  comments->setObjectName("Comments");
  LabelWebAddress = new TUrlLabel(QStringLiteral(QUORVANE_WEB_ADDRESS), this);
  LabelWebAddress->setObjectName("LabelWebAddress");
  connect(LabelWebAddress, &TUrlLabel::Clicked, this, &TAboutBox::WebAddressClick);

  auto* ok = new QPushButton("OK", this);
  ok->setObjectName("OKButton");
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* texts = new QVBoxLayout;
  for (QWidget* w : {static_cast<QWidget*>(product), static_cast<QWidget*>(version),
                     static_cast<QWidget*>(copyright), static_cast<QWidget*>(comments),
                     static_cast<QWidget*>(LabelWebAddress)})
    texts->addWidget(w);
  auto* top = new QHBoxLayout;
  top->addWidget(icon, 0, Qt::AlignTop);
  top->addSpacing(12);
  top->addLayout(texts, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addStretch();
  auto* all = new QVBoxLayout(this);
  all->addLayout(top);
  all->addSpacing(8);
  all->addLayout(buttons);
  all->setSizeConstraint(QLayout::SetFixedSize);
}

void TAboutBox::WebAddressClick() {
  const QUrl url = WebAddressUrl(LabelWebAddress->text());
  if (!OpenUrl(url))
    ShowMessage("No web browser could be started for " + url.toString().toStdString());
}
