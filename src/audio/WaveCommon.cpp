#include "WaveCommon.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "Messages.h"
#include "NSP.h"

namespace {

// Device error texts are limited as the classic error-text buffer was.
std::string ErrorMessage(const char* what, uint32_t code, std::string text) {
  if (text.size() > 100) text.resize(100);
  char buf[256];
  std::snprintf(buf, sizeof buf, what, static_cast<int>(code), text.c_str());
  return buf;
}

const char* kNoBuffersText = "No sample buffers: the block length is not valid or could not be allocated";

void SetUpHeaderPair(wavehdr_tag& a, wavehdr_tag& b, const TBlockPair& buffers, int frames) {
  a = wavehdr_tag{};
  a.lpData = buffers.A();
  a.dwBufferLength = buffers.Valid() ? static_cast<uint32_t>(kBlockAlign) * static_cast<uint32_t>(frames) : 0;
  a.dwLoops = 1;
  b = a;
  b.lpData = buffers.B();
}

}  // namespace

float PowerTodB(long double x) { return static_cast<float>(10.0L * std::log10((x + 1e-20L) / 0.5L)); }

void PowerVectorTodB(float* vector, int count) {
  static const float tenOverLn10 = static_cast<float>(10.0L / std::log(10.0L));
  nspsbMpy1(2.0f, vector, count);
  nspsbLn1(vector, count);
  nspsbMpy1(tenOverLn10, vector, count);
}

// ---- TBlockPair --------------------------------------------------------------

bool TBlockPair::Allocate(int frames) {
  Free();
  if (frames <= 0) return false;
  uint64_t bytes = static_cast<uint64_t>(kBlockAlign) * static_cast<uint64_t>(frames);
  if (bytes > 0xFFFFFFFFull) return false;  // must fit a block header's length field
  a_ = static_cast<char*>(std::calloc(bytes, 1));
  b_ = static_cast<char*>(std::calloc(bytes, 1));
  if (!a_ || !b_) {
    Free();
    return false;
  }
  return true;
}

void TBlockPair::Free() {
  std::free(a_);
  std::free(b_);
  a_ = b_ = nullptr;
}

// ---- TWaveOut ----------------------------------------------------------------

TWaveOut::TWaveOut(QObject* AOwner) : QObject(AOwner) {
  FEnabled = false;
  FNotifier = new TDeviceNotifier([this](unsigned m, PWaveHdr h) { Notify(m, h); }, this);
  FSampleRate = kSampleRate;
  SetBufferSamples(8820);
  FState = Closed;
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

void TWaveOut::SetUpHeaders() { SetUpHeaderPair(FHeaderA, FHeaderB, FBuffers, FBufferSamples); }

void TWaveOut::SetBufferSamples(int Value) {
  if (Value == FBufferSamples) return;
  bool wasEnabled = FEnabled;
  SetEnabled(false);
  UpdateDevice();
  FBuffers.Free();
  FBufferSamples = Value;
  bool ok = FBuffers.Allocate(Value);
  SetUpHeaders();
  if (!ok) {
    // Without buffers the stream stays off until a valid length is set.
    ShowMessage("Failed to get memory for output buffers");
    return;
  }
  if (wasEnabled) SetEnabled(true);
}

void TWaveOut::UpdateDevice() {
  if (FDevice) {
    FState = Closing;
    FDevice->Reset();
    FDevice->Close();
    // The device posts its close before Close returns; take exactly that message.
    FNotifier->Take(MM_WOM_CLOSE, nullptr, 10000);
    FNotifier->Dispatch(MM_WOM_CLOSE, nullptr);
  }
  if (!FEnabled) return;
  if (!FBuffers.Valid()) {
    FEnabled = false;
    FStatus = MMSYSERR_NOMEM;
    throw EWaveOutError(ErrorMessage("Error %d opening wave output - %s", FStatus, kNoBuffersText));
  }
  FState = Opening;
  FDevice = AudioBackend().CreateOutput();
  FStatus = static_cast<uint32_t>(FDevice->Open(FNotifier));
  if (FStatus != 0) {
    std::string text = FDevice->ErrorText(static_cast<int>(FStatus));
    FDevice.reset();
    FEnabled = false;
    throw EWaveOutError(ErrorMessage("Error %d opening wave output - %s", FStatus, text));
  }
}

void TWaveOut::Notify(unsigned Message, PWaveHdr Header) {
  switch (Message) {
    case MM_WOM_OPEN:
      HandleOpen();
      break;
    case MM_WOM_CLOSE:
      HandleClose();
      break;
    case MM_WOM_DONE:
      if (Header == &FHeaderA || Header == &FHeaderB) QueuedFlag(Header) = false;
      FCurrentHeader = Header;
      HandleDone();
      break;
    default:
      break;
  }
}

void TWaveOut::QueueBlock(PWaveHdr Header) {
  bool& queued = QueuedFlag(Header);
  if (queued) return;  // the device still holds it: never fill or queue it twice
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
  int result = FDevice ? FDevice->Write(Header) : MMSYSERR_INVALHANDLE;
  FStatus = static_cast<uint32_t>(result);
  if (result == 0) queued = true;
  if (fillError) std::rethrow_exception(fillError);
  if (result != 0) {
    std::string text = FDevice ? FDevice->ErrorText(result) : "The device is not open.";
    throw EWaveOutError(ErrorMessage("Error %d writing wave output - %s", FStatus, text));
  }
}

void TWaveOut::HandleOpen() {
  if (FState == Opening) {
    std::exception_ptr error;
    for (PWaveHdr h : {&FHeaderA, &FHeaderB}) {
      h->dwFlags |= WHDR_PREPARED;
      try {
        QueueBlock(h);
      } catch (...) {
        if (!error) error = std::current_exception();
      }
    }
    FState = Running;
    if (FEnabled && FOnOpen) FOnOpen(this);
    if (error) std::rethrow_exception(error);
    return;
  }
  if (FEnabled && FOnOpen) FOnOpen(this);
}

void TWaveOut::HandleDone() {
  if (FState != Running) return;
  FLastPlayed = FCurrentHeader->dwUser;
  QueueBlock(FCurrentHeader);
  if (FOnDone) FOnDone(this);
}

void TWaveOut::HandleClose() {
  FHeaderA.dwFlags &= ~WHDR_PREPARED;
  FHeaderB.dwFlags &= ~WHDR_PREPARED;
  FDevice.reset();
  FQueuedA = FQueuedB = false;
  FState = Closed;
  if (FOnClose) FOnClose(this);
}

// ---- TWaveIn -----------------------------------------------------------------

TWaveIn::TWaveIn(QObject* AOwner) : QObject(AOwner) {
  FEnabled = false;
  FNotifier = new TDeviceNotifier([this](unsigned m, PWaveHdr h) { Notify(m, h); }, this);
  FSampleRate = kSampleRate;
  TWaveIn::SetBufferSamples(4410);
  FAutoStart = false;
  FState = Closed;
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
  FBuffers.Free();
  FBufferSamples = Value;
  bool ok = FBuffers.Allocate(Value);
  SetUpHeaderPair(FHeaderA, FHeaderB, FBuffers, FBufferSamples);
  if (!ok) {
    ShowMessage("Failed to get memory for input buffers");
    return;
  }
  if (wasEnabled) {
    FEnabled = true;
    UpdateDevice();
  }
}

void TWaveIn::UpdateDevice() {
  if (FDevice) {
    FState = Closing;
    FDevice->Stop();
    FDevice->Reset();
    FDevice->Close();
    FNotifier->Take(MM_WIM_CLOSE, nullptr, 10000);
    FNotifier->Dispatch(MM_WIM_CLOSE, nullptr);
  }
  if (!FEnabled) return;
  if (!FBuffers.Valid()) {
    FEnabled = false;
    FStatus = MMSYSERR_NOMEM;
    throw EWaveInError(ErrorMessage("Error %d opening wave input - %s", FStatus, kNoBuffersText));
  }
  FState = Opening;
  FBlocksQueued = false;
  FStartPending = false;
  FDevice = AudioBackend().CreateInput();
  FStatus = static_cast<uint32_t>(FDevice->Open(FNotifier));
  if (FStatus != 0) {
    std::string text = FDevice->ErrorText(static_cast<int>(FStatus));
    FDevice.reset();
    FEnabled = false;
    throw EWaveInError(ErrorMessage("Error %d opening wave input - %s", FStatus, text));
  }
}

bool* TWaveIn::QueuedFlag(PWaveHdr Header) {
  if (Header == &FHeaderA) return &FQueuedA;
  if (Header == &FHeaderB) return &FQueuedB;
  return nullptr;
}

void TWaveIn::Notify(unsigned Message, PWaveHdr Header) {
  switch (Message) {
    case MM_WIM_OPEN:
      HandleOpen();
      break;
    case MM_WIM_CLOSE:
      HandleClose();
      break;
    case MM_WIM_DATA:
      if (bool* q = QueuedFlag(Header)) *q = false;
      FCurrentHeader = Header;
      HandleData();
      break;
    case MM_WIM_ERROR:
      // A device that dies while recording must not look like a quiet input.
      if (FDevice) {
        int code = FDevice->LastError();
        throw EWaveInError(ErrorMessage("Error %d reading wave input - %s", static_cast<uint32_t>(code),
                                        FDevice->ErrorText(code)));
      }
      break;
    default:
      break;
  }
}

void TWaveIn::Start() {
  if (FState != Opening || !FDevice) return;
  if (!FBlocksQueued) {
    // Asked before the open notification was handled: start once the blocks are queued.
    FStartPending = true;
    return;
  }
  FState = Running;
  FDevice->Start();
}

void TWaveIn::HandleOpen() {
  if (FState != Opening || !FDevice) return;
  SetUpHeaderPair(FHeaderA, FHeaderB, FBuffers, FBufferSamples);
  for (PWaveHdr h : {&FHeaderA, &FHeaderB}) {
    h->dwFlags = WHDR_PREPARED;
    if (FDevice->AddBuffer(h) == 0) *QueuedFlag(h) = true;
  }
  FBlocksQueued = true;
  FBufferNumber = 0;
  if (FOnOpen) FOnOpen(this);
  if (FAutoStart || FStartPending) {
    FStartPending = false;
    Start();
  }
}

void TWaveIn::RequeueCurrent() {
  PWaveHdr h = FCurrentHeader;
  if (!h || h->dwUser == FileBlockMarker) return;
  bool* queued = QueuedFlag(h);
  if (!queued || *queued || !FDevice) return;  // never hand a block back twice
  if (FDevice->AddBuffer(h) == 0) *queued = true;
}

void TWaveIn::HandleData() {
  if (FState != Running) return;
  PWaveHdr h = FCurrentHeader;
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
  FHeaderA.dwFlags &= ~WHDR_PREPARED;
  FHeaderB.dwFlags &= ~WHDR_PREPARED;
  FDevice.reset();
  FQueuedA = FQueuedB = false;
  FBlocksQueued = false;
  FState = Closed;
  if (FOnClose) FOnClose(this);
}

void TWaveIn::ReplaySamples(char* Data, int64_t ByteCount) {
  if (FBufferSamples <= 0 || !FBuffers.Valid())
    throw EWaveInError("Cannot replay: the block length is not valid");
  const int64_t block = static_cast<int64_t>(kBlockAlign) * FBufferSamples;
  wavehdr_tag header{};
  header.lpData = Data;
  header.dwBufferLength = static_cast<uint32_t>(block);
  header.dwBytesRecorded = static_cast<uint32_t>(block);
  header.dwUser = FileBlockMarker;
  FCurrentHeader = &header;
  FBufferCount = static_cast<int>(ByteCount / block);
  SetEnabled(false);
  FState = Running;
  struct TEndOfReplay {
    TWaveIn* self;
    ~TEndOfReplay() {
      self->FState = Closed;
      self->FCurrentHeader = nullptr;
    }
  } endOfReplay{this};
  int64_t remaining = ByteCount;
  for (int k = 0; k < FBufferCount; ++k) {
    FBufferNumber = k;
    FCurrentHeader = &header;
    HandleData();
    header.lpData += block;
    remaining -= block;
  }
  if (remaining > 0) {
    header.dwBytesRecorded = static_cast<uint32_t>(remaining);
    FCurrentHeader = &header;
    ++FBufferNumber;
    HandleData();
  }
}
