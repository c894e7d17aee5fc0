// Opening web addresses and the user manual in the desktop's default browser. GUI thread only.
#pragma once

#include <QString>
#include <QUrl>

#include <functional>

// Asks the desktop to open a URL; false when it could not.
using TUrlOpener = std::function<bool(const QUrl&)>;
bool OpenUrl(const QUrl& url);
// Replaces the opener (tests); nullptr restores the desktop's. Returns the previous one.
TUrlOpener SetUrlOpener(TUrlOpener opener);

// The address with "https://" in front unless it already names a scheme.
QUrl WebAddressUrl(const QString& address);

// The manual's file: installed beside the program, else in the source tree; empty if neither.
QString ManualPath();
// Opens the manual at an anchor ("contents", "index"); explains in a message box when the manual
// or a browser is missing.
void ShowManual(const QString& anchor);
