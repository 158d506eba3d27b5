#include "app/MainWindow.h"

#include "app/AppState.h"

#include <QCloseEvent>
#include <QCoreApplication>

namespace vellora {

MainWindow::MainWindow(AppState& state, QWidget* parent) : QWidget(parent), m_state(state)
{
    setWindowTitle(QStringLiteral("暂停监控-Vellora"));
    setFixedSize(314, 189);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    event->accept();
    QCoreApplication::quit();
}

} // namespace vellora
