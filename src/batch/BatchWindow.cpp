#include "batch/BatchWindow.h"

#include "app/AppState.h"

namespace vellora {

// Being built: the controls and the job come next.
BatchWindow::BatchWindow(AppState& state, QWidget* owner) : QDialog(owner), m_state(state)
{
    setWindowTitle(QStringLiteral("批量排版设置"));
    setFixedSize(650, 407);
    m_state.windows.batchOpen = true;
}

BatchWindow::~BatchWindow()
{
    m_state.windows.batchOpen = false;
}

} // namespace vellora
