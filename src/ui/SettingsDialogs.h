#pragma once

#include <QColor>
#include <QString>

#include <functional>
#include <optional>

class QWidget;

namespace vellora {

struct AppState;

// The modal dialogs the settings window opens, replaceable so that tests can
// answer them. Defaults show the real dialogs.
struct SettingsDialogs
{
    // An application-modal message box with an OK button; error = error icon,
    // otherwise no icon.
    std::function<void(const QString& caption, const QString& text, bool error)> message;
    // A yes/no question; true for yes.
    std::function<bool(const QString& caption, const QString& text)> confirm;
    // The name to save a template under; nothing when cancelled.
    std::function<std::optional<QString>(QWidget* parent)> askTemplateName;
    // The logo file chosen in "打开标志图片"; empty when cancelled.
    std::function<QString(QWidget* parent)> openLogoFile;
    // A colour chosen from the colour dialog; invalid when cancelled.
    std::function<QColor(QWidget* parent, const QColor& initial)> pickColour;
    // Runs the batch window modally, owned by the settings window.
    std::function<void(AppState& state, QWidget* owner)> runBatch;
};

// The real dialogs: message boxes, the name prompt, the file and colour
// dialogs, and the batch window run modally.
SettingsDialogs makeDefaultSettingsDialogs();

} // namespace vellora
