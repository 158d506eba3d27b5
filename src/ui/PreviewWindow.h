#pragma once

#include "ui/Dialogs.h"
#include "ui/PreviewSheetBoard.h"

#include <QImage>
#include <QWidget>

class QLabel;
class QPushButton;

namespace vellora {

struct AppState;

// The small translucent window riding above the main window that shows the
// sheet being filled and prints it early on request. It lives from the open
// click to its close and deletes itself when closed.
class PreviewWindow : public QWidget
{
    Q_OBJECT
public:
    // mainWindow: the window it rides above (its parent).
    PreviewWindow(AppState& state, QWidget* mainWindow);
    ~PreviewWindow() override;

    // Where the "nothing to print" message goes.
    // The dialogs a test answers; unset ones are the real dialogs.
    void setDialogs(DialogsPtr dialogs) { m_dialogs = std::move(dialogs); }

    // UI thread only; layout passes reach these through the view hooks.
    void showSheet(const QImage& sheet);
    void setPrintedLabelVisible(bool visible);
    void setPrintEnabled(bool enabled);
    // How many full sheets wait for the printer, shown while there are any.
    void showWaitingSheets();

    PreviewSheetBoard* board() const { return m_board; }

Q_SIGNALS:
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void printNow();
    void detachFromState();

    AppState& m_state;
    PreviewSheetBoard* m_board = nullptr;
    QPushButton* m_printButton = nullptr;
    QLabel* m_printedLabel = nullptr;
    QLabel* m_waitingLabel = nullptr;
    DialogsPtr m_dialogs;
    bool m_attached = false;
};

} // namespace vellora
