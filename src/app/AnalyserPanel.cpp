// The analyser pages: one display per page with its controls, the start button's handler, the
// page change that picks the analyser's display, and the vector scope's and scope's controls.
#include <QDir>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QTabBar>
#include <QTabWidget>

#include <cmath>

#include "AudioAnalyser.h"
#include "DisplayResponse.h"
#include "DisplaySpectrum.h"
#include "DistortionPage.h"
#include "Displays.h"
#include "FileDialogs.h"
#include "ImpulsePage.h"
#include "InputMixer.h"
#include "MainForm.h"
#include "Messages.h"
#include "ToneGenerator.h"
#include "Widgets.h"

namespace {

enum TAnalyserPage {
  pgVectorscope, pgScope, pgSpectrum, pgResponse, pgDistortion, pgImpulse, pgInput
};

QWidget* AddPage(QTabWidget* pages, const char* name, const QString& caption) {
  auto* page = new QWidget;
  page->setObjectName(QString::fromLatin1(name));
  pages->addTab(page, caption);
  return page;
}

}  // namespace

void TMainForm::CreateAnalyserPanel(QWidget* client) {
  PageControlAnalyser = Named(new QTabWidget(client), "PageControlAnalyser", 296, 8, 489, 401);
  // Seven captions in 489 pixels: two sizes smaller and closer together, every caption whole
  // ("Impulse" for the impulse response page: its full name leaves no room for the others).
  TCompactTabStyle* tabStyle = TCompactTabStyle::Apply(PageControlAnalyser->tabBar(), 10);
  QFont tabFont = PageControlAnalyser->tabBar()->font();
  const int textHeight = QFontMetrics(tabFont).height();
  tabFont.setPixelSize(9);
  PageControlAnalyser->tabBar()->setFont(tabFont);
  // As high as the tabs were: every page keeps its place in the window.
  tabStyle->SetExtraVSpace(textHeight - QFontMetrics(tabFont).height());
  TabSheetVectorscope = AddPage(PageControlAnalyser, "TabSheetVectorscope", "Vectorscope");
  TabSheetScope = AddPage(PageControlAnalyser, "TabSheetScope", "Scope");
  TabSheetSpectrum = AddPage(PageControlAnalyser, "TabSheetSpectrum", "Spectrum analyser");
  TabSheetResponse = AddPage(PageControlAnalyser, "TabSheetResponse", "Frequency response");
  TabSheetDistortion = AddPage(PageControlAnalyser, "TabSheetDistortion", "Distortion");
  TabSheetImpulse = AddPage(PageControlAnalyser, "TabSheetImpulse", "Impulse");
  TabSheetInput = AddPage(PageControlAnalyser, "TabSheetInput", "Input controls");

  // Vectorscope.
  QWidget* page = TabSheetVectorscope;
  VectorScope1 = new TVectorScope(page);
  VectorScope1->setObjectName("VectorScope1");
  VectorScope1->SetBounds(24, 32, 329, 321);
  CheckBoxAGC = MakeCheckBox(page, "CheckBoxAGC", "AGC", 376, 328, 57, 17);

  // Scope.
  page = TabSheetScope;
  WaveformDisplay1 = new TWaveformDisplay(page);
  WaveformDisplay1->setObjectName("WaveformDisplay1");
  WaveformDisplay1->SetBounds(24, 32, 443, 257);
  LabelTraceOffset = MakeLabel(page, "LabelTraceOffset", "Trace offset", 152, 312, 113);
  ComboBoxTraceOffset =
      MakeList(page, "ComboBoxTraceOffset", {"(none)", "Offset", "Separate"}, 152, 328, 113);
  UpDownScopeGain = Named(new TUpDown(page, Qt::Vertical, 0, 8, 0), "UpDownScopeGain", 4, 312, 17,
                          33);
  LabelScopeGain = MakeLabel(page, "LabelScopeGain", "Gain", 24, 320, 40);
  UpDownTimebase = Named(new TUpDown(page, Qt::Horizontal, 0, 6, 3), "UpDownTimebase", 424, 312,
                         33, 17);
  LabelTimebase = MakeLabel(page, "LabelTimebase", "Timebase", 352, 313, 68);
  LabelTimebase->setAlignment(Qt::AlignRight);

  // Spectrum analyser.
  page = TabSheetSpectrum;
  SpectrumDisplay1 = new TSpectrumDisplay(page);
  SpectrumDisplay1->setObjectName("SpectrumDisplay1");
  SpectrumDisplay1->SetBounds(24, 32, 443, 258);
  SpectrumDisplay1->setCursor(Qt::CrossCursor);
  // The readouts are longer in this font than the layout's 136 pixels allow: a size smaller
  // and the peak readout 20 pixels further right, so that neither is cut.
  LabelSpectrumMarker = MakeLabel(page, "LabelSpectrumMarker", "", 40, 8, 152);
  LabelSpectrumPeaks = Named(new TClickLabel(page), "LabelSpectrumPeaks", 196, 8, 276, 16);
  for (QLabel* readout : {LabelSpectrumMarker, static_cast<QLabel*>(LabelSpectrumPeaks)}) {
    QFont font = readout->font();
    font.setPixelSize(10);
    readout->setFont(font);
  }
  UpDownSpectMax = Named(new TUpDown(page, Qt::Vertical, 0, 120, 0), "UpDownSpectMax", 4, 0, 17,
                         33);
  UpDownSpectMin = Named(new TUpDown(page, Qt::Vertical, 0, 120, 0), "UpDownSpectMin", 4, 312,
                         17, 33);
  LabelSpectrumMode = MakeLabel(page, "LabelSpectrumMode", "Mode", 200, 312, 113);
  ComboBoxSpectrumMode = MakeList(page, "ComboBoxSpectrumMode",
                                  {"1/3 octave", "Log", "Linear", "Linear (speech)",
                                   "Linear (user)", "Spectrogram (log)", "Spectrogram (lin)",
                                   "Spectrogram (speech)"},
                                  200, 328, 113);
  RadioGroupInChannel = Named(new TRadioGroup(page, " Channel in select ",
                                              {"Left", "Right", "(L + R) / 2", "(R - L) / 2"}, 2),
                              "RadioGroupInChannel", 328, 312, 145, 57);
  RadioGroupInChannel->SetItemIndex(2);
  CheckBoxHumFilter = MakeCheckBox(page, "CheckBoxHumFilter", "Hum filter", 120, 312, 78, 17, true);
  CheckBoxHumFilter->setToolTip("Check to attenuate frequencies around 50 - 60 Hz");
  CheckBoxHighResn = MakeCheckBox(page, "CheckBoxHighResn", "High resn.", 120, 332, 78, 17);
  CheckBoxHighResn->setToolTip("Check for slower but more accurate spectral analysis");
  CheckBoxSpectrumMvgAvg =
      MakeCheckBox(page, "CheckBoxSpectrumMvgAvg", "Moving average", 120, 352, 120, 17, true);
  ButtonLoadSpectrum = MakeButton(page, "ButtonLoadSpectrum", "Load ...", 40, 328, 65, 25);
  ButtonLoadSpectrum->setToolTip(" Get data from file instead of sound card ");

  // Frequency response.
  page = TabSheetResponse;
  ResponsePlot1 = new TResponsePlot(page);
  ResponsePlot1->setObjectName("ResponsePlot1");
  ResponsePlot1->SetBounds(24, 32, 443, 258);
  ResponsePlot1->setCursor(Qt::CrossCursor);
  LabelResponseMarker = MakeLabel(page, "LabelResponseMarker", "", 40, 8, 200);
  // Where the sweep came back, so that a user sees the measurement found it.
  LabelResponseTiming = MakeLabel(page, "LabelResponseTiming", "", 200, 8, 267);
  LabelResponseTiming->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  UpDownResponseMax = Named(new TUpDown(page, Qt::Vertical, -20, 120, 0), "UpDownResponseMax", 4,
                            0, 17, 33);
  UpDownResponseMin = Named(new TUpDown(page, Qt::Vertical, 0, 120, 0), "UpDownResponseMin", 4,
                            312, 17, 33);
  LabelTraceSmoothing = MakeLabel(page, "LabelTraceSmoothing", "Smoothing", 152, 312, 113);
  ComboBoxTraceSmoothing = MakeList(page, "ComboBoxTraceSmoothing",
                                    {"(none)", "Smooth", "Smooth more"}, 152, 328, 113);
  CheckBoxMovingAverage =
      MakeCheckBox(page, "CheckBoxMovingAverage", "Moving average", 152, 352, 118, 17);
  ButtonSaveFreqResp = MakeButton(page, "ButtonSaveFreqResp", "Save as ...", 32, 316, 97, 25);
  ButtonSaveFreqResp->setToolTip("Saves the RIGHT channel to file");
  ButtonLoadLeft = MakeButton(page, "ButtonLoadLeft", "Load left ...", 280, 312, 89, 25);
  ButtonLoadLeft->setToolTip(
      "Load a data file into the left channel as calibration or for comparison");
  ButtonClearLeft = MakeButton(page, "ButtonClearLeft", "Clear left", 376, 312, 89, 25);
  ButtonClearLeft->setToolTip("Remove previously loaded left channel calibration data");
  CheckBoxLeftIsRef =
      MakeCheckBox(page, "CheckBoxLeftIsRef", "Left is reference", 280, 346, 160, 17);
  // The plot averages from construction on; it follows the unchecked box until the settings
  // check it.
  ResponsePlot1->SetMovingAverage(CheckBoxMovingAverage->isChecked());

  CreateDistortionPage(TabSheetDistortion);
  CreateImpulsePage(TabSheetImpulse);

  // Input controls: the input mixer takes the top of this page.
  page = TabSheetInput;
  InputMixer1 = Named(new TInputMixer(page), "InputMixer1", 8, 8, 465, 41);
  InputMixer1->setTitle(" Input mixer ");
  GroupBoxOffset = Named(new QGroupBox(" Offset ", page), "GroupBoxOffset", 8, 200, 465, 153);
  LabelOffsetAdvice = MakeLabel(GroupBoxOffset, "LabelOffsetAdvice",
                                "Your sound card may have small residual errors which will limit "
                                "measurement accuracy.  Click here to calibrate the program for "
                                "these offsets.",
                                16, 24, 433, 64);
  LabelOffsetAdvice->setWordWrap(true);
  LabelOffsetAdvice->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  ButtonMeasureOffset =
      MakeButton(GroupBoxOffset, "ButtonMeasureOffset", "Measure Offset", 56, 96, 113, 41);

  {
    QSignalBlocker quiet(PageControlAnalyser);
    PageControlAnalyser->setCurrentIndex(pgSpectrum);
  }
  connect(PageControlAnalyser, &QTabWidget::currentChanged, this,
          Guard(&TMainForm::PageControlAnalyserChange));
  connect(CheckBoxAGC, &QCheckBox::toggled, this, Guard(&TMainForm::CheckBoxAGCClick));
  connect(ComboBoxTraceOffset, &QComboBox::activated, this,
          Guard(&TMainForm::ComboBoxTraceOffsetChange));
  connect(UpDownScopeGain, &TUpDown::Click, this, Guard(&TMainForm::UpDownScopeGainClick));
  connect(UpDownTimebase, &TUpDown::Click, this, Guard(&TMainForm::UpDownTimebaseClick));
  connect(ButtonMeasureOffset, &QPushButton::clicked, this,
          Guard(&TMainForm::ButtonMeasureOffsetClick));
  connect(ComboBoxSpectrumMode, &QComboBox::activated, this,
          Guard(&TMainForm::ComboBoxSpectrumModeChange));
  connect(RadioGroupInChannel, &TRadioGroup::Click, this,
          Guard(&TMainForm::RadioGroupInChannelClick));
  connect(UpDownSpectMax, &TUpDown::Click, this, Guard(&TMainForm::UpDownSpectMaxClick));
  connect(UpDownSpectMin, &TUpDown::Click, this, Guard(&TMainForm::UpDownSpectMinClick));
  connect(CheckBoxHumFilter, &QCheckBox::toggled, this, Guard(&TMainForm::CheckBoxHumFilterClick));
  connect(CheckBoxHighResn, &QCheckBox::toggled, this, Guard(&TMainForm::CheckBoxHighResnClick));
  connect(CheckBoxSpectrumMvgAvg, &QCheckBox::toggled, this,
          Guard(&TMainForm::CheckBoxSpectrumMvgAvgClick));
  connect(LabelSpectrumPeaks, &TClickLabel::Click, this,
          Guard(&TMainForm::LabelSpectrumPeaksClick));
  SpectrumDisplay1->SetOnMouseMove([this](int x, int y) {
    try {
      SpectrumDisplay1MouseMove(x, y);
    } catch (const std::exception& e) {
      ShowException(e);
    }
  });
  SpectrumDisplay1->SetOnClick(Guard(&TMainForm::SpectrumDisplay1Click));
  connect(ButtonLoadSpectrum, &QPushButton::clicked, this,
          Guard(&TMainForm::ButtonLoadSpectrumClick));
  connect(UpDownResponseMax, &TUpDown::Click, this, Guard(&TMainForm::UpDownResponseMaxClick));
  connect(UpDownResponseMin, &TUpDown::Click, this, Guard(&TMainForm::UpDownResponseMinClick));
  connect(CheckBoxLeftIsRef, &QCheckBox::toggled, this, Guard(&TMainForm::CheckBoxLeftIsRefClick));
  connect(ButtonSaveFreqResp, &QPushButton::clicked, this,
          Guard(&TMainForm::ButtonSaveFreqRespClick));
  connect(ButtonLoadLeft, &QPushButton::clicked, this, Guard(&TMainForm::ButtonLoadLeftClick));
  connect(ButtonClearLeft, &QPushButton::clicked, this, Guard(&TMainForm::ButtonClearLeftClick));
  connect(CheckBoxMovingAverage, &QCheckBox::toggled, this,
          Guard(&TMainForm::CheckBoxMovingAverageClick));
  connect(ComboBoxTraceSmoothing, &QComboBox::activated, this,
          Guard(&TMainForm::ComboBoxTraceSmoothingChange));
  ResponsePlot1->SetOnMouseMove([this](int x, int y) {
    try {
      ResponsePlot1MouseMove(x, y);
    } catch (const std::exception& e) {
      ShowException(e);
    }
  });
}

void TMainForm::ButtonStartAnalyserClick() {
  try {
    FAnalyser->SetEnabled(!FAnalyser->Enabled());
  } catch (const std::exception&) {
    ShowMessage(FToneGenerator->Enabled()
                    ? "Your sound card or driver does not support full-duplex"
                    : "Your sound card does not support 16-bit 44.1KHz stereo");
  }
  ShowAnalyserState();
}

void TMainForm::ShowAnalyserState() {
  ButtonStartAnalyser->setText(FAnalyser->Enabled() ? "STOP" : "Start Analyser");
}

void TMainForm::CheckBoxEnableAnalyserClick() {
  QSignalBlocker quiet(PageControlAnalyser);
  if (CheckBoxEnableAnalyser->isChecked()) {
    PageControlAnalyser->setCurrentWidget(TabSheetResponse);
    TabControlGenerator->SetTabIndex(1);
    TabControlGeneratorChange();
  } else {
    PageControlAnalyser->setCurrentWidget(TabSheetSpectrum);
  }
}

void TMainForm::PageControlAnalyserChange() {
  // A running analyser restarts with the new display, and that may fail.
  struct TAfter {
    TMainForm* form;
    ~TAfter() { form->ShowAnalyserState(); }
  } after{this};
  UpdateExportActions();
  // A measurement needs its display fed: another page ends it.
  if (PageControlAnalyser->currentIndex() != pgImpulse) EndImpulseRun();
  switch (PageControlAnalyser->currentIndex()) {
    case pgScope:
      FAnalyser->SetDisplay(WaveformDisplay1);
      break;
    case pgVectorscope:
      FAnalyser->SetDisplay(VectorScope1);
      break;
    case pgSpectrum:
      FAnalyser->SetDisplay(SpectrumDisplay1);
      break;
    case pgResponse:
      FAnalyser->SetDisplay(ResponsePlot1);
      break;
    case pgDistortion:
      FAnalyser->SetDisplay(DistortionDisplay1);
      break;
    case pgImpulse:
      FAnalyser->SetDisplay(ImpulseDisplay1);
      break;
    default:
      break;
  }
}

void TMainForm::CheckBoxAGCClick() { VectorScope1->SetAGC(CheckBoxAGC->isChecked()); }

void TMainForm::ComboBoxTraceOffsetChange() {
  switch (ComboBoxTraceOffset->currentIndex()) {
    case 0: WaveformDisplay1->SetTraceOffset(0); break;
    case 1: WaveformDisplay1->SetTraceOffset(16); break;
    case 2: WaveformDisplay1->SetTraceOffset(64); break;
    default: break;
  }
}

void TMainForm::UpDownScopeGainClick() {
  const int p = UpDownScopeGain->Position();
  WaveformDisplay1->SetLSB(1 << (8 - p));
}

void TMainForm::UpDownTimebaseClick() {
  static constexpr TWaveformTimebase kTimebases[] = {wtb_100ms, wtb__50ms, wtb__20ms, wtb__10ms,
                                                     wtb___5ms, wtb___2ms, wtb___1ms};
  const int p = UpDownTimebase->Position();
  WaveformDisplay1->SetTimebase(p >= 0 && p <= 6 ? kTimebases[p] : wtb__10ms);
}

void TMainForm::ButtonMeasureOffsetClick() {
  if (AskYesNo("Do you wish to measure the ADC offset in the Sound Card?\r"
               "Please click on Yes to continue or No to stop",
               "Measure sound card A/D offset"))
    MeasureOffset();
}

void TMainForm::ComboBoxSpectrumModeChange() {
  ClearSpectrumReadouts();
  TSpectrumDisplay* d = SpectrumDisplay1;
  const int rate = FToneGenerator->SampleRate();
  // The range goes first: only the mode setter relays the captions and clears the picture.
  switch (ComboBoxSpectrumMode->currentIndex()) {
    case 0:
      d->SetMode(sdOctave3);
      break;
    case 1:
      d->SetFreqMax(20000);
      d->SetFreqMin(static_cast<int>(std::lrint(d->FreqMax() / 1024.0)));
      d->SetMode(sdLogFreq);
      break;
    case 2:
      d->SetFreqMin(0);
      d->SetFreqMax(rate / 2);
      d->SetMode(sdLinFreq);
      break;
    case 3:
      d->SetFreqMin(300);
      d->SetFreqMax(3300);
      d->SetMode(sdLinFreq);
      break;
    case 4:
      d->SetFreqMin(SpinEditUserF1->value());
      d->SetFreqMax(SpinEditUserF2->value());
      d->SetMode(sdLinFreq);
      break;
    case 5:
      d->SetFreqMin(80);
      d->SetFreqMax(rate * 15000 / 44100);
      d->SetMode(sdLogSpectrogram);
      break;
    case 6:
      d->SetFreqMin(0);
      d->SetFreqMax(rate * 10000 / 44100);
      d->SetMode(sdLinSpectrogram);
      break;
    case 7:
      d->SetFreqMin(300);
      d->SetFreqMax(3300);
      d->SetMode(sdLinSpectrogram);
      break;
    default:
      break;
  }
  d->SetHumReject(CheckBoxHumFilter->isChecked());
}

void TMainForm::RadioGroupInChannelClick() {
  static constexpr TChannelSelect kSelect[] = {csLeft, csRight, csSum, csDiff};
  const int index = RadioGroupInChannel->ItemIndex();
  if (index >= 0 && index < 4) SpectrumDisplay1->SetChannelSelect(kSelect[index]);
  ClearSpectrumReadouts();
}

// A new scale moves the level under the mouse; a peak keeps the level of its trace.
void TMainForm::UpDownSpectMaxClick() {
  SpectrumDisplay1->SetMaxdB(-UpDownSpectMax->Position());
  if (!LabelSpectrumMarker->text().isEmpty()) SpectrumDisplay1MouseMove(FSpectrumMouseX, FSpectrumMouseY);
}

void TMainForm::UpDownSpectMinClick() {
  SpectrumDisplay1->SetMindB(-UpDownSpectMin->Position());
  if (!LabelSpectrumMarker->text().isEmpty()) SpectrumDisplay1MouseMove(FSpectrumMouseX, FSpectrumMouseY);
}

void TMainForm::CheckBoxHumFilterClick() {
  SpectrumDisplay1->SetHumReject(CheckBoxHumFilter->isChecked());
  ClearSpectrumReadouts();
}

void TMainForm::CheckBoxHighResnClick() {
  SpectrumDisplay1->SetFFTpower(CheckBoxHighResn->isChecked() ? 14 : 12);
  ClearSpectrumReadouts();
}

void TMainForm::ClearSpectrumReadouts() {
  LabelSpectrumMarker->clear();
  LabelSpectrumPeaks->clear();
  FPreviousPeakFrequency = 0;
  FPreviousPeakLevel = 0;
}

void TMainForm::CheckBoxSpectrumMvgAvgClick() {
  SpectrumDisplay1->SetMovingAverage(CheckBoxSpectrumMvgAvg->isChecked());
}

void TMainForm::SpectrumDisplay1MouseMove(int x, int y) {
  FSpectrumMouseX = x;
  FSpectrumMouseY = y;
  float frequency = 0, level = 0;
  if (SpectrumDisplay1->Readout(x, y, frequency, level))
    LabelSpectrumMarker->setText(QString::asprintf("Cursor: %.0f Hz,  %.1f dB", frequency, level));
  else
    LabelSpectrumMarker->setText(QString());
}

void TMainForm::SpectrumDisplay1Click() {
  float f = 0, l = 0;
  if (!SpectrumDisplay1->FindPeak(FSpectrumMouseX, FSpectrumMouseY, f, l)) return;
  if (FPreviousPeakFrequency != 0)
    LabelSpectrumPeaks->setText(QString::asprintf("Peak: %.0f Hz, %.1f dB,  [delta: %.0f Hz, %1.f dB]",
                                                  f, l, f - FPreviousPeakFrequency,
                                                  l - FPreviousPeakLevel));
  else
    LabelSpectrumPeaks->setText(QString::asprintf("Peak: %.0f Hz, %.1f dB", f, l));
  FPreviousPeakFrequency = f;
  FPreviousPeakLevel = l;
}

void TMainForm::LabelSpectrumPeaksClick() {
  if (LabelSpectrumPeaks->text().trimmed().isEmpty()) return;
  if (!AskYesNo("Do you want to clear the peak markers?", "Clear peak markers")) return;
  LabelSpectrumPeaks->setText(QString());
  FPreviousPeakFrequency = 0;
  FPreviousPeakLevel = 0;
}

void TMainForm::ButtonLoadSpectrumClick() {
  // The dialog proposes "sine.wav": the one in the current folder, else the one in the folder of
  // the last "Save as ...", else a new name in the current folder.
  const QString name = QStringLiteral("sine.wav");
  QString path = QDir::current().filePath(name);
  for (const QString& folder : {QDir::currentPath(), FLastSaveFolder}) {
    if (folder.isEmpty()) continue;
    if (const QFileInfo file(QDir(folder).filePath(name)); file.isFile()) {
      path = file.filePath();
      break;
    }
  }
  const QString chosen = FileDialogs().OpenFileName(
      {"Load", path, "wav", "Wave files (*.wav)|*.wav|All files (*.*)|*.*"});
  if (!chosen.isEmpty()) ReplayFile(chosen);
}

void TMainForm::UpDownResponseMaxClick() { ResponsePlot1->SetMaxdB(-UpDownResponseMax->Position()); }

void TMainForm::UpDownResponseMinClick() { ResponsePlot1->SetMindB(-UpDownResponseMin->Position()); }

void TMainForm::ResponsePlot1MouseMove(int x, int y) {
  float frequency = 0, level = 0;
  if (ResponsePlot1->Readout(x, y, frequency, level))
    LabelResponseMarker->setText(QString::asprintf("%.0f Hz,  %.1f dB", frequency, level));
  else
    LabelResponseMarker->clear();
}

void TMainForm::CheckBoxLeftIsRefClick() {
  ResponsePlot1->SetLeftIsReference(CheckBoxLeftIsRef->isChecked());
}

void TMainForm::ButtonSaveFreqRespClick() {
  QString name = FileDialogs().SaveFileName(  // SaveDialog2
      {"", "calibration.dat", "dat", "Calibration data (*.dat)|*.dat|All files (*.*)|*.*"});
  if (name.isEmpty()) return;
  if (QFileInfo(name).suffix().isEmpty()) name += ".dat";
  if (QFileInfo::exists(name) && !AskYesNo(QFileInfo(name).fileName().toStdString() +
                                               " already exists.\rDo you want to replace it?",
                                           "Save as"))
    return;
  ResponsePlot1->SaveResponse(name);
}

void TMainForm::ButtonLoadLeftClick() {
  const QString name = FileDialogs().OpenFileName(  // OpenDialog1
      {"Choose a file to load into the left channel", "calibration.dat", "dat",
       "Calibration files (*.dat)|*.dat|All files (*.*)|*.*"});
  if (!name.isEmpty()) ResponsePlot1->LoadLeftReference(name);
}

void TMainForm::ButtonClearLeftClick() { ResponsePlot1->LoadLeftReference(QString()); }

void TMainForm::CheckBoxMovingAverageClick() {
  ResponsePlot1->SetMovingAverage(CheckBoxMovingAverage->isChecked());
}

void TMainForm::ComboBoxTraceSmoothingChange() {
  ResponsePlot1->SetTraceSmoothing(ComboBoxTraceSmoothing->currentIndex());
}
