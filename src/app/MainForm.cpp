#include "MainForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLayout>
#include <QMenuBar>
#include <QScreen>
#include <QSettings>
#include <QTabWidget>
#include <QTimer>

#include <utility>

#include "AboutBox.h"
#include "Anchors.h"
#include "AudioAnalyser.h"
#include "AudioDevice.h"
#include "DisplayResponse.h"
#include "DisplaySpectrum.h"
#include "Displays.h"
#include "DistortionPage.h"
#include "FileDialogs.h"
#include "Help.h"
#include "ImpulsePage.h"
#include "LED.h"
#include "MeasureOffsetForm.h"
#include "SweepGenerator.h"
#include "Messages.h"
#include "ToneGenerator.h"
#include "Version.h"
#include "Widgets.h"

namespace {
const QColor kBrightGreen(0, 255, 0);
const QColor kGreen(0, 128, 0);
const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);
const QColor kYellow(255, 255, 0);

// Qt shows a line break as a newline; the texts keep the classic carriage return.
QString Hint(const QString& text) {
  QString hint = text;
  return hint.replace(QLatin1Char('\r'), QLatin1Char('\n'));
}
}  // namespace

QFont LayoutFont() {
  QFont font = QApplication::font();
  font.setPixelSize(11);
  return font;
}

QString TMainForm::TitleTail() {
  return QStringLiteral("free software from ") + QStringLiteral(QUORVANE_WEB_DOMAIN);
}

QString TMainForm::Caption() {
  return QStringLiteral("Zelk  -  ") + TitleTail() + QStringLiteral("  -  V") + VersionText();
}

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent) {
  setObjectName("MainForm");
  setWindowIcon(ProgramIcon());
  setFont(LayoutFont());
  auto* client = new QWidget(this);
  client->setObjectName("ClientArea");
  // Laid out in pixels for this size, the smallest and the default; the analyser grows.
  client->setMinimumSize(789, 447);
  client->resize(789, 447);
  setCentralWidget(client);
  CreateMenus();
  CreateGeneratorPanel(client);
  CreateAnalyserPanel(client);
  CreateBottomRow(client);
  CreateAnchors(client);
  CreateComponents();
  resize(minimumSizeHint());

  setWindowTitle(Caption());
  SpinEditUserF2->setMaximum(FToneGenerator->SampleRate() / 2);
  ReadSettings();
  TrackBarFLeft->setValue(2900);
  TrackBarFRight->setValue(2900);
  {
    QSignalBlocker quiet(PageControlAnalyser);
    PageControlAnalyser->setCurrentWidget(TabSheetSpectrum);
  }
  CreateLevelScale();
  ColourChannelLabels();
  PlaceRangeLabels();

  FFormMeasureOffset = new TFormMeasureOffset(this);
  FFormMeasureOffset->setFont(font());
  FAboutBox = new TAboutBox(this);
}

TMainForm::~TMainForm() {
  StopAudio();
  // The lamps go before the components do; their events must not reach them.
  FToneGenerator->SetOnOpen(nullptr);
  FToneGenerator->SetOnClose(nullptr);
  FAnalyser->SetOnOpen(nullptr);
  FAnalyser->SetOnClose(nullptr);
  ResponsePlot1->SetOnSweepOpen(nullptr);
  ResponsePlot1->SetOnSweepClose(nullptr);
}

void TMainForm::CreateMenus() {
  QMenu* file = menuBar()->addMenu("&File");
  file->setObjectName("File1");
  ReplayWAVFile1 =
      file->addAction("Replay WAV file ...", this, Guard(&TMainForm::ReplayWAVFile1Click));
  ReplayWAVFile1->setObjectName("ReplayWAVFile1");
  SoundDevices1 = file->addAction("Sound devices ...", this, Guard(&TMainForm::SoundDevices1Click));
  SoundDevices1->setObjectName("SoundDevices1");
  ExportPicture1 = file->addAction("Export picture ...", this, Guard(&TMainForm::ExportPicture1Click));
  ExportPicture1->setObjectName("ExportPicture1");
  ExportData1 = file->addAction("Export data ...", this, Guard(&TMainForm::ExportData1Click));
  ExportData1->setObjectName("ExportData1");
  LoadCalibration1 = file->addAction("Load calibration ...", this, Guard(&TMainForm::LoadCalibration1Click));
  LoadCalibration1->setObjectName("LoadCalibration1");
  NoCalibration1 = file->addAction("No calibration", this, Guard(&TMainForm::NoCalibration1Click));
  NoCalibration1->setObjectName("NoCalibration1");
  NoCalibration1->setEnabled(false);
  file->addSeparator();
  Exit1 = file->addAction("E&xit", this, &QWidget::close);
  Exit1->setObjectName("Exit1");
  Exit1->setShortcut(QKeySequence::Quit);
  QMenu* measure = menuBar()->addMenu("&Measure");
  measure->setObjectName("Measure1");
  SoundCardTest1 = measure->addAction("Sound card test ...", this, Guard(&TMainForm::SoundCardTest1Click));
  SoundCardTest1->setObjectName("SoundCardTest1");
  QMenu* help = menuBar()->addMenu("&Help");
  help->setObjectName("Help1");
  Contents1 = help->addAction("&Contents", this, &TMainForm::Contents1Click);
  Contents1->setObjectName("Contents1");
  Contents1->setShortcut(QKeySequence::HelpContents);
  Index1 = help->addAction("&Index", this, &TMainForm::Index1Click);
  Index1->setObjectName("Index1");
  help->addSeparator();
  About1 = help->addAction("&About", this, &TMainForm::About1Click);
  About1->setObjectName("About1");
}

void TMainForm::CreateBottomRow(QWidget* client) {
  ButtonSaveAs = MakeButton(client, "ButtonSaveAs", "Save as ...", 8, 416, 81, 25);
  ButtonStartGenerator =
      MakeButton(client, "ButtonStartGenerator", "Start Generator", 104, 416, 105, 25);
  ButtonStartGenerator->setDefault(true);
  LEDgenerator = new TLED(client);
  LEDgenerator->setObjectName("LEDgenerator");
  LEDgenerator->move(216, 420);
  LEDgenerator->SetColour(kGreen);
  CheckBoxEnableAnalyser = MakeCheckBox(client, "CheckBoxEnableAnalyser",
                                        "----> and start analyser", 256, 416, 148, 25);
  CheckBoxEnableAnalyser->setToolTip("Check for simultaneous generation and analysis");
  ButtonStartAnalyser =
      MakeButton(client, "ButtonStartAnalyser", "Start Analyser", 408, 416, 97, 25);
  LEDanalyser = new TLED(client);
  LEDanalyser->setObjectName("LEDanalyser");
  LEDanalyser->move(512, 420);
  LEDanalyser->SetColour(kGreen);
  ButtonClose = MakeButton(client, "ButtonClose", "&Close", 704, 416, 81, 25);

  // Filled once the window is shown: the backend is chosen meanwhile.
  LabelBackend = MakeLabel(client, "LabelBackend", "", 536, 416, 164, 25);
  LabelBackend->setAlignment(Qt::AlignCenter);

  connect(ButtonStartGenerator, &QPushButton::clicked, this,
          Guard(&TMainForm::ButtonStartGeneratorClick));
  connect(ButtonStartAnalyser, &QPushButton::clicked, this,
          Guard(&TMainForm::ButtonStartAnalyserClick));
  connect(ButtonSaveAs, &QPushButton::clicked, this, Guard(&TMainForm::ButtonSaveAsClick));
  connect(CheckBoxEnableAnalyser, &QCheckBox::toggled, this,
          Guard(&TMainForm::CheckBoxEnableAnalyserClick));
  connect(ButtonClose, &QPushButton::clicked, this, &QWidget::close);
}

void TMainForm::CreateAnchors(QWidget* client) {
  FAnchors = new TAnchorLayout(client);
  // The generator panel keeps its place. The bottom row follows the bottom edge, the sound
  // label takes the extra width (device names are long) and Close keeps to the right edge.
  for (QWidget* w : std::initializer_list<QWidget*>{ButtonSaveAs, ButtonStartGenerator,
                                                    LEDgenerator, CheckBoxEnableAnalyser,
                                                    ButtonStartAnalyser, LEDanalyser})
    FAnchors->Add(w, kAnchorDown);
  FAnchors->Add(LabelBackend, kAnchorWidenDown);
  FAnchors->Add(ButtonClose, kAnchorRightDown);
  FAnchors->Add(PageControlAnalyser, kAnchorGrow);

  // Each page's display grows with the page control; every other control of the page follows
  // the display's edges by the page's rule for the rest, unless named with a rule of its own
  // (readouts above a display stretch, controls beside it go right).
  struct TOwnRule {
    const char* Name;
    TAnchorRule Rule;
  };
  struct TPageRules {
    QWidget* Page;
    QWidget* Display;
    TAnchorRule DisplayRule;
    TAnchorRule Rest;
    std::vector<TOwnRule> Own;
  };
  const TPageRules pages[] = {
      // The vector scope stays as square as it was and keeps to the page's middle; AGC stays
      // at its lower right corner.
      {TabSheetVectorscope, VectorScope1, kAnchorSquare, kAnchorRightDown, {}},
      {TabSheetScope, WaveformDisplay1, kAnchorGrow, kAnchorDown,
       {{"UpDownTimebase", kAnchorRightDown}, {"LabelTimebase", kAnchorRightDown}}},
      {TabSheetSpectrum, SpectrumDisplay1, kAnchorGrow, kAnchorDown,
       {{"LabelSpectrumMarker", kAnchorStay},
        {"LabelSpectrumPeaks", kAnchorWiden},
        {"UpDownSpectMax", kAnchorStay},
        {"RadioGroupInChannel", kAnchorRightDown}}},
      {TabSheetResponse, ResponsePlot1, kAnchorGrow, kAnchorDown,
       {{"LabelResponseMarker", kAnchorStay},
        {"LabelResponseTiming", kAnchorWiden},
        {"UpDownResponseMax", kAnchorStay},
        {"ButtonLoadLeft", kAnchorRightDown},
        {"ButtonClearLeft", kAnchorRightDown},
        {"CheckBoxLeftIsRef", kAnchorRightDown}}},
      {TabSheetDistortion, DistortionDisplay1, kAnchorGrow, kAnchorDown,
       {{"ButtonDistortionGenerator", kAnchorRightDown}}},
      {TabSheetImpulse, ImpulseDisplay1, kAnchorGrow, kAnchorDown,
       {{"LabelImpulseMarker", kAnchorStay}, {"LabelImpulseDelay", kAnchorWiden}}},
  };
  for (const TPageRules& p : pages) {
    FAnchors->Add(p.Display, p.DisplayRule, PageControlAnalyser);
    for (QWidget* w : p.Page->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (w == p.Display) continue;
      TAnchorRule rule = p.Rest;
      for (const TOwnRule& own : p.Own)
        if (w->objectName() == QLatin1String(own.Name)) rule = own.Rule;
      FAnchors->Add(w, rule, p.Display);
    }
  }
  // The input controls keep their places: the mixer sizes itself to the devices it finds.
}

void TMainForm::ShowBackend() {
  // Whoever measures must see when the sound card is a simulation.
  const std::string backend = AudioBackend().Name();
  QFont font = LabelBackend->font();
  font.setBold(backend == "simulated");
  LabelBackend->setFont(font);
  if (backend == "simulated") {
    SetTextColour(LabelBackend, QColor(192, 0, 0));
    FBackendCaption = "Simulated sound card";
    FBackendHint =
        SimulatedCardStandsIn()
            ? QString("No sound device was found (%1): a built-in model of a sound card with a "
                      "device under test stands in.")
                  .arg(QString::fromStdString(BackendNote()))
            : QString("The built-in model of a sound card with a device under test is in use.");
  } else {
    SetTextColour(LabelBackend, palette().color(QPalette::WindowText));
    const QString out = QString::fromStdString(OutputDeviceName());
    const QString in = QString::fromStdString(InputDeviceName());
    // The line is short: the devices' own names; the hint has them with their host API.
    auto shortName = [](const std::string& key) {
      std::string name;
      return QString::fromStdString(ParseDeviceKey(key, nullptr, &name) ? name : key);
    };
    FBackendCaption = out == in ? QString("Sound: %1").arg(shortName(out.toStdString()))
                                : QString("Out: %1  In: %2").arg(shortName(out.toStdString()), shortName(in.toStdString()));
    FBackendHint = QString("Output: %1\nInput: %2\nLatency: %3").arg(out, in, LatencyName(CurrentDeviceChoice().latency));
    if (FRoundTripMs > 0) FBackendHint += QString(" (round trip %1 ms)").arg(FRoundTripMs, 0, 'f', 0);
  }
  FBackendPalette = LabelBackend->palette();
  ShowStatus();
}

void TMainForm::CreateComponents() {
  FToneGenerator = new TAudioToneGenerator(this);
  FToneGenerator->setObjectName("ToneGenerator");
  FToneGenerator->SetBufferSamples(16384);
  FToneGenerator->SetOnOpen([this](QObject*) { LEDgenerator->SetColour(kBrightGreen); });
  FToneGenerator->SetOnClose([this](QObject*) {
    LEDgenerator->SetColour(kGreen);
    ShowGeneratorState();  // also when the device failed by itself
  });

  FAnalyser = new TBasicAudioAnalyser(this);
  FAnalyser->setObjectName("Analyser");
  // The scope sizes its source's blocks; the analyser starts with the spectrum's length.
  WaveformDisplay1->SetSource(FAnalyser);
  WaveformDisplay1->SetTimebase(wtb__10ms);
  SpectrumDisplay1->SetSource(FAnalyser);
  SpectrumDisplay1->SetMaxdB(-10);
  SpectrumDisplay1->SetMindB(-90);
  SpectrumDisplay1->SetMode(sdOctave3);
  SpectrumDisplay1->SetChannelSelect(csSum);
  SpectrumDisplay1->SetMonochromeSpectrogram(false);
  SpectrumDisplay1->SetFreqMin(0);
  SpectrumDisplay1->SetFreqMax(22050);
  SpectrumDisplay1->SetHumReject(false);
  FAnalyser->SetBufferSamples(4096);
  FAnalyser->SetAutoStart(true);
  FAnalyser->IgnoreFileSampleRate = false;
  FAnalyser->SetOnOpen([this](QObject*) {
    LEDanalyser->SetColour(kBrightGreen);
    if (!FReplayedFile.isEmpty()) {  // live input again
      FReplayedFile.clear();
      ShowStatus();
    }
    ShowAnalyserState();  // also when a display restarted the capture by itself
  });
  FAnalyser->SetOnClose([this](QObject*) {
    LEDanalyser->SetColour(kGreen);
    ShowAnalyserState();
  });
  FAnalyser->SetDisplay(SpectrumDisplay1);
  ResponsePlot1->SetOnSweepOpen([this](QObject*) { ResponsePlot1SweepOpen(); });
  ResponsePlot1->SetOnSweepClose([this](QObject*) { ResponsePlot1SweepClose(); });

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(1000);
  connect(Timer1, &QTimer::timeout, this, &TMainForm::Timer1Timer);
  Timer1->start();
}

void TMainForm::CreateLevelScale() {
  const int maximum = TrackBarALeft->maximum();
  const int left = TrackBarALeft->x();
  const int width = TrackBarARight->x() + TrackBarARight->width() - left;
  const int height = fontMetrics().height();
  for (int i = 0; i <= maximum; ++i) {
    if (i % 5 != 0) continue;
    auto* label = new QLabel(QString::number(-i), GroupBoxOutputLevel);
    label->setObjectName(QString("LabelLevel%1").arg(i));
    const int top = i * (TrackBarALeft->height() - 27) / maximum + TrackBarALeft->y() + 7;
    label->setGeometry(left, top, width, height);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    SetTextColour(label, i < 6 ? kRed : i < 11 ? kYellow : kGreen);
    label->show();
  }
}

void TMainForm::ColourChannelLabels() {
  QWidget* const left[] = {LabelLAmplitude, CheckBoxLeftEnabled, LabelFLeft};
  QWidget* const right[] = {LabelRAmplitude, CheckBoxRightEnabled, LabelFRight};
  for (QWidget* w : left) SetTextColour(w, kBlue);
  for (QWidget* w : right) SetTextColour(w, kRed);
}

void TMainForm::PlaceRangeLabels() {
  LabelFMax->move(LabelFMax->x(), TrackBarFRight->y() + 8);
  LabelFMin->move(LabelFMin->x(), TrackBarFRight->y() + TrackBarFRight->height() - 19);
}

void TMainForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (event->spontaneous() || FShowQueued) return;
  FShowQueued = true;
  if (QScreen* screen = QGuiApplication::primaryScreen(); screen && !FKeptPlace)
    move(screen->availableGeometry().center() - frameGeometry().center() + pos());
  // The devices are looked at once the window is on its way to the screen, not before: PortAudio's
  // start looks at every device (about 70 ms on PulseAudio).
  // A kept device needs PortAudio's list of devices, so it is looked up here too, not before.
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (FDeviceChoice == TDeviceChoice{})
          PrepareAudioBackend();
        else
          FDeviceNote = UseDeviceChoice(FDeviceChoice);
      },
      Qt::QueuedConnection);
  // After the window is up, so that the offset question appears over it.
  QMetaObject::invokeMethod(this, Guard(&TMainForm::FormShow), Qt::QueuedConnection);
}

void TMainForm::FormShow() {
  // The restored lists, track bars and up-downs reach the components, in this order.
  ComboBoxLeftWaveformChange();
  ComboBoxRightWaveformChange();
  TrackBarFLeftChange();
  TrackBarFRightChange();
  LeftAmplitudeChanged();
  RightAmplitudeChanged();
  ComboBoxFreqRangeChange();
  UpDownScopeGainClick();
  UpDownTimebaseClick();
  ComboBoxSpectrumModeChange();
  ComboBoxTraceSmoothingChange();
  ComboBoxTraceOffsetChange();
  UpDownSpectMinClick();
  UpDownSpectMaxClick();
  UpDownResponseMinClick();
  UpDownResponseMaxClick();
  WaveformDisplay1->UpdateScaleLabels();
  SpectrumDisplay1->UpdateScaleLabels();
  ResponsePlot1->UpdateScaleLabels();
  TabControlGeneratorChange();
  // A restored "off" leaves the unchecked AGC box as it was: no toggle told the scope.
  CheckBoxAGCClick();
  PageControlAnalyserChange();
  ShowBackend();
  if (!FDeviceNote.empty()) ShowMessage(std::exchange(FDeviceNote, {}));
  if (!FCalibrationNote.empty()) ShowMessage(std::exchange(FCalibrationNote, {}));
  if (!FADCMeasured) AskToMeasureOffset();
  ShowOffsetHint();
  FShown = true;
}

void TMainForm::AskToMeasureOffset() {
  if (AskYesNo("You don't seem to have measured the zero-signal ADC Offset of your sound card.  "
               "You are advised to make this measurement for most accurate results, and it will "
               "only take a few seconds.  Would you like to measure the ADC offset in the Sound "
               "Card now?\r\rPlease click on Yes to continue or No to stop",
               "Measure sound card A/D offset"))
    MeasureOffset();
}

void TMainForm::ShowOffsetHint() {
  ButtonMeasureOffset->setToolTip(
      QString::asprintf("Left: %d,  Right: %d", FAnalyser->LeftOffset(), FAnalyser->RightOffset()));
}

void TMainForm::MeasureOffset() {
  FAnalyser->SetEnabled(false);
  ShowAnalyserState();
  int left = 0, right = 0;
  if (!FFormMeasureOffset->MeasureOffsets(left, right)) return;
  {
    const auto settings = OpenSettings();
    WriteOffsetsFor(*settings, FDeviceChoice.input, left, right);
    SaveSettings(*settings, "The measured offsets are used until the program ends.");
  }
  FADCMeasured = true;
  FAnalyser->SetLeftOffset(left);
  FAnalyser->SetRightOffset(right);
  ShowOffsetHint();
}

void TMainForm::StopAudio() {
  EndImpulseRun(false);
  FToneGenerator->SetEnabled(false);
  ResponsePlot1->SetEnabled(false);
  FAnalyser->SetEnabled(false);
}

void TMainForm::closeEvent(QCloseEvent* event) {
  StopAudio();
  WriteSettings();
  event->accept();
}

void TMainForm::ShowGeneratorState() {
  if (!FToneGenerator->Enabled() && !ResponsePlot1->Enabled())
    ButtonStartGenerator->setText("Start Generator");
}

void TMainForm::ShowStalledStreams() {
  // A device that stopped delivering is not running, whatever was asked of it.
  // The output is whichever generator plays: the tone or the response plot's sweep.
  const TWaveOut* playing = ResponsePlot1->Enabled()
                                ? static_cast<const TWaveOut*>(ResponsePlot1->SweepGenerator())
                                : FToneGenerator;
  const bool output = playing->Enabled() && playing->Stalled();
  const bool input = FAnalyser->Enabled() && FAnalyser->Stalled();
  if (output) LEDgenerator->SetColour(kGreen);
  if (input) LEDanalyser->SetColour(kGreen);
  if (playing->State() == Running && !output) LEDgenerator->SetColour(kBrightGreen);
  if (FAnalyser->State() != Closed && !input) LEDanalyser->SetColour(kBrightGreen);
  FOutputStalled = output;
  FInputStalled = input;
  ShowStatus();
}

void TMainForm::ShowStatus() {
  if (FOutputStalled || FInputStalled) {
    LabelBackend->setText(FOutputStalled && FInputStalled ? "Output and input stalled"
                          : FOutputStalled                ? "Output stalled"
                                                          : "Input stalled");
    SetTextColour(LabelBackend, QColor(192, 0, 0));
    return;
  }
  LabelBackend->setPalette(FBackendPalette);
  QString text = FBackendCaption, hint = FBackendHint, tail;
  if (!FReplayedFile.isEmpty()) {
    text = QString("Replayed: %1").arg(QFileInfo(FReplayedFile).fileName());
    hint = QString("The analyser shows the file \"%1\", not the input.").arg(QDir::toNativeSeparators(FReplayedFile));
  }
  AddCalibrationStatus(tail, hint);
  SetStatusText(text, hint, tail);
}

void TMainForm::SetStatusText(const QString& text, const QString& hint, const QString& tail) {
  // Device names can be long: what does not fit is elided, the whole text is in the hint. The
  // tail (the calibration in use) keeps its place; the text before it gives way first.
  const QFontMetrics metrics = LabelBackend->fontMetrics();
  const int room = LabelBackend->width() - 4;
  const QString end = metrics.elidedText(tail, Qt::ElideMiddle, room);
  // Before a tail the start of the text says most ("Simulated ...", "Sound: ...").
  const QString shown = metrics.elidedText(text, tail.isEmpty() ? Qt::ElideMiddle : Qt::ElideRight,
                                           std::max(0, room - metrics.horizontalAdvance(end))) + end;
  LabelBackend->setText(shown);
  LabelBackend->setToolTip(hint.isEmpty() ? (shown == text + tail ? QString() : text + tail) : hint);
}

void TMainForm::Timer1Timer() {
  ShowStalledStreams();
  LabelResponseTiming->setText(ResponsePlot1->TimingText());
  const int blocks = FAnalyser->BufferNumber();
  if (PerfCounterFrequency == 0 || blocks <= 1) return;
  const double scale = 1e6 / (blocks * PerfCounterFrequency);
  ButtonStartAnalyser->setToolTip(Hint(QString::asprintf(
      "Proc: %.0f us\rPlot: %.0f us", FAnalyser->ProcTicks * scale, FAnalyser->PlotTicks * scale)));
}

void TMainForm::ReplayWAVFile1Click() {
  const QString name = FileDialogs().OpenFileName(
      {"Replay WAV file", "", "wav", "Wave files (*.wav)|*.wav|All files (*.*)|*.*"});
  if (!name.isEmpty()) ReplayFile(name);
}

void TMainForm::ReplayFile(const QString& name) {
  // The displays now show the file, not the input: the status line says so until live input
  // comes again. A file refused shows its message and changes nothing.
  if (!FAnalyser->ReadWaveFile(name)) return;
  FReplayedFile = name;
  ShowStatus();
}

void TMainForm::Contents1Click() { ShowManual("contents"); }

void TMainForm::Index1Click() { ShowManual("index"); }

void TMainForm::About1Click() { FAboutBox->exec(); }
