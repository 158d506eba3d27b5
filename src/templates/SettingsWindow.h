#pragma once

#include <QWidget>

namespace vellora {

struct AppState;

// "证件照排版设置": the template list and every value of the current template,
// with a live preview. Created hidden at start-up; never destroyed.
class SettingsWindow : public QWidget
{
    Q_OBJECT
public:
    explicit SettingsWindow(AppState& state, QWidget* parent = nullptr);

Q_SIGNALS:
    // A template name the main window's template button should show
    // (a row chosen in the list, or the name set as default).
    void templateNameShown(const QString& name);
    // The window was closed (hidden); the main window shows itself again.
    void closedToMain();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    AppState& m_state;
};

} // namespace vellora
