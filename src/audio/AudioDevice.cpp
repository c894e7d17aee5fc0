#include "AudioDevice.h"

#include <QCoreApplication>
#include <QEvent>

#include <chrono>
#include <stdexcept>
#include <string>

#include "DeviceStream.h"
#include "Messages.h"

namespace {

const QEvent::Type kNotifyEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

int64_t SteadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

int64_t PerfCounter() { return SteadyNanoseconds(); }
const double PerfCounterFrequency = 1e9;

std::string NotAnsweringText() {
  return "The sound device did not answer within " + std::to_string(kDeviceCommandTimeoutMs / 1000) +
         " seconds.";
}

uint32_t NewDeviceGeneration() {
  static std::atomic<uint32_t> next{1};
  uint32_t g = next.fetch_add(1);
  if (g == 0) g = next.fetch_add(1);  // 0 means "no opening"
  return g;
}

TDeviceNotifier::TDeviceNotifier(THandler handler, QObject* parent)
    : QObject(parent), handler_(std::move(handler)) {
  mailbox_.reserve(64);
}

TDeviceNotifier::~TDeviceNotifier() = default;

void TDeviceNotifier::Post(unsigned message, PWaveHdr header, uint32_t generation) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    mailbox_.push_back({message, header, generation});
  }
  lastPost_.store(SteadyNanoseconds(), std::memory_order_relaxed);
  arrived_.notify_all();
  QCoreApplication::postEvent(this, new QEvent(kNotifyEvent));
}

bool TDeviceNotifier::TakeLocked(unsigned message, uint32_t generation, PWaveHdr* header) {
  for (auto it = mailbox_.begin(); it != mailbox_.end(); ++it) {
    if (it->message == message && it->generation == generation) {
      if (header) *header = it->header;
      mailbox_.erase(it);
      return true;
    }
  }
  return false;
}

bool TDeviceNotifier::Take(unsigned message, uint32_t generation, PWaveHdr* header, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (TakeLocked(message, generation, header)) return true;
    if (arrived_.wait_until(lock, deadline) == std::cv_status::timeout)
      return TakeLocked(message, generation, header);  // it may have come with the timeout
  }
}

void TDeviceNotifier::Dispatch(unsigned message, PWaveHdr header, uint32_t generation) {
  try {
    handler_(message, header, generation);
  } catch (const std::exception& e) {
    if (const auto* failure = dynamic_cast<const TDeviceFailure*>(&e))
      ShowDeviceFailure(*failure, e.what());
    else
      ShowException(e);
  } catch (...) {
    ShowException(std::runtime_error("Unknown exception in a sound device notification"));
  }
}

size_t TDeviceNotifier::Pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mailbox_.size();
}

bool TDeviceNotifier::event(QEvent* e) {
  if (e->type() != kNotifyEvent) return QObject::event(e);
  TItem item{};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // A message taken out by a close wait leaves one event without a message.
    if (mailbox_.empty()) return true;
    item = mailbox_.front();
    mailbox_.erase(mailbox_.begin());
  }
  Dispatch(item.message, item.header, item.generation);
  return true;
}
