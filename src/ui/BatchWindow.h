#pragma once

#include "ui/Dialogs.h"

#include <QDialog>
#include <QList>

#include <atomic>
#include <functional>
#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QThread;

namespace vellora {

struct AppState;
struct BatchJobReport;
class BatchWindowBridge;

// Lays out many chosen photos into sheets saved as JPEG or printed. Opened
// modally (exec()) from the settings window, which it replaces while open.
// Each press of 文件选择按钮 runs one batch job on its own thread; the window
// is not closed under a running job: a close asks the job to stop and takes
// effect when the job has ended.
class BatchWindow : public QDialog
{
    Q_OBJECT
public:
    BatchWindow(AppState& state, QWidget* owner);
    ~BatchWindow() override;

    // The dialogs a test answers (run on the UI thread); unset ones are the
    // real dialogs.
    void setDialogs(DialogsPtr dialogs);

    // UI thread: the photo dialog's result as the job takes it, the paths
    // joined by ";", empty on cancel.
    QString choosePhotoFiles();

    bool jobRunning() const { return !m_jobs.isEmpty(); }

public Q_SLOTS:
    void done(int result) override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    friend class BatchWindowBridge;

    void buildControls();
    void startJob();
    void toggleOutputMode();
    void chooseSaveFolder();
    void templateChosen(int index);
    void jobThreadFinished(QThread* thread);
    // Posted by the job's bridge.
    void applyLock();
    void applyUnlock();
    void jobEnded(const BatchJobReport& report);
    void showError(const QString& text);
    void showMessageLater(const QString& caption, const QString& text);
    // A close asked for while jobs ran: remembered, carried out at their end.
    bool deferCloseWhileRunning(int result);

    AppState& m_state;
    DialogsPtr m_dialogs = std::make_shared<Dialogs>();

    QLabel* m_saveLabel = nullptr;          // 保存位置透明标签
    QLineEdit* m_folderEdit = nullptr;      // 保存目录编辑框
    QPushButton* m_folderButton = nullptr;  // 按钮1
    QLabel* m_templateLabel = nullptr;      // 排版设置透明标签
    QComboBox* m_templateBox = nullptr;     // 规格组合框
    QPushButton* m_modeButton = nullptr;    // 保存打印按钮
    QPushButton* m_printerButton = nullptr; // 打印机按钮
    QLabel* m_countLabel = nullptr;         // 文件数量透明标签
    QLabel* m_progressCaption = nullptr;    // 透明标签
    QLabel* m_photoLabel = nullptr;         // 地址透明标签
    QProgressBar* m_progress = nullptr;     // 进度条1
    QPushButton* m_startButton = nullptr;   // 文件选择按钮
    QPushButton* m_stopButton = nullptr;    // 停止按钮
    QPushButton* m_closeButton = nullptr;   // 关闭按钮

    // Read by jobs on their threads; written here on toggle.
    std::shared_ptr<std::atomic<bool>> m_printMode;
    struct RunningJob
    {
        QThread* thread = nullptr;
        std::shared_ptr<BatchWindowBridge> bridge;
    };
    QList<RunningJob> m_jobs;
    int m_lockDepth = 0;
    bool m_closePending = false;
    int m_closeResult = QDialog::Rejected;
};

} // namespace vellora
