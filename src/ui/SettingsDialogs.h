#pragma once

#include "ui/Dialogs.h"

#include <QColor>
#include <QString>

#include <functional>
#include <optional>

class QWidget;

namespace vellora {

struct AppState;

// The real dialogs: message boxes, the name prompt, the file and colour
// dialogs, and the batch window run modally.
Dialogs makeDefaultSettingsDialogs();

} // namespace vellora
