#pragma once

#include "ui/Dialogs.h"

#include <QPointer>
#include <QWidget>

#include <functional>

class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QTimer;

namespace vellora {

struct AppState;
struct PrintReport;
class HistoryWindow;
class MonitorTimer;
class PreviewWindow;
class SettingsWindow;

// The small start window: monitoring switch, folder, template and the ways to
// the settings and preview windows. Its construction is the "window created"
// step of start-up; closing it ends the program.
class MainWindow : public QWidget
{
    Q_OBJECT
public:
    // dialogs: the ones a test answers (this window's and the settings
    // window's, from their creation on); unset ones are the real dialogs.
    explicit MainWindow(AppState& state, QWidget* parent = nullptr, DialogsPtr dialogs = nullptr);
    ~MainWindow() override;

    // Message boxes and the printer settings launcher go through these, so
    // widget tests can record them instead of blocking or starting programs.
    void setPrinterSettingsLauncher(std::function<void()> launch)
    {
        m_openPrinterSettings = std::move(launch);
    }

    // The event handlers, public so that the program's wiring reads as one
    // table and tests can name what they drive.
    void startMonitoring();
    void pauseMonitoring();
    void openSettings();
    void togglePreview();
    // 打印记录: the history window, one at a time.
    void openHistory();
    void folderTextChanged(const QString& text);
    void pickFolder();
    void adviseDefaultPrinter();
    void showTemplateList();
    void templateChosen();

    bool isMonitoring() const;
    // What the operator must know about monitoring: sheets not printed and
    // why, photos not laid out, a hot folder that went away (empty when all
    // is well).
    QString monitorNotice() const;
    PreviewWindow* previewWindow() const;
    HistoryWindow* historyWindow() const;
    SettingsWindow* settingsWindow() const { return m_settings; }
    MonitorTimer* monitorTimer() const { return m_timer; }

Q_SIGNALS:
    // The window was closed: the watch is stopped and the preview closed; the
    // program's message loop ends on this.
    void programEnding();

protected:
    void moveEvent(QMoveEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void onMainWindowCreated();
    void onMainWindowMoved();
    void onMainWindowDestroyed();
    void setAlwaysOnTop(bool on);
    void setEditingEnabled(bool enabled);
    void message(const QString& text, const QString& caption, QMessageBox::Icon icon);
    int choose(const QString& text, const QStringList& buttons, int defaultIndex);
    // Before the window goes: what becomes of the copies on the pending sheet.
    void settlePendingSheet();
    void runTick();
    void noteSheetOutcome(const PrintReport& report);
    void checkWatchHealth();
    void showNotice();

    AppState& m_state;
    DialogsPtr m_dialogs;
    std::function<void()> m_openPrinterSettings;

    QGroupBox* m_groupBox = nullptr;
    QRadioButton* m_readyRadio = nullptr;
    QRadioButton* m_monitoringRadio = nullptr;
    QPushButton* m_previewButton = nullptr;
    QPushButton* m_settingsButton = nullptr;
    QPushButton* m_historyButton = nullptr;
    QLabel* m_folderLabel = nullptr;
    QLineEdit* m_folderEdit = nullptr;
    QPushButton* m_folderButton = nullptr;
    QPushButton* m_printerButton = nullptr;
    QPushButton* m_templateButton = nullptr;
    QListWidget* m_templateList = nullptr;
    MonitorTimer* m_timer = nullptr;
    QLabel* m_noticeLabel = nullptr;
    QTimer* m_healthTimer = nullptr;
    int m_unprintedSheets = 0;
    QString m_unprintedWhere;
    QString m_printerReason;
    int m_skippedPhotos = 0;
    QString m_lastSkipped;
    QString m_holdReason;
    QString m_folderNotice;
    QString m_recoveryNotice; // what the start of monitoring took up from the print ledger
    SettingsWindow* m_settings = nullptr;
    QPointer<PreviewWindow> m_preview;
    QPointer<HistoryWindow> m_history;
    bool m_fillingList = false;
    bool m_ended = false;
};

} // namespace vellora
