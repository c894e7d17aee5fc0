// The main window: generator panel on the left, analyser pages on the right, the start buttons
// and lamps along the bottom. It owns the components for the whole run, restores its settings at
// creation, pushes them into the components when first shown, and stops all audio and writes the
// settings back when it closes. GUI thread only.
#pragma once

#include <QFont>
#include <QMainWindow>
#include <QList>
#include <QPalette>
#include <QRect>
#include <QString>
#include <QVariant>

#include <memory>
#include <optional>

#include <exception>

#include "Controls.h"
#include "Messages.h"
#include "SoundDevices.h"

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QSettings;
class QSlider;
class QSpinBox;
class QTabWidget;
class QTimer;
class TAboutBox;
class TAnchorLayout;
class TAudioToneGenerator;
class TBasicAudioAnalyser;
class TCalibration;
class TDistortionDisplay;
class TImpulseDisplay;
struct TImpulseRun;
class TFlickerlessBorderedCustomControl;
class TFormMeasureOffset;
class TInputMixer;
class TLED;
struct TCsvTable;
class TResponsePlot;
class TSpectrumDisplay;
class TVectorScope;
class TWaveformDisplay;
enum TWaveform : int;

// The generator panel's output phase mode, as the "Output channels " group's item index.
enum TOutputPhase { opInPhase = 0, opAntiphase = 1, opIndependent = 2 };

// The control positions are pixels laid out for a compact 11-pixel font.
QFont LayoutFont();

// The settings store: organisation "Brackwell Systems", application "Quorvane", group
// "Quorvane". Tests redirect it with QSettings::setPath.
std::unique_ptr<QSettings> OpenSettings();
// Where a window kept at `kept` (its frameless geometry, pixels) is placed again, at least
// `minimum` in size, given the screens' available areas: there when enough of its top lies on
// one of them to take hold of it; none (the centred default) when it lies off every screen or
// its numbers make no sense.
std::optional<QRect> KeptWindowPlace(const QRect& kept, QSize minimum,
                                     const QList<QRect>& screens);
// Writes the settings out; when that fails, says so with the consequence and returns false.
bool SaveSettings(QSettings& settings, const std::string& consequence);
// The DC offsets kept for an input device (key as TDeviceChoice has it, "" the default one):
// false, and zeros, when none were measured there or what is kept is no measurement's.
bool ReadOffsetsFor(QSettings& s, const std::string& input, int& left, int& right);
void WriteOffsetsFor(QSettings& s, const std::string& input, int left, int right);

class TMainForm : public QMainWindow {
  Q_OBJECT
 public:
  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;

  static QString TitleTail();  // "free software from " + the maker's web domain
  static QString Caption();

  TAudioToneGenerator* ToneGenerator() const { return FToneGenerator; }
  TResponsePlot* ResponsePlot() const { return ResponsePlot1; }
  TBasicAudioAnalyser* Analyser() const { return FAnalyser; }
  TFormMeasureOffset* FormMeasureOffset() const { return FFormMeasureOffset; }
  TAboutBox* AboutBox() const { return FAboutBox; }
  bool ADCMeasured() const { return FADCMeasured; }
  // True once the first-showing sequence has run.
  bool Shown() const { return FShown; }

  TOutputPhase OutputPhase() const { return FOutputPhase; }

  // Handlers, bound to their controls' events. Those the first showing runs are virtual, so a
  // test can see the order.
  void FormShow();
  // The "Tone" tab: frequencies, levels, channels, waveforms and the frequency range.
  virtual void TrackBarFLeftChange();
  virtual void TrackBarFRightChange();
  void FrequencyChanged();
  virtual void LeftAmplitudeChanged();
  virtual void RightAmplitudeChanged();
  void AmplitudeChanged();  // also the "L" and "R" check boxes' handler
  void RadioGroupOutChannelClick();
  virtual void ComboBoxLeftWaveformChange();
  virtual void ComboBoxRightWaveformChange();
  virtual void ComboBoxFreqRangeChange();
  // Typed values (a double click on a level or frequency label): a frequency in Hz (1 ..
  // 22000) or a level in dBFS (-120 .. 0) for channel 0 (left) or 1 (right), in 0.01 steps.
  // The partner follows when "L = R" or the output phase ties it; the exact sine plays while
  // a typed value stands. A user's move of the track bar gives its channel back to it.
  void TypedFrequencyEntered(int channel, double hz);
  void TypedLevelEntered(int channel, double dBFS);
  // Both channels play this waveform at hz (not for noise or the two-tones) and dBFS, as typed
  // values, both switched on; the Tone tab is shown. The generator is not started.
  void ApplyTestTone(TWaveform waveform, double hz, double dBFS);
  void SpinEditUserF1Exit();
  void SpinEditUserF2Exit();
  void ButtonStartGeneratorClick();
  // Writes the generator's output to a WAV file chosen in SaveDialog1.
  void ButtonSaveAsClick();
  void ButtonStartAnalyserClick();
  void CheckBoxEnableAnalyserClick();
  virtual void TabControlGeneratorChange();
  virtual void PageControlAnalyserChange();
  virtual void CheckBoxAGCClick();
  virtual void ComboBoxTraceOffsetChange();
  virtual void UpDownScopeGainClick();
  virtual void UpDownTimebaseClick();
  // The "Spectrum analyser" page.
  virtual void ComboBoxSpectrumModeChange();
  void RadioGroupInChannelClick();
  virtual void UpDownSpectMaxClick();
  virtual void UpDownSpectMinClick();
  void CheckBoxHumFilterClick();
  void CheckBoxHighResnClick();
  void CheckBoxSpectrumMvgAvgClick();
  void SpectrumDisplay1MouseMove(int x, int y);
  void SpectrumDisplay1Click();
  void LabelSpectrumPeaksClick();
  void ButtonMeasureOffsetClick();
  // The "Frequency response" page.
  virtual void UpDownResponseMaxClick();
  virtual void UpDownResponseMinClick();
  void ResponsePlot1MouseMove(int x, int y);
  void CheckBoxLeftIsRefClick();
  void ButtonSaveFreqRespClick();
  void ButtonLoadLeftClick();
  void ButtonClearLeftClick();
  void CheckBoxMovingAverageClick();
  virtual void ComboBoxTraceSmoothingChange();
  // The "Distortion" page: measurement, bandwidth and weighting; averaging.
  void ComboBoxDistortionSettingsChange();
  void ComboBoxDistortionAveragingChange();
  // The test signal of the chosen measurement at -1 dBFS, through ApplyTestTone.
  void ButtonDistortionGeneratorClick();
  // The "Impulse response" page: view, smoothing, window and the loaded response's use.
  void ComboBoxImpulseViewChange();
  void ComboBoxImpulseSmoothingChange();
  void ImpulseWindowChange();  // the automatic box and both times
  void CheckBoxImpulseDivideClick();
  void ImpulseDisplay1MouseMove(int x, int y);
  // Measures (one sweep after another, as many as averaged), or cancels a measurement: the
  // tone generator's stream plays the sweep while the analyser captures; both, and what they
  // were doing, are given back however the measurement ends.
  void ButtonImpulseMeasureClick();
  bool ImpulseRunning() const;
  // The response shown, as text; the impulse responses as a 32-bit float WAV file; a response
  // file to show over the measured one or divide it by, and its removal.
  void ButtonImpulseSaveClick();
  void ButtonImpulseSaveWavClick();
  void ButtonImpulseLoadClick();
  void ButtonImpulseClearClick();
  // The "Sweep" tab.
  void CheckBoxSteppedSweepClick();
  void CheckBoxLogSweepClick();
  void CheckBoxDeclickSweepClick();
  void CheckBoxSlowSpeedClick();
  void CheckBoxStopAfterOneClick();
  void ResponsePlot1SweepOpen();
  void ResponsePlot1SweepClose();
  // Replays "sine.wav" from the current folder, else from the folder of the last "Save as ...".
  void ButtonLoadSpectrumClick();
  // Replays a WAV file chosen in an open dialog into the analyser.
  void ReplayWAVFile1Click();
  void Timer1Timer();
  void Contents1Click();
  void Index1Click();
  void About1Click();

  // Stops the analyser, measures the input's DC offsets and, when a measurement completes,
  // stores them in the settings (for the input device in use) and the analyser.
  void MeasureOffset();

  // "Export picture ..." and "Export data ...": the display of the analyser page shown as a PNG
  // file or its numbers as a CSV file (Export.h); both disabled on a page without a display.
  void ExportPicture1Click();
  void ExportData1Click();

  // "Sound devices ...": the dialog, then the choice applied and kept.
  void SoundDevices1Click();
  // "Sound card test ...": stops the streams and runs the test's dialog; the report folder is kept.
  void SoundCardTest1Click();
  // Stops the streams and makes `choice` the devices the streams open; keep: also into the
  // settings. The offsets become those measured on the new input (asked for when none were).
  void ApplyDeviceChoice(const TDeviceChoice& choice, bool keep);
  const TDeviceChoice& DeviceChoice() const { return FDeviceChoice; }
  // The dialog's "Measure round trip": the streams stopped, `choice` in use meanwhile.
  QString MeasureRoundTrip(const TDeviceChoice& choice);

  // "Load calibration ...": a file chosen, read and applied to the response, impulse and
  // spectrum readings, and kept (setting "CalibrationFile"); a file refused leaves the one in
  // use. "No calibration": none applied, none kept.
  void LoadCalibration1Click();
  void NoCalibration1Click();
  // Reads `path` and applies it, keeping it in the settings; false, with one message naming the
  // file and the reason, when it cannot be used.
  bool LoadCalibration(const QString& path);
  // The calibration applied to the readings; nullptr while none is.
  const TCalibration* Calibration() const { return FCalibration.get(); }

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  // Writes every setting kept at close (virtual so tests can see when it happens).
  virtual void WriteSettings();
  // Writes one key (virtual so tests can see the order).
  virtual void StoreSetting(QSettings& s, const char* key, const QVariant& value);
  // Holds one step of the start countdown, the window doing nothing else meanwhile (virtual so
  // tests can watch the caption instead of waiting).
  virtual void CountdownPause(int ms);

 private:
  void CreateMenus();
  // Export: the page's display (none on the input controls), the actions following it, the
  // file name chosen (replacing agreed) and the page's table; false and why when it is empty.
  QWidget* ShownDisplay() const;
  void UpdateExportActions();
  QString ExportName(const QString& title, const QString& extension, const QString& filter);
  bool ShownData(TCsvTable& table, std::string& nothing) const;
  void CreateGeneratorPanel(QWidget* client);
  void CreateAnalyserPanel(QWidget* client);
  void CreateDistortionPage(QWidget* page);
  void ShowDistortionGeneratorHint();
  void CreateImpulsePage(QWidget* page);
  // The measurement's steps: a capture opened, its first block in (the sweep starts), its last
  // block in; the progress and the streams watched; the end, completed or not.
  void StartImpulseCapture();
  void ImpulseCaptureStarted();
  void ImpulseCaptureFull();
  void ShowImpulseProgress();
  void TimerImpulseTimer();
  // Gives back what the run took over; resume: also restarts what it stopped.
  void EndImpulseRun(bool resume = true);
  void CreateBottomRow(QWidget* client);
  // How each control follows the window's growth beyond its smallest size.
  void CreateAnchors(QWidget* client);
  void CreateComponents();
  void ReadSettings();
  // The kept devices and latency, applied, and the offsets kept for that input.
  void ReadDeviceChoice(QSettings& s);
  // The kept calibration file, applied; one that cannot be used is forgotten, with a message
  // once the window is shown.
  void ReadCalibrationChoice(QSettings& s);
  // Gives the displays the calibration (nullptr: none) and shows it in the menu and status line.
  void ApplyCalibration(std::shared_ptr<const TCalibration> calibration);
  // The start's question whether to measure the offsets; measures on Yes.
  void AskToMeasureOffset();
  void CreateLevelScale();
  void ColourChannelLabels();
  void PlaceRangeLabels();
  void ShowOffsetHint();
  // The sound label: the backend in use, red when it is the simulated card.
  void ShowBackend();
  // The cursor and peak readouts go when the trace they describe does.
  void ClearSpectrumReadouts();
  void DelayCountdown();
  void StopAudio();
  // The start button's caption after the analyser was started, stopped or restarted.
  void ShowAnalyserState();
  // The generator button's caption after the tone generator closed (also by a device failure).
  void ShowGeneratorState();
  // Lamps and the sound label while a device has stopped delivering.
  void ShowStalledStreams();
  // The status line: a stall, a replayed file, or the devices in use.
  void ShowStatus();
  void SetStatusText(const QString& text, const QString& hint, const QString& tail = {});
  // " · Cal: <file>" for the status line's tail, the whole name and the sensitivity in its hint.
  void AddCalibrationStatus(QString& tail, QString& hint) const;
  void ReplayFile(const QString& name);
  // A handler as Qt calls it: an error it raises goes to the error display, as a device
  // notification's does, instead of unwinding through Qt.
  auto Guard(void (TMainForm::*handler)()) {
    return [this, handler] {
      try {
        (this->*handler)();
      } catch (const std::exception& e) {
        ShowException(e);
      }
    };
  }

  // Components.
  TAudioToneGenerator* FToneGenerator = nullptr;
  TBasicAudioAnalyser* FAnalyser = nullptr;
  TFormMeasureOffset* FFormMeasureOffset = nullptr;
  TAboutBox* FAboutBox = nullptr;
  QTimer* Timer1 = nullptr;
  bool FADCMeasured = false;
  TDeviceChoice FDeviceChoice;  // as kept; the environment may override what is in use
  std::string FDeviceNote;      // why a kept device is not in use, shown once the window is
  std::string FCalibrationNote;  // why the kept calibration is not in use, the same way
  std::shared_ptr<const TCalibration> FCalibration;
  double FRoundTripMs = 0;      // the last measured round trip, 0 before one
  bool FShown = false;
  bool FShowQueued = false;
  TOutputPhase FOutputPhase = opInPhase;
  // Typed values per channel (Hz, dBFS); none: the track bar's.
  std::optional<double> FTypedFrequency[2], FTypedLevel[2];
  // A user's action on a track bar (0, 1 frequency; 2, 3 level; left, right).
  void TrackBarAction(int bar);
  void UpdateExactSine();
  // Spectrum readouts: the last mouse position over the display and the last peak found
  // (frequency 0: none).
  int FSpectrumMouseX = 0, FSpectrumMouseY = 0;
  float FPreviousPeakFrequency = 0, FPreviousPeakLevel = 0;

  // Folder of the last file "Save as ..." wrote; empty before the first.
  QString FLastSaveFolder;

  // Menu.
  QAction* ReplayWAVFile1 = nullptr;
  QAction* Exit1 = nullptr;
  QAction* SoundDevices1 = nullptr;
  QAction* SoundCardTest1 = nullptr;
  QAction* ExportPicture1 = nullptr;
  QAction* ExportData1 = nullptr;
  QString FLastExportFolder;  // of the last export; empty: the home folder
  QAction* LoadCalibration1 = nullptr;
  QAction* NoCalibration1 = nullptr;
  QAction* Contents1 = nullptr;
  QAction* Index1 = nullptr;
  QAction* About1 = nullptr;

  // Generator panel.
  TTabControl* TabControlGenerator = nullptr;
  QGroupBox* GroupBoxOutputFreq = nullptr;
  QSlider* TrackBarFLeft = nullptr;
  QSlider* TrackBarFRight = nullptr;
  QLabel* LabelFLeft = nullptr;
  QLabel* LabelFRight = nullptr;
  QLabel* LabelFMax = nullptr;
  QLabel* LabelFMin = nullptr;
  QCheckBox* CheckBoxLockFreqs = nullptr;
  QGroupBox* GroupBoxOutputLevel = nullptr;
  QSlider* TrackBarALeft = nullptr;
  QSlider* TrackBarARight = nullptr;
  QLabel* LabelLAmplitude = nullptr;
  QLabel* LabelRAmplitude = nullptr;
  QCheckBox* CheckBoxLeftEnabled = nullptr;
  QCheckBox* CheckBoxRightEnabled = nullptr;
  QLabel* LabelFreqRange = nullptr;
  QComboBox* ComboBoxFreqRange = nullptr;
  QSpinBox* SpinEditUserF1 = nullptr;
  QSpinBox* SpinEditUserF2 = nullptr;
  QLabel* LabelUserTo = nullptr;
  TRadioGroup* RadioGroupOutChannel = nullptr;
  QLabel* LabelLeftWaveform = nullptr;
  QLabel* LabelRightWaveform = nullptr;
  QComboBox* ComboBoxLeftWaveform = nullptr;
  QComboBox* ComboBoxRightWaveform = nullptr;
  QGroupBox* GroupBoxSweepProperties = nullptr;
  QCheckBox* CheckBoxSteppedSweep = nullptr;
  QCheckBox* CheckBoxLogSweep = nullptr;
  QCheckBox* CheckBoxDeclickSweep = nullptr;
  QCheckBox* CheckBoxSlowSpeed = nullptr;
  QCheckBox* CheckBoxDelaySweep = nullptr;
  QCheckBox* CheckBoxStopAfterOne = nullptr;
  QSpinBox* SpinEditSweepDuration = nullptr;
  QLabel* LabelSweepDuration = nullptr;

  // Analyser pages.
  QTabWidget* PageControlAnalyser = nullptr;
  QWidget* TabSheetVectorscope = nullptr;
  QWidget* TabSheetScope = nullptr;
  QWidget* TabSheetSpectrum = nullptr;
  QWidget* TabSheetResponse = nullptr;
  QWidget* TabSheetDistortion = nullptr;
  QWidget* TabSheetImpulse = nullptr;
  QWidget* TabSheetInput = nullptr;
  TVectorScope* VectorScope1 = nullptr;
  QCheckBox* CheckBoxAGC = nullptr;
  TWaveformDisplay* WaveformDisplay1 = nullptr;
  QLabel* LabelTraceOffset = nullptr;
  QComboBox* ComboBoxTraceOffset = nullptr;
  TUpDown* UpDownScopeGain = nullptr;
  TUpDown* UpDownTimebase = nullptr;
  QLabel* LabelScopeGain = nullptr;
  QLabel* LabelTimebase = nullptr;
  TSpectrumDisplay* SpectrumDisplay1 = nullptr;
  QLabel* LabelSpectrumMarker = nullptr;
  TClickLabel* LabelSpectrumPeaks = nullptr;
  TUpDown* UpDownSpectMax = nullptr;
  TUpDown* UpDownSpectMin = nullptr;
  QLabel* LabelSpectrumMode = nullptr;
  QComboBox* ComboBoxSpectrumMode = nullptr;
  TRadioGroup* RadioGroupInChannel = nullptr;
  QCheckBox* CheckBoxHumFilter = nullptr;
  QCheckBox* CheckBoxHighResn = nullptr;
  QCheckBox* CheckBoxSpectrumMvgAvg = nullptr;
  QPushButton* ButtonLoadSpectrum = nullptr;
  TResponsePlot* ResponsePlot1 = nullptr;
  TUpDown* UpDownResponseMax = nullptr;
  TUpDown* UpDownResponseMin = nullptr;
  QLabel* LabelResponseMarker = nullptr;
  QLabel* LabelResponseTiming = nullptr;
  QPushButton* ButtonSaveFreqResp = nullptr;
  QPushButton* ButtonLoadLeft = nullptr;
  QPushButton* ButtonClearLeft = nullptr;
  QCheckBox* CheckBoxLeftIsRef = nullptr;
  QCheckBox* CheckBoxMovingAverage = nullptr;
  QLabel* LabelTraceSmoothing = nullptr;
  QComboBox* ComboBoxTraceSmoothing = nullptr;
  TDistortionDisplay* DistortionDisplay1 = nullptr;
  QComboBox* ComboBoxDistortionKind = nullptr;
  QComboBox* ComboBoxDistortionBand = nullptr;
  QComboBox* ComboBoxDistortionWeighting = nullptr;
  QComboBox* ComboBoxDistortionAveraging = nullptr;
  QPushButton* ButtonDistortionGenerator = nullptr;
  TImpulseDisplay* ImpulseDisplay1 = nullptr;
  QLabel* LabelImpulseMarker = nullptr;
  QLabel* LabelImpulseDelay = nullptr;
  QComboBox* ComboBoxImpulseView = nullptr;
  QComboBox* ComboBoxImpulseSmoothing = nullptr;
  QSpinBox* SpinEditImpulseLength = nullptr;
  QSpinBox* SpinEditImpulseF1 = nullptr;
  QSpinBox* SpinEditImpulseF2 = nullptr;
  QSpinBox* SpinEditImpulseLevel = nullptr;
  QComboBox* ComboBoxImpulseAveraging = nullptr;
  QCheckBox* CheckBoxImpulseWindowAuto = nullptr;
  QSpinBox* SpinEditImpulseWindowStart = nullptr;
  QSpinBox* SpinEditImpulseWindowEnd = nullptr;
  QCheckBox* CheckBoxImpulseDual = nullptr;
  QCheckBox* CheckBoxImpulseDivide = nullptr;
  QPushButton* ButtonImpulseMeasure = nullptr;
  QProgressBar* ProgressBarImpulse = nullptr;
  QPushButton* ButtonImpulseSave = nullptr;
  QPushButton* ButtonImpulseSaveWav = nullptr;
  QPushButton* ButtonImpulseLoad = nullptr;
  QPushButton* ButtonImpulseClear = nullptr;
  QTimer* TimerImpulse = nullptr;
  std::unique_ptr<TImpulseRun> FImpulseRun;
  QString FImpulseLoadedName;  // the loaded response's file name, empty for none
  TInputMixer* InputMixer1 = nullptr;
  QGroupBox* GroupBoxOffset = nullptr;
  QLabel* LabelOffsetAdvice = nullptr;
  QPushButton* ButtonMeasureOffset = nullptr;

  // Bottom row.
  QPushButton* ButtonSaveAs = nullptr;
  QPushButton* ButtonStartGenerator = nullptr;
  TLED* LEDgenerator = nullptr;
  QCheckBox* CheckBoxEnableAnalyser = nullptr;
  QPushButton* ButtonStartAnalyser = nullptr;
  TLED* LEDanalyser = nullptr;
  QLabel* LabelBackend = nullptr;
  QString FBackendCaption, FBackendHint;
  QPalette FBackendPalette;
  bool FOutputStalled = false, FInputStalled = false;
  QString FReplayedFile;  // the file the analyser shows, until live input comes again
  QPushButton* ButtonClose = nullptr;

  TAnchorLayout* FAnchors = nullptr;
  // The place the window was left at, when it is on a screen; none: centred when first shown.
  std::optional<QRect> FKeptPlace;
};
