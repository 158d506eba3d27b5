#pragma once

#include <QDialog>

namespace vellora {

struct AppState;

// Lays out many chosen photos into sheets saved as JPEG or printed. Opened
// modally (exec()) from the settings window, which it replaces while open.
class BatchWindow : public QDialog
{
    Q_OBJECT
public:
    BatchWindow(AppState& state, QWidget* owner);
    ~BatchWindow() override;

private:
    AppState& m_state;
};

} // namespace vellora
