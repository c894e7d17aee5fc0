#include "WaveCommon.h"

#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <span>
#include <vector>

#include "Messages.h"
#include "NSP.h"
#include "WaveFile.h"

namespace {

const char* kNoBuffersText = "No sample buffers: the block length is not valid or could not be allocated";

std::string WithAdvice(std::string message, const std::string& advice) {
  if (advice.empty()) return message;
  return message + (message.empty() || message.back() != '.' ? ". " : " ") + advice;
}

std::string Sentence(std::string text) {
  if (text.empty() || text.back() != '.') text += '.';
  return text;
}

// Closes whatever is open, then opens if enabled: the half of UpdateDevice both streams share.
// Raises E with "Error %d opening wave ..." when the device cannot be opened.
template <class E>
void ReopenDevice(TDeviceStream& device, bool& enabled, uint32_t& status, const char* openFormat) {
  if (device.IsOpen()) device.Close();
  if (!enabled) return;
  if (!device.HasBuffers()) {
    enabled = false;
    status = MMSYSERR_NOMEM;
    device.state = Closed;
    throw E(DeviceErrorMessage(openFormat, static_cast<int>(status), kNoBuffersText));
  }
  device.state = Opening;
  std::string text, advice;
  status = static_cast<uint32_t>(device.Open(&text, &advice));
  if (status != 0) {
    // Closed, not left half-open: the next start tries again from the beginning.
    enabled = false;
    device.state = Closed;
    throw E(WithAdvice(DeviceErrorMessage(openFormat, static_cast<int>(status), text), advice));
  }
}

}  // namespace

float PowerTodB(long double x) { return static_cast<float>(10.0L * std::log10((x + 1e-20L) / 0.5L)); }

void PowerVectorTodB(float* vector, int count) {
  static const float tenOverLn10 = static_cast<float>(10.0L / std::log(10.0L));
  nspsbMpy1(2.0f, vector, count);
  nspsbLn1(vector, count);
  nspsbMpy1(tenOverLn10, vector, count);
}

// ---- TWaveOut ----------------------------------------------------------------

TWaveOut::TWaveOut(QObject* AOwner) : QObject(AOwner) {
  FEnabled = false;
  FDevice = new TDeviceStream(TDeviceStream::Output, this);
  FDevice->SetHandlers({[this] { HandleOpen(); }, [this] { HandleClose(); }, [this](PWaveHdr) { HandleDone(); },
                        [this](int code) { Fail(code, FDevice->ErrorText(code)); }});
  FSampleRate = kSampleRate;
  SetBufferSamples(8820);
  FDevice->state = Closed;
}

TWaveOut::~TWaveOut() {
  FOnOpen = nullptr;
  FOnClose = nullptr;
  FOnDone = nullptr;
  FOnNeedData = nullptr;
  FEnabled = false;
  try {
    UpdateDevice();
  } catch (...) {
    // closing raises nothing; nothing can be reported from a destructor anyway
  }
}

void TWaveOut::SetEnabled(bool Value) {
  if (Value == FEnabled) return;
  FEnabled = Value;
  UpdateDevice();
}

void TWaveOut::SetOnOpen(TNotifyEvent Value) {
  FOnOpen = std::move(Value);
  UpdateDevice();
}

void TWaveOut::SetOnClose(TNotifyEvent Value) {
  FOnClose = std::move(Value);
  UpdateDevice();
}

void TWaveOut::SetOnDone(TNotifyEvent Value) {
  FOnDone = std::move(Value);
  UpdateDevice();
}

void TWaveOut::SetOnNeedData(TNeedDataEvent Value) {
  FOnNeedData = std::move(Value);
  UpdateDevice();
}

void TWaveOut::SetBufferSamples(int Value) {
  if (Value == FBufferSamples) return;
  bool wasEnabled = FEnabled;
  SetEnabled(false);
  UpdateDevice();
  FBufferSamples = Value;
  if (!FDevice->Allocate(Value)) {
    // Without buffers the stream stays off until a valid length is set.
    ShowMessage("Failed to get memory for output buffers");
    return;
  }
  if (wasEnabled) SetEnabled(true);
}

bool TWaveOut::WriteWaveFile(const QString& FileName, int BlockCount, int BlockFrames) {
  const std::string name = FileName.toStdString();
  auto fail = [&](const std::string& reason) {
    ShowMessage("Could not write the WAV file \"" + name + "\": " + reason + ".");
    return false;
  };
  const int frames = BlockFrames > 0 ? BlockFrames : FBufferSamples;
  if (frames <= 0) return fail("the block length is not valid");
  const uint64_t blockBytes = static_cast<uint64_t>(kBlockAlign) * static_cast<uint64_t>(frames);
  const uint64_t blocks = static_cast<uint64_t>(std::max(0, BlockCount));
  const auto frame = WaveFileFrame(FFormat, blocks * blockBytes,
                                   QDate::currentDate().toString("yyyy-MM-dd").toStdString());
  if (!frame) return fail(std::to_string(blocks) + " blocks are too long for a WAV file");
  std::vector<char> buffer;
  try {
    buffer.assign(blockBytes, 0);
  } catch (const std::bad_alloc&) {
    return fail("no memory for a block");
  }
  wavehdr_tag header{};
  header.lpData = buffer.data();
  header.dwBufferLength = static_cast<uint32_t>(blockBytes);
  header.dwLoops = 1;

  QSaveFile file(FileName);
  if (!file.open(QIODevice::WriteOnly)) return fail(file.errorString().toStdString());
  auto put = [&file](const void* data, uint64_t bytes) {
    return file.write(static_cast<const char*>(data), static_cast<qint64>(bytes)) ==
           static_cast<qint64>(bytes);
  };
  bool written = put(frame->Head.data(), frame->Head.size());
  for (uint64_t k = 0; k < blocks && written; ++k) {
    if (FOnNeedData) FOnNeedData(&header);
    written = put(buffer.data(), blockBytes);
  }
  // Flushed before the commit: a write error that only the flush meets (a full disk) would
  // otherwise let the commit put a truncated file in place of the old one.
  written = written && put(frame->Tail.data(), frame->Tail.size()) && file.flush();
  if (!written) {
    const std::string reason = file.errorString().toStdString();
    file.cancelWriting();
    return fail(reason);
  }
  if (!file.commit()) return fail(file.errorString().toStdString());
  return true;
}

QString WriteWholeFile(const QString& name, const QByteArray& bytes) {
  QSaveFile file(name);
  if (!file.open(QIODevice::WriteOnly)) return file.errorString();
  errno = 0;
  // Flushed before the commit: a write error that only the flush meets (a full disk) would
  // otherwise let the commit put a truncated file in place of the old one.
  if (file.write(bytes) != bytes.size() || !file.flush()) {
    const int code = errno;
    const QString failure = code != 0 ? QString::fromLocal8Bit(std::strerror(code)) : file.errorString();
    file.cancelWriting();
    return failure;
  }
  if (!file.commit()) return file.errorString();
  return {};
}

void TWaveOut::UpdateDevice() {
  ReopenDevice<EWaveOutError>(*FDevice, FEnabled, FStatus, "Error %d opening wave output - %s");
}

void TWaveOut::Fail(int Code, const std::string& Text) {
  FStatus = static_cast<uint32_t>(Code);
  FEnabled = false;
  UpdateDevice();
  const std::string error = DeviceErrorMessage("Error %d writing wave output - %s", Code, Text);
  throw EWaveOutFailure(WithAdvice(error, FDevice->FailureAdvice()), {true, Sentence(error), FDevice->FailedDevice()});
}

void TWaveOut::QueueBlock(PWaveHdr Header) {
  std::exception_ptr fillError;
  if (FOnNeedData) {
    try {
      FOnNeedData(Header);
    } catch (...) {
      // Keep the block in rotation, silent, so one failed fill does not starve the device.
      fillError = std::current_exception();
      std::memset(Header->lpData, 0, Header->dwBufferLength);
    }
  }
  // The fill handler may have stopped this stream.
  if (!FDevice->IsOpen()) {
    if (fillError) std::rethrow_exception(fillError);
    return;
  }
  const int result = FDevice->Queue(Header);
  FStatus = static_cast<uint32_t>(result);
  if (result != 0) Fail(result, FDevice->ErrorText(result));
  if (fillError) std::rethrow_exception(fillError);
}

void TWaveOut::HandleOpen() {
  if (FDevice->state == Opening) {
    FFramesDone = 0;
    FFirstBlockClock = -1;
    std::exception_ptr error;
    for (PWaveHdr h : {&FDevice->HeaderA(), &FDevice->HeaderB()}) {
      if (!FDevice->IsOpen()) break;
      h->dwFlags |= WHDR_PREPARED;
      try {
        QueueBlock(h);
      } catch (...) {
        if (!error) error = std::current_exception();
      }
    }
    if (!FDevice->IsOpen()) {
      // A refused block closed the stream again (its close came without an open).
      if (error) std::rethrow_exception(error);
      return;
    }
    FDevice->state = Running;
    FDevice->Arm();
    FOpened = true;
    if (FEnabled && FOnOpen) FOnOpen(this);
    if (error) std::rethrow_exception(error);
    return;
  }
  if (FEnabled && FOnOpen) FOnOpen(this);
}

void TWaveOut::HandleDone() {
  if (FDevice->state != Running) return;
  PWaveHdr h = FDevice->current;
  FLastPlayed = h->dwUser;
  FLastPlayedClock = h->deviceClock;
  FLastPlayedTake = h->deviceTake;
  // A device may hand back its first blocks before it can tell their clock (one that has not
  // begun to play when they are all in its buffer): the first frame's clock then follows from
  // the first block that has one, less the frames played before it.
  if (FFirstBlockClock < 0 && h->deviceClock >= 0) FFirstBlockClock = h->deviceClock - FFramesDone;
  FFramesDone += h->dwBufferLength / kBlockAlign;
  QueueBlock(h);
  if (FOnDone) FOnDone(this);
}

void TWaveOut::HandleClose() {
  FDevice->HeaderA().dwFlags &= ~WHDR_PREPARED;
  FDevice->HeaderB().dwFlags &= ~WHDR_PREPARED;
  FDevice->state = Closed;
  const bool opened = FOpened;
  FOpened = false;
  // A close pairs with an open: one that was never seen to open closes without a word.
  if (opened && FOnClose) FOnClose(this);
}

// ---- TWaveIn -----------------------------------------------------------------

TWaveIn::TWaveIn(QObject* AOwner) : QObject(AOwner) {
  FEnabled = false;
  FDevice = new TDeviceStream(TDeviceStream::Input, this);
  FDevice->SetHandlers({[this] { HandleOpen(); }, [this] { HandleClose(); }, [this](PWaveHdr) { HandleData(); },
                        [this](int code) { Fail(code, FDevice->ErrorText(code)); }});
  FSampleRate = kSampleRate;
  TWaveIn::SetBufferSamples(4410);
  FAutoStart = false;
  FDevice->state = Closed;
}

TWaveIn::~TWaveIn() {
  FOnOpen = nullptr;
  FOnClose = nullptr;
  FOnData = nullptr;
  FEnabled = false;
  try {
    UpdateDevice();
  } catch (...) {
  }
}

void TWaveIn::SetEnabled(bool Value) {
  if (Value == FEnabled) return;
  FEnabled = Value;
  UpdateDevice();
}

void TWaveIn::SetOnOpen(TNotifyEvent Value) {
  FOnOpen = std::move(Value);
  UpdateDevice();
}

void TWaveIn::SetOnClose(TNotifyEvent Value) {
  FOnClose = std::move(Value);
  UpdateDevice();
}

void TWaveIn::SetOnData(THaveDataEvent Value) {
  FOnData = std::move(Value);
  UpdateDevice();
}

void TWaveIn::SetAutoStart(bool Value) {
  FAutoStart = Value;
  FEnabled = false;
  UpdateDevice();
}

void TWaveIn::SetBufferSamples(int Value) {
  if (Value == FBufferSamples) return;
  bool wasEnabled = FEnabled;
  FEnabled = false;
  UpdateDevice();
  FBufferSamples = Value;
  if (!FDevice->Allocate(Value)) {
    ShowMessage("Failed to get memory for input buffers");
    return;
  }
  if (wasEnabled) {
    FEnabled = true;
    UpdateDevice();
  }
}

void TWaveIn::UpdateDevice() {
  FBlocksQueued = false;
  FStartPending = false;
  ReopenDevice<EWaveInError>(*FDevice, FEnabled, FStatus, "Error %d opening wave input - %s");
}

void TWaveIn::Fail(int Code, const std::string& Text) {
  FStatus = static_cast<uint32_t>(Code);
  FEnabled = false;
  UpdateDevice();
  const std::string error = DeviceErrorMessage("Error %d reading wave input - %s", Code, Text);
  throw EWaveInFailure(WithAdvice(error, FDevice->FailureAdvice()), {false, Sentence(error), FDevice->FailedDevice()});
}

void TWaveIn::Start() {
  if (FDevice->state != Opening || !FDevice->IsOpen()) return;
  if (!FBlocksQueued) {
    // Asked before the open notification was handled: start once the blocks are queued.
    FStartPending = true;
    return;
  }
  FDevice->state = Running;
  FDevice->Arm();
  if (const int result = FDevice->Start(); result != 0) Fail(result, FDevice->ErrorText(result));
}

void TWaveIn::HandleOpen() {
  if (FDevice->state != Opening || !FDevice->IsOpen()) return;
  FDevice->SetUpHeaders();
  for (PWaveHdr h : {&FDevice->HeaderA(), &FDevice->HeaderB()}) {
    h->dwFlags = WHDR_PREPARED;
    if (const int result = FDevice->Queue(h); result != 0) Fail(result, FDevice->ErrorText(result));
  }
  FBlocksQueued = true;
  FBufferNumber = 0;
  FOpened = true;
  if (FOnOpen) FOnOpen(this);
  if (FAutoStart || FStartPending) {
    FStartPending = false;
    Start();
  }
}

void TWaveIn::RequeueCurrent() {
  PWaveHdr h = FDevice->current;
  if (!h || h->dwUser == FileBlockMarker || !FDevice->IsOpen()) return;
  if (const int result = FDevice->Queue(h); result != 0) Fail(result, FDevice->ErrorText(result));
}

void TWaveIn::HandleData() {
  if (FDevice->state != Running) return;
  PWaveHdr h = FDevice->current;
  bool full = static_cast<int64_t>(h->dwBytesRecorded / kBlockAlign) == FBufferSamples;
  try {
    if (full && FOnData) FOnData(*h);
  } catch (...) {
    // The block still goes back, so a failing handler does not stop capture.
    ++FBufferNumber;
    RequeueCurrent();
    throw;
  }
  ++FBufferNumber;
  RequeueCurrent();
}

void TWaveIn::HandleClose() {
  FDevice->HeaderA().dwFlags &= ~WHDR_PREPARED;
  FDevice->HeaderB().dwFlags &= ~WHDR_PREPARED;
  FBlocksQueued = false;
  FDevice->state = Closed;
  const bool opened = FOpened;
  FOpened = false;
  if (opened && FOnClose) FOnClose(this);
}

bool TWaveIn::ReadWaveFile(const QString& FileName) {
  const std::string name = FileName.toStdString();
  auto fail = [&](const std::string& reason) {
    ShowMessage("Could not replay the WAV file \"" + name + "\": " + reason + ".");
    return false;
  };
  // Opening a pipe or a device would wait or never end.
  if (const QFileInfo info(FileName); info.exists() && !info.isFile())
    return fail("it is not a plain file");
  QFile file(FileName);
  if (!file.open(QIODevice::ReadOnly)) return fail(file.errorString().toStdString());
  const QByteArray bytes = file.readAll();
  if (file.error() != QFileDevice::NoError) return fail(file.errorString().toStdString());
  file.close();

  const std::span<const uint8_t> all(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                     static_cast<std::size_t>(bytes.size()));
  const TWaveParse parse = ParseWave(all, IgnoreFileSampleRate);
  if (parse.Fault == TWaveFault::Refused) {
    ShowMessage("File is not a 16-bit, 44.1 KHz file", name);
    return false;
  }
  if (parse.Fault != TWaveFault::None) return fail(parse.Reason);
  std::vector<int16_t> frames =
      StereoFrames(all.subspan(parse.DataOffset, parse.DataSize), parse.Format.Channels);
  ReplaySamples(reinterpret_cast<char*>(frames.data()),
                static_cast<int64_t>(frames.size() * sizeof(int16_t)));
  return true;
}

void TWaveIn::ReplaySamples(char* Data, int64_t ByteCount) {
  if (FBufferSamples <= 0 || !FDevice->HasBuffers())
    throw EWaveInError("Cannot replay: the block length is not valid");
  const int64_t block = static_cast<int64_t>(kBlockAlign) * FBufferSamples;
  wavehdr_tag header{};
  header.lpData = Data;
  header.dwBufferLength = static_cast<uint32_t>(block);
  header.dwBytesRecorded = static_cast<uint32_t>(block);
  header.dwUser = FileBlockMarker;
  FDevice->current = &header;
  FBufferCount = static_cast<int>(ByteCount / block);
  SetEnabled(false);
  FDevice->state = Running;
  FDevice->replaying = true;
  auto endOfReplay = [this] {
    FDevice->replaying = false;
    FDevice->state = Closed;
    FDevice->current = nullptr;
  };
  try {
    int64_t remaining = ByteCount;
    for (int k = 0; k < FBufferCount; ++k) {
      FBufferNumber = k;
      FDevice->current = &header;
      HandleData();
      header.lpData += block;
      remaining -= block;
    }
    if (remaining > 0) {
      header.dwBytesRecorded = static_cast<uint32_t>(remaining);
      FDevice->current = &header;
      ++FBufferNumber;
      HandleData();
    }
  } catch (...) {
    endOfReplay();
    throw;
  }
  endOfReplay();
  // A handler that enabled capture meanwhile had its open report dropped: open afresh.
  if (FDevice->IsOpen()) UpdateDevice();
}
