// Helpers shared by the test executables.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>

#include <functional>

// Runs the event loop until cond() holds or timeoutMs pass; returns cond().
inline bool PumpUntil(const std::function<bool()>& cond, int timeoutMs = 5000) {
  QDeadlineTimer deadline(timeoutMs);
  while (!cond()) {
    if (deadline.hasExpired()) return cond();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::sendPostedEvents();
    if (!cond()) QThread::usleep(200);
  }
  return true;
}

// Runs the event loop for a while (to show that something does NOT happen).
inline void PumpFor(int ms) {
  QDeadlineTimer deadline(ms);
  while (!deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::usleep(200);
  }
}
