#pragma once

#include "core/Messages.h"
#include <QMessageBox>
#include <QString>

#include <functional>

namespace vellora {

// How a window shows a message: text, caption, icon. The program shows a real
// box; widget tests put a recorder here so nothing blocks.
using MessageSeam =
    std::function<void(const QString& text, const QString& caption, QMessageBox::Icon icon)>;

// An application-modal box owned by no window, with one OK button. Callable
// from any thread; the box itself always runs on the UI thread.
void showMessageBox(const QString& text, const QString& caption, QMessageBox::Icon icon);

// The print dialog shown when there is no default printer: the chosen
// printer's name, or empty when cancelled. Callable from any thread; the
// dialog itself always runs on the UI thread.
QString askForPrinterName();

} // namespace vellora
