// The about box and the Help menu's manual, with the browser replaced by a recorder.
#include <QAction>
#include <QFile>
#include <QLabel>
#include <QMouseEvent>

#include "AboutBox.h"
#include "AppTestSupport.h"
#include "MainForm.h"
#include "Version.h"

namespace {

using AboutHelpTest = AppTest;

QString LabelText(const QObject& box, const char* name) {
  auto* label = box.findChild<QLabel*>(name);
  return label ? label->text() : QString("<missing %1>").arg(name);
}

void ClickLabel(QWidget* label) {
  const QPointF at(2, 2);
  QMouseEvent press(QEvent::MouseButtonPress, at, label->mapToGlobal(at), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QMouseEvent release(QEvent::MouseButtonRelease, at, label->mapToGlobal(at), Qt::LeftButton,
                      Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(label, &press);
  QCoreApplication::sendEvent(label, &release);
}

TEST_F(AboutHelpTest, AboutBoxShowsTheVersionResource) {
  TAboutBox box;
  EXPECT_EQ(box.windowTitle(), "About Zelk");
  EXPECT_EQ(LabelText(box, "ProductName"), "Zelk");
  EXPECT_EQ(LabelText(box, "Version"), QString("Version %1.%2.%3.%4")
                                           .arg(QUORVANE_VERSION_MAJOR)
                                           .arg(QUORVANE_VERSION_MINOR)
                                           .arg(QUORVANE_VERSION_PATCH)
                                           .arg(QUORVANE_VERSION_TWEAK));
  EXPECT_EQ(LabelText(box, "Copyright"), QString::fromUtf8("Copyright © 2026 Brackwell Systems"));
  EXPECT_EQ(LabelText(box, "Comments"), "Release date: " QUORVANE_COMMENTS);
  EXPECT_EQ(box.findChild<QLabel*>("ProgramIcon")->pixmap().size(), QSize(64, 64));
  EXPECT_FALSE(ProgramIcon().isNull());

  auto* web = box.findChild<QLabel*>("LabelWebAddress");
  ASSERT_NE(web, nullptr);
  EXPECT_EQ(web->text(), "www.brackwell.example");
  ClickLabel(web);
  ASSERT_EQ(urls.size(), 1u);
  EXPECT_EQ(urls[0], QUrl("https://www.brackwell.example"));

  openerWorks = false;
  ClickLabel(web);
  EXPECT_EQ(recorder.messages,
            std::vector<std::string>{
                "No web browser could be started for https://www.brackwell.example"});
}

TEST_F(AboutHelpTest, CommentsAndWebAddressesAreCompletedOnlyWhenNeeded) {
  EXPECT_EQ(CommentsLine("2026-12-08"), "Release date: 2026-12-08");
  EXPECT_EQ(CommentsLine("Beta 3"), "Beta 3");
  EXPECT_EQ(CommentsLine(""), "");
  EXPECT_EQ(WebAddressUrl("www.brackwell.example"), QUrl("https://www.brackwell.example"));
  EXPECT_EQ(WebAddressUrl(" http://brackwell.example/a "), QUrl("http://brackwell.example/a"));
}

TEST_F(AboutHelpTest, HelpMenuOpensTheManualAtItsContentsAndIndex) {
  TMainForm form;
  form.findChild<QAction*>("Contents1")->trigger();
  form.findChild<QAction*>("Index1")->trigger();
  ASSERT_EQ(urls.size(), 2u);
  EXPECT_TRUE(urls[0].isLocalFile());
  EXPECT_EQ(urls[0].fragment(), "contents");
  EXPECT_EQ(urls[1].fragment(), "index");
  EXPECT_EQ(urls[0].adjusted(QUrl::RemoveFragment), urls[1].adjusted(QUrl::RemoveFragment));

  // The anchors the menu asks for exist in the manual.
  QFile manual(urls[0].toLocalFile());
  ASSERT_TRUE(manual.open(QIODevice::ReadOnly)) << urls[0].toString().toStdString();
  const QString html = QString::fromUtf8(manual.readAll());
  EXPECT_TRUE(html.contains(R"(id="contents")"));
  EXPECT_TRUE(html.contains(R"(id="index")"));

  openerWorks = false;
  form.findChild<QAction*>("Contents1")->trigger();
  ASSERT_EQ(recorder.messages.size(), 1u);
  EXPECT_EQ(recorder.messages[0],
            "No web browser could be started to show the user manual:\r" +
                urls[0].toLocalFile().toStdString());
}

}  // namespace
