// The window at its smallest size and grown: every control where its anchor puts it, nothing
// overlapping or cut off, the displays drawing over their whole new size, and the window's place
// kept from one session to the next.
#include <QGuiApplication>
#include <QScreen>
#include <QTabWidget>

#include <cmath>
#include <map>
#include <set>

#include "AppTestSupport.h"
#include "DisplaySpectrum.h"
#include "Displays.h"
#include "MainForm.h"

namespace {

constexpr QSize kSmallest(789, 465);
constexpr QSize kLarge(1600, 1000);

class WindowGrowthTest : public AppTest {
 protected:
  // Shows the window and, given a size, resizes it.
  void ShowAt(TMainForm& form, std::optional<QSize> size) {
    Store({{"ADCMeasured", true}});
    form.show();
    ASSERT_TRUE(PumpUntil([&] { return form.Shown(); }));
    if (!size) return;
    form.resize(*size);
    PumpFor(30);
    ASSERT_EQ(form.size(), *size);
  }
};

// The controls of one container (the client area or a page) by name, in its coordinates; the
// displays' caption labels too while shown.
std::map<QString, QRect> Places(const QWidget* container) {
  std::map<QString, QRect> places;
  for (const QWidget* w : container->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    if (!w->objectName().isEmpty() && !w->isWindow() && w->isVisibleTo(container))
      places[w->objectName()] = w->geometry();
  return places;
}

std::set<std::pair<QString, QString>> Overlaps(const std::map<QString, QRect>& places) {
  std::set<std::pair<QString, QString>> pairs;
  for (auto a = places.begin(); a != places.end(); ++a)
    for (auto b = std::next(a); b != places.end(); ++b)
      if (a->second.intersects(b->second)) pairs.insert({a->first, b->first});
  return pairs;
}

// The containers the window is made of: the client area, then the analyser's pages.
std::vector<QWidget*> Containers(const TMainForm& form) {
  std::vector<QWidget*> containers{form.centralWidget()};
  auto* pages = form.findChild<QTabWidget*>("PageControlAnalyser");
  for (int i = 0; i < pages->count(); ++i) containers.push_back(pages->widget(i));
  return containers;
}

// Each page's main display, and the controls that keep to its right edge or span its width;
// the rest keep their left edge, moving down when below the display.
struct TPageLayout {
  const char* Page;
  const char* Display;
  bool Square;
  std::set<QString> Right, Widen;
};
const TPageLayout kPages[] = {
    {"TabSheetVectorscope", "VectorScope1", true, {"CheckBoxAGC"}, {}},
    {"TabSheetScope", "WaveformDisplay1", false, {"UpDownTimebase", "LabelTimebase"}, {}},
    {"TabSheetSpectrum", "SpectrumDisplay1", false, {"RadioGroupInChannel"},
     {"LabelSpectrumPeaks"}},
    {"TabSheetResponse", "ResponsePlot1", false,
     {"ButtonLoadLeft", "ButtonClearLeft", "CheckBoxLeftIsRef"}, {"LabelResponseTiming"}},
    {"TabSheetDistortion", "DistortionDisplay1", false, {"ButtonDistortionGenerator"}, {}},
    {"TabSheetImpulse", "ImpulseDisplay1", false, {}, {"LabelImpulseDelay"}},
};

TEST_F(WindowGrowthTest, ControlsFollowTheirAnchorsAndNothingOverlapsOrLeavesTheWindow) {
  TMainForm form;
  ShowAt(form, kSmallest);
  EXPECT_EQ(form.minimumSize().expandedTo(form.minimumSizeHint()), kSmallest);
  EXPECT_EQ(form.centralWidget()->size(), QSize(789, 447));
  auto* pages = Find<QTabWidget>(&form, "PageControlAnalyser");
  // Every page once in front, so that each display has placed its captions.
  std::map<QWidget*, std::map<QString, QRect>> before;
  for (int i = 0; i < pages->count(); ++i) pages->setCurrentIndex(i);
  for (QWidget* c : Containers(form)) before[c] = Places(c);
  EXPECT_EQ(before[form.centralWidget()]["LabelBackend"], QRect(536, 416, 164, 25));

  form.resize(kLarge);
  PumpFor(30);
  ASSERT_EQ(form.size(), kLarge);
  const int dx = kLarge.width() - kSmallest.width(), dy = kLarge.height() - kSmallest.height();
  QWidget* client = form.centralWidget();
  ASSERT_EQ(client->size(), QSize(789 + dx, 447 + dy));
  const auto& was = before[client];
  const auto now = Places(client);
  for (const auto& [name, rect] : was) {
    QRect expected = rect;
    if (name == "PageControlAnalyser") expected.adjust(0, 0, dx, dy);
    else if (name == "ButtonClose") expected.translate(dx, dy);
    else if (name == "LabelBackend") expected.adjust(0, dy, dx, dy);
    else if (rect.top() >= 416) expected.translate(0, dy);  // the bottom row
    else EXPECT_LT(rect.right(), 296) << name.toStdString() << ": only the generator is left";
    EXPECT_EQ(now.at(name), expected) << name.toStdString();
  }

  for (const TPageLayout& p : kPages) {
    auto* page = Find<QWidget>(&form, p.Page);
    pages->setCurrentWidget(page);
    PumpFor(10);
    const auto& old = before[page];
    const auto places = Places(page);
    const QRect display = old.at(p.Display);
    // The display grows by the window's growth; the vector scope by the smaller growth in both
    // directions, centred in the rest of the width.
    const int g = std::min(dx, dy);
    const QRect grown = p.Square ? QRect(display.x() + (dx - g) / 2, display.y(),
                                         display.width() + g, display.height() + g)
                                 : display.adjusted(0, 0, dx, dy);
    EXPECT_EQ(places.at(p.Display), grown) << p.Display;
    const int right = grown.right() - display.right(), down = grown.bottom() - display.bottom();
    for (const auto& [name, rect] : old) {
      if (name == p.Display || name.startsWith(QString(p.Display) + "_")) continue;
      // At the display's lower part or under it: follows its bottom edge.
      const bool below = rect.top() > display.center().y();
      QRect expected = rect.translated(p.Right.count(name) ? right : 0, below ? down : 0);
      if (p.Widen.count(name)) expected.setRight(expected.right() + right);
      EXPECT_EQ(places.at(name), expected) << name.toStdString() << " on " << p.Page;
    }
  }

  // Nothing new overlaps; nothing leaves its page or the window. The captions count too: one
  // left behind by its display would lie over the display's grown picture.
  for (QWidget* c : Containers(form)) {
    if (c != client) pages->setCurrentWidget(c);
    PumpFor(10);
    const auto places = Places(c);
    const auto overlaps = Overlaps(places), allowed = Overlaps(before[c]);
    for (const auto& pair : overlaps)
      EXPECT_TRUE(allowed.count(pair)) << pair.first.toStdString() << " over "
                                       << pair.second.toStdString() << " on "
                                       << c->objectName().toStdString();
    for (const auto& [name, rect] : places)
      EXPECT_TRUE(QRect(QPoint(0, 0), c->size()).contains(rect))
          << name.toStdString() << " leaves " << c->objectName().toStdString();
  }
}

// Pixels of a display's picture as it is on the screen.
QImage Picture(QWidget* display) { return display->grab().toImage(); }

bool IsColour(const QImage& image, int x, int y, QColor colour) {
  return image.pixelColor(x, y) == colour;
}

TEST_F(WindowGrowthTest, DisplaysDrawOverTheirWholeSizeAndTheirCaptionsFollow) {
  const QColor green(0, 255, 0), blue(0, 0, 255);
  for (QSize size : {kSmallest, kLarge}) {
    SCOPED_TRACE(QString("%1 x %2").arg(size.width()).arg(size.height()).toStdString());
    TMainForm form;
    ShowAt(form, size);
    auto* pages = Find<QTabWidget>(&form, "PageControlAnalyser");
    const int dx = size.width() - kSmallest.width(), dy = size.height() - kSmallest.height();

    // The third-octave grid: ten columns across the whole width, level lines to the right edge.
    auto* spectrum = Find<TSpectrumDisplay>(&form, "SpectrumDisplay1");
    ASSERT_EQ(spectrum->size(), QSize(443 + dx, 258 + dy));
    const QImage s = Picture(spectrum);
    const int w = spectrum->W(), h = spectrum->H();
    for (int j = 1; j <= 10; ++j) {
      const int x = (2 * j - 1) * w / 20 + 1;
      for (int y : {2, h / 2, h})
        EXPECT_TRUE(IsColour(s, x, y, green)) << "octave line " << j << " at " << x << ", " << y;
    }
    // -10 dB is the top line, -90 dB the bottom one.
    for (int y : {1, h})
      for (int x : {2, w / 2, w})
        EXPECT_TRUE(IsColour(s, x, y, green)) << "level line at " << x << ", " << y;
    // The last frequency caption under the last column.
    auto* last = Find<QLabel>(spectrum->parentWidget(), "SpectrumDisplay1_X10");
    EXPECT_TRUE(last->isVisible());
    EXPECT_EQ(last->text(), "16KHz");
    EXPECT_NEAR(last->geometry().center().x(), spectrum->x() + 1 + 19 * w / 20, 1);
    EXPECT_EQ(last->y(), spectrum->geometry().bottom() + 5);

    // The scope: a sweep of 10 ms per division drawn across the whole width, its grid too.
    pages->setCurrentIndex(1);
    auto* scope = Find<TWaveformDisplay>(&form, "WaveformDisplay1");
    ASSERT_EQ(scope->size(), QSize(443 + dx, 257 + dy));
    std::vector<int16_t> block(2 * 4410);
    for (std::size_t i = 0; i < block.size(); i += 2)
      block[i] = static_cast<int16_t>(std::lrint(3000 * std::sin(i / 2 * 2 * M_PI * 400 / 44100)));
    bool go = true;
    scope->ProcessSamples(block.data(), 4410, go);
    const QImage t = Picture(scope);
    const int sw = scope->W();
    auto traceIn = [&](int from, int to) {
      for (int x = from; x <= to; ++x)
        for (int y = 1; y <= scope->H(); ++y)
          if (IsColour(t, x, y, blue)) return true;
      return false;
    };
    EXPECT_TRUE(traceIn(1, 4)) << "the trace starts at the left edge";
    EXPECT_TRUE(traceIn(sw - 3, sw)) << "the trace reaches the right edge";
    EXPECT_TRUE(IsColour(t, 9 * sw / 10 + 1, scope->H() / 3, green)) << "the last grid column";
    auto* lastTime = Find<QLabel>(scope->parentWidget(), "WaveformDisplay1_X10");
    EXPECT_EQ(lastTime->text(), "100ms");
    EXPECT_NEAR(lastTime->geometry().center().x(), scope->geometry().left() + sw, 1);
  }
}

TEST_F(WindowGrowthTest, KeptPlaceOnTheScreensOrNone) {
  const QSize minimum = kSmallest;
  const QList<QRect> screens{{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}};
  const struct {
    const char* name;
    QRect kept;
    std::optional<QRect> placed;
  } cases[] = {
      {"on the first screen", {100, 80, 1200, 800}, QRect(100, 80, 1200, 800)},
      {"on the second screen", {2000, 100, 900, 600}, QRect(2000, 100, 900, 600)},
      {"smaller than the smallest", {10, 10, 300, 200}, QRect(10, 10, 789, 465)},
      {"mostly off the left edge, its top right on screen", {-700, 0, 800, 500},
       QRect(-700, 0, 800, 500)},
      {"only 50 pixels of its top on screen", {-750, 0, 800, 500}, std::nullopt},
      {"its top above every screen", {100, -480, 800, 500}, std::nullopt},
      {"right of the last screen", {3300, 100, 800, 500}, std::nullopt},
      {"below the second screen", {2000, 1030, 800, 500}, std::nullopt},
      {"no width", {100, 100, 0, 500}, std::nullopt},
      {"absurd numbers", {100, 100, 1 << 30, 500}, std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(KeptWindowPlace(c.kept, minimum, screens), c.placed) << c.name;
}

TEST_F(WindowGrowthTest, PlaceSizeAndMaximisedRoundTripThroughTheSettings) {
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  const struct {
    const char* name;
    QRect set;        // the window's place in the first session
    bool maximise;
    QRect reopened;   // its normal place in the second
  } cases[] = {
      {"moved and grown", {40, 30, 1000, 520}, false, {40, 30, 1000, 520}},
      {"maximised", {20, 10, 900, 500}, true, {20, 10, 900, 500}},
  };
  for (const auto& c : cases) {
    {
      TMainForm form;
      ShowAt(form, kSmallest);
      form.setGeometry(c.set);
      if (c.maximise) form.showMaximized();
      PumpFor(30);
      form.close();
    }
    EXPECT_EQ(Stored("WindowLeft").toInt(), c.set.x()) << c.name;
    EXPECT_EQ(Stored("WindowTop").toInt(), c.set.y()) << c.name;
    EXPECT_EQ(Stored("WindowWidth").toInt(), c.set.width()) << c.name;
    EXPECT_EQ(Stored("WindowHeight").toInt(), c.set.height()) << c.name;
    EXPECT_EQ(Stored("WindowMaximised").toBool(), c.maximise) << c.name;
    TMainForm form;
    ShowAt(form, std::nullopt);
    EXPECT_EQ(form.isMaximized(), c.maximise) << c.name;
    EXPECT_EQ(form.normalGeometry(), c.reopened) << c.name;
    if (c.maximise) EXPECT_EQ(form.frameGeometry(), screen) << c.name;
  }

  // Kept off every screen: the smallest size, centred, as on a first start.
  Store({{"WindowLeft", screen.right() + 100}, {"WindowTop", 10}, {"WindowWidth", 900},
         {"WindowHeight", 500}, {"WindowMaximised", false}});
  TMainForm form;
  ShowAt(form, std::nullopt);
  EXPECT_EQ(form.size(), kSmallest);
  EXPECT_EQ(form.frameGeometry().center(), screen.center());
}

}  // namespace
