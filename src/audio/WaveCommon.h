// Sample streams: TWaveOut plays an endless sequence of blocks filled by OnNeedData;
// TWaveIn records into blocks and hands each full one to HandleData. Both keep two
// blocks in rotation on a device of the current audio backend.
//
// Threads: GUI thread only. Device reports arrive through each stream's notifier, one
// at a time between other GUI events. Units: frames (stereo, 4 bytes), Hz, dB.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "AudioDevice.h"
#include "DeviceStream.h"
#include "WaveTypes.h"

class EWaveOutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class EWaveInError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raised when a running device fails: the whole message, and its parts for a message that
// names several devices (ShowDeviceFailure).
class EWaveOutFailure : public EWaveOutError, public TDeviceFailure {
 public:
  EWaveOutFailure(const std::string& message, TDeviceFailure parts)
      : EWaveOutError(message), TDeviceFailure(std::move(parts)) {}
};
class EWaveInFailure : public EWaveInError, public TDeviceFailure {
 public:
  EWaveInFailure(const std::string& message, TDeviceFailure parts)
      : EWaveInError(message), TDeviceFailure(std::move(parts)) {}
};

using TNotifyEvent = std::function<void(QObject* Sender)>;
using TNeedDataEvent = std::function<void(PWaveHdr Header)>;
using THaveDataEvent = std::function<void(wavehdr_tag& Header)>;

// Level in dB of a mean-square value (full scale 1; a full-scale sine is 0 dB).
// Writes bytes to name through a temporary file renamed over it, so that a failed write leaves
// the old file as it was. Empty when written; else the reason (the system's words).
QString WriteWholeFile(const QString& name, const QByteArray& bytes);

float PowerTodB(long double x);
// The same in place on single floats, without the guard term: 10 log10(2x).
void PowerVectorTodB(float* vector, int count);

class TWaveOut : public QObject {
  Q_OBJECT
 public:
  explicit TWaveOut(QObject* AOwner = nullptr);
  ~TWaveOut() override;

  uint32_t Status() const { return FStatus; }
  bool Enabled() const { return FEnabled; }
  virtual void SetEnabled(bool Value);
  const TNotifyEvent& OnOpen() const { return FOnOpen; }
  void SetOnOpen(TNotifyEvent Value);
  const TNotifyEvent& OnClose() const { return FOnClose; }
  void SetOnClose(TNotifyEvent Value);
  const TNotifyEvent& OnDone() const { return FOnDone; }
  void SetOnDone(TNotifyEvent Value);
  const TNeedDataEvent& OnNeedData() const { return FOnNeedData; }
  void SetOnNeedData(TNeedDataEvent Value);
  int SampleRate() const { return FSampleRate; }
  int BufferSamples() const { return FBufferSamples; }
  void SetBufferSamples(int Value);

  // Writes BlockCount blocks filled by OnNeedData, as during playback, into a WAV file dated
  // today. The blocks are filled in a buffer of their own, so a playing device's blocks are
  // never touched. The file is replaced only once it is complete; any failure is shown as a
  // message naming the file and leaves an existing file as it was. True when written. An
  // exception from OnNeedData passes through, the old file intact.
  // BlockFrames > 0 writes blocks of that many frames instead of BufferSamples.
  bool WriteWaveFile(const QString& FileName, int BlockCount, int BlockFrames = 0);

  TStreamState State() const { return FDevice->state; }
  // dwUser of the most recently finished block.
  uint32_t LastPlayedValue() const { return FLastPlayed; }
  // The device clock of the first frame played since the device opened: the first block's
  // deviceClock, or a later block's less the frames played before it when the device could not
  // yet tell; -1 until a block with a clock has come back, or when the backend keeps no clock.
  int64_t FirstBlockClock() const { return FFirstBlockClock; }
  // The most recently finished block's deviceClock and deviceTake (-1: not known).
  int64_t LastPlayedClock() const { return FLastPlayedClock; }
  int64_t LastPlayedTake() const { return FLastPlayedTake; }
  // True while the running device has stopped taking blocks (it may come back).
  bool Stalled() const { return FDevice->Stalled(); }
  // The name of the open (or last opened) device.
  std::string DeviceName() const { return FDevice->DeviceName(); }

 protected:
  virtual void HandleOpen();
  virtual void HandleClose();
  virtual void HandleDone();
  void UpdateDevice();
  // Fills and queues one block; a device that refuses it ends the stream (closed, Enabled
  // false) and raises EWaveOutError.
  void QueueBlock(PWaveHdr Header);
  PWaveHdr CurrentHeader() const { return FDevice->current; }

 private:
  // The device failed: close for good and raise the one error of this opening.
  [[noreturn]] void Fail(int Code, const std::string& Text);

  uint32_t FStatus = 0;
  bool FEnabled = false;
  TNotifyEvent FOnOpen, FOnClose, FOnDone;
  TNeedDataEvent FOnNeedData;
  int FSampleRate = kSampleRate;
  int FBufferSamples = 0;
  uint32_t FLastPlayed = 0;
  int64_t FFirstBlockClock = -1;
  int64_t FLastPlayedClock = -1, FLastPlayedTake = -1;
  int64_t FFramesDone = 0;  // frames of the blocks played since the device opened
  bool FOpened = false;  // this opening's open was handled, so its close fires OnClose
  TWaveFormat FFormat;
  TDeviceStream* FDevice = nullptr;
};

class TWaveIn : public QObject {
  Q_OBJECT
 public:
  explicit TWaveIn(QObject* AOwner = nullptr);
  ~TWaveIn() override;

  uint32_t Status() const { return FStatus; }
  bool Enabled() const { return FEnabled; }
  virtual void SetEnabled(bool Value);
  const TNotifyEvent& OnOpen() const { return FOnOpen; }
  void SetOnOpen(TNotifyEvent Value);
  const TNotifyEvent& OnClose() const { return FOnClose; }
  void SetOnClose(TNotifyEvent Value);
  const THaveDataEvent& OnData() const { return FOnData; }
  void SetOnData(THaveDataEvent Value);
  bool AutoStart() const { return FAutoStart; }
  void SetAutoStart(bool Value);
  int SampleRate() const { return FSampleRate; }
  int BufferSamples() const { return FBufferSamples; }
  virtual void SetBufferSamples(int Value);
  int BufferNumber() const { return FBufferNumber; }
  int BufferCount() const { return FBufferCount; }
  bool IgnoreFileSampleRate = false;

  // Begins recording if the device is open and waiting.
  void Start();
  // Replays interleaved stereo frames through HandleData, synchronously.
  void ReplaySamples(char* Data, int64_t ByteCount);
  // Replays a WAV file of 16-bit PCM at 44100 Hz (any rate with IgnoreFileSampleRate) through
  // ReplaySamples: mono on both sides, more channels by their first two. A refused format
  // shows "File is not a 16-bit, 44.1 KHz file" under the file's name; a file that cannot be
  // read or is no WAV file shows a message naming it and the reason. Either replays nothing.
  // True when the file was replayed.
  bool ReadWaveFile(const QString& FileName);

  TStreamState State() const { return FDevice->state; }
  bool Stalled() const { return FDevice->Stalled(); }
  std::string DeviceName() const { return FDevice->DeviceName(); }
  // The block being handled (inside OnData and the display's ProcessSamples), else null: its
  // deviceFrame and deviceClock place it in the device's time.
  const wavehdr_tag* CurrentBlock() const { return FDevice->current; }

  // Performance-counter ticks spent handling and drawing blocks since block 0.
  double ProcTicks = 0;
  double PlotTicks = 0;

 protected:
  virtual void HandleOpen();
  virtual void HandleClose();
  virtual void HandleData();
  void UpdateDevice();
  // Hands the current block back to the device unless it came from a file; a device that
  // refuses it ends the stream and raises EWaveInError.
  void RequeueCurrent();
  PWaveHdr CurrentHeader() const { return FDevice->current; }
  void SetBufferNumber(int Value) { FBufferNumber = Value; }
  bool FEnabled = false;

 private:
  [[noreturn]] void Fail(int Code, const std::string& Text);

  uint32_t FStatus = 0;
  TNotifyEvent FOnOpen, FOnClose;
  THaveDataEvent FOnData;
  bool FAutoStart = false;
  bool FStartPending = false;  // Start came before the open notification
  bool FBlocksQueued = false;
  bool FOpened = false;
  int FSampleRate = kSampleRate;
  int FBufferSamples = 0;
  int FBufferNumber = 0;
  int FBufferCount = 0;
  TWaveFormat FFormat;
  TDeviceStream* FDevice = nullptr;
};
