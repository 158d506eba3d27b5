#pragma once

#include <QWidget>

namespace vellora {

struct AppState;

// The small start window: monitoring switch, folder, template and the ways to
// the settings and preview windows.
class MainWindow : public QWidget
{
    Q_OBJECT
public:
    explicit MainWindow(AppState& state, QWidget* parent = nullptr);

protected:
    // Closing the main window ends the program.
    void closeEvent(QCloseEvent* event) override;

private:
    AppState& m_state;
};

} // namespace vellora
