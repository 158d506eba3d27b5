#include "templates/SettingsWindow.h"

#include "app/AppState.h"

#include <QCloseEvent>

namespace vellora {

// Being built: the controls, the list and the editing rules come next.
SettingsWindow::SettingsWindow(AppState& state, QWidget* parent)
    : QWidget(parent, Qt::Window), m_state(state)
{
    setWindowTitle(QStringLiteral("证件照排版设置"));
    setFixedSize(870, 640);
}

void SettingsWindow::closeEvent(QCloseEvent* event)
{
    event->ignore();
    hide();
    Q_EMIT closedToMain();
}

} // namespace vellora
