#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace vellora {

// Starts a program detached; true when it started.
using ProgramStarter = std::function<bool(const QString& program, const QStringList& arguments)>;

// Opens the system's printer settings, started detached and never waited for:
// system-config-printer when installed, otherwise the printing system's web
// page of the printers. When neither can be started, returns the text that
// tells the user how to set the default printer by hand (empty otherwise).
// The starter is for tests; by default the programs are taken from /usr/bin
// (never through PATH) and started with a minimal environment.
QString openPrinterSettings(const ProgramStarter& start = {});

} // namespace vellora
