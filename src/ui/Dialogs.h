#pragma once

#include "core/Messages.h"
#include <QColor>
#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

namespace vellora {

struct AppState;

// Every modal dialog the windows open, as one interface injected into them
// (setDialogs, or the settings window's constructor): a test answers the ones
// it sets; an unset one is the window's real dialog. The windows share the
// object they are given, so a test may change an answer while they are open.
struct Dialogs
{
    // A message box with an OK button.
    std::function<void(const QString& caption, const QString& text, QMessageBox::Icon icon)>
        message;
    // A yes/no question; true for yes.
    std::function<bool(const QString& caption, const QString& text)> confirm;
    // A question with the given buttons: the index of the one chosen (Esc or
    // closing the box gives defaultIndex).
    std::function<int(const QString& caption, const QString& text, const QStringList& buttons,
                      int defaultIndex)>
        choose;
    // The name to save a template under; nothing when cancelled.
    std::function<std::optional<QString>(QWidget* parent)> askTemplateName;
    // The logo file chosen in "打开标志图片"; empty when cancelled.
    std::function<QString(QWidget* parent)> openLogoFile;
    // A colour chosen from the colour dialog; invalid when cancelled.
    std::function<QColor(QWidget* parent, const QColor& initial)> pickColour;
    // Runs the batch window modally, owned by the settings window.
    std::function<void(AppState& state, QWidget* owner)> runBatch;
    // The batch window's multi-select photo dialog: full paths in dialog
    // order, or an empty list on cancel.
    std::function<QStringList(QWidget* parent)> openPhotoFiles;
    // The print dialog when there is no default printer: the chosen printer's
    // name, empty on cancel.
    std::function<QString(QWidget* parent)> choosePrinter;
};
using DialogsPtr = std::shared_ptr<Dialogs>;

// An application-modal box owned by no window, with one OK button. Callable
// from any thread; the box itself always runs on the UI thread.
void showMessageBox(const QString& text, const QString& caption, QMessageBox::Icon icon);

// The print dialog shown when there is no default printer: the chosen
// printer's name, or empty when cancelled. Callable from any thread; the
// dialog itself always runs on the UI thread.
QString askForPrinterName();

} // namespace vellora
