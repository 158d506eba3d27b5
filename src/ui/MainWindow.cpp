#include "ui/MainWindow.h"

#include "core/AppState.h"
#include "core/Config.h"
#include "ledger/PrintLedger.h"
#include "monitor/FolderWatcher.h"
#include "monitor/MonitorControl.h"
#include "monitor/MonitorCycle.h"
#include "monitor/MonitorJournal.h"
#include "monitor/MonitorTimer.h"
#include "printing/PrinterSettings.h"
#include "printing/Printing.h"
#include "sheet/TemplateLoader.h"
#include "ui/CalibrationWindow.h"
#include "ui/FolderPickerWindow.h"
#include "ui/HistoryWindow.h"
#include "ui/LampPicture.h"
#include "ui/LampRadioButton.h"
#include "ui/PreviewWindow.h"
#include "ui/SettingsWindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>

#include <mutex>

namespace vellora {

namespace {

const QString kPausedCaption = QStringLiteral("暂停监控-Vellora");
const QString kMonitoringCaption = QStringLiteral("监控中-Vellora");

int screenHeight()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry().height() : 0;
}

} // namespace

MainWindow::MainWindow(AppState& state, QWidget* parent, DialogsPtr dialogs)
    : QWidget(parent), m_state(state), m_dialogs(std::move(dialogs))
{
    setObjectName(QStringLiteral("MainWindow"));
    setWindowTitle(kPausedCaption);
    setFixedSize(314, 189);

    m_groupBox = new QGroupBox(this);
    m_groupBox->setObjectName(QStringLiteral("分组框1"));
    m_groupBox->setGeometry(10, 11, 158, 62);
    m_groupBox->hide();

    m_readyRadio = new LampRadioButton(readyLampPicture(), this);
    m_readyRadio->setObjectName(QStringLiteral("准备监控单选框"));
    m_readyRadio->setGeometry(13, 19, 150, 50);
    m_readyRadio->setAccessibleName(QStringLiteral("准备监控"));
    m_readyRadio->setChecked(true);

    m_monitoringRadio = new LampRadioButton(monitoringLampPicture(), this);
    m_monitoringRadio->setObjectName(QStringLiteral("监控中单选框"));
    m_monitoringRadio->setGeometry(13, 19, 150, 50);
    m_monitoringRadio->setAccessibleName(QStringLiteral("监控中"));
    m_monitoringRadio->hide();

    m_previewButton = new QPushButton(QStringLiteral("打开预览"), this);
    m_previewButton->setObjectName(QStringLiteral("预览超级按钮"));
    // Three buttons share the right-hand column beside the lamp.
    m_previewButton->setGeometry(184, 7, 112, 28);
    m_previewButton->setCheckable(true);
    m_previewButton->setChecked(true);

    m_settingsButton = new QPushButton(QStringLiteral("打印设置"), this);
    m_settingsButton->setObjectName(QStringLiteral("打印设置超级按钮"));
    m_settingsButton->setGeometry(184, 38, 112, 28);

    m_historyButton = new QPushButton(QStringLiteral("打印记录"), this);
    m_historyButton->setObjectName(QStringLiteral("打印记录按钮"));
    m_historyButton->setGeometry(184, 69, 112, 28);

    m_folderLabel = new QLabel(QStringLiteral("监控目录："), this);
    m_folderLabel->setObjectName(QStringLiteral("透明标签1"));
    m_folderLabel->setGeometry(8, 85, 112, 24);
    m_folderLabel->setAttribute(Qt::WA_TranslucentBackground);

    m_folderEdit = new QLineEdit(this);
    m_folderEdit->setObjectName(QStringLiteral("监控地址编辑框"));
    m_folderEdit->setGeometry(7, 105, 265, 23);

    m_folderButton = new QPushButton(QStringLiteral("…"), this);
    m_folderButton->setObjectName(QStringLiteral("监控目录按钮"));
    m_folderButton->setGeometry(272, 105, 30, 24);

    m_printerButton = new QPushButton(QStringLiteral("设置默认打印机"), this);
    m_printerButton->setObjectName(QStringLiteral("默认打印机按钮"));
    m_printerButton->setGeometry(22, 129, 140, 24);

    m_templateButton = new QPushButton(QStringLiteral("排版尺寸"), this);
    m_templateButton->setObjectName(QStringLiteral("默认标题超级按钮"));
    m_templateButton->setGeometry(193, 133, 107, 24);

    m_templateList = new QListWidget(this);
    m_templateList->setObjectName(QStringLiteral("启动列表框"));
    m_templateList->setGeometry(196, 1, 100, 129);
    m_templateList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_templateList->hide();

    m_timer = new MonitorTimer(this);
    m_timer->setObjectName(QStringLiteral("监控时钟"));

    // Below the controls: what an operator coming back must see without
    // opening a folder.
    m_noticeLabel = new QLabel(this);
    m_noticeLabel->setObjectName(QStringLiteral("监控提示标签"));
    m_noticeLabel->setGeometry(8, 158, 298, 30);
    m_noticeLabel->setWordWrap(true);
    m_noticeLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QFont small = m_noticeLabel->font();
    small.setPixelSize(11);
    m_noticeLabel->setFont(small);
    m_noticeLabel->setStyleSheet(QStringLiteral("QLabel { color: #b00000; }"));
    m_noticeLabel->hide();

    m_healthTimer = new QTimer(this);
    m_healthTimer->setInterval(1000);
    connect(m_healthTimer, &QTimer::timeout, this, &MainWindow::checkWatchHealth);

    connect(m_readyRadio, &QRadioButton::clicked, this, &MainWindow::startMonitoring);
    connect(m_monitoringRadio, &QRadioButton::clicked, this, &MainWindow::pauseMonitoring);
    connect(m_settingsButton, &QPushButton::clicked, this, &MainWindow::openSettings);
    connect(m_previewButton, &QPushButton::clicked, this, &MainWindow::togglePreview);
    connect(m_historyButton, &QPushButton::clicked, this, &MainWindow::openHistory);
    connect(m_folderEdit, &QLineEdit::textChanged, this, &MainWindow::folderTextChanged);
    connect(m_folderButton, &QPushButton::clicked, this, &MainWindow::pickFolder);
    connect(m_printerButton, &QPushButton::clicked, this, &MainWindow::adviseDefaultPrinter);
    // Calibrating the printer belongs with choosing it; the button itself stays as it is.
    m_printerButton->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_printerButton, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        showCalibrationMenu(this, m_printerButton->mapToGlobal(at), m_state.programFolder);
    });
    connect(m_templateButton, &QPushButton::clicked, this, &MainWindow::showTemplateList);
    connect(m_templateList, &QListWidget::itemSelectionChanged, this, &MainWindow::templateChosen);
    connect(m_timer, &MonitorTimer::tick, this, &MainWindow::runTick);
    // Printing runs on this thread (ticks, the preview's button), but a hook
    // may be called from anywhere: post.
    const QPointer<MainWindow> self(this);
    m_state.views.sheetOutcome = [self](const PrintReport& report) {
        QMetaObject::invokeMethod(
            qApp,
            [self, report] {
                if (self)
                    self->noteSheetOutcome(report);
            },
            Qt::QueuedConnection);
    };

    onMainWindowCreated();
}

MainWindow::~MainWindow()
{
    onMainWindowDestroyed();
}

void MainWindow::onMainWindowCreated()
{
    const QString configPath = m_state.configPath();
    const QString section = QString::fromUtf16(kConfigSection);
    m_folderEdit->setText(
        readConfigText(configPath, section, QString::fromUtf16(kConfigFolderKey)));
    m_templateButton->setText(
        readConfigText(configPath, section, QString::fromUtf16(kConfigDefaultTemplateKey)));
    {
        std::lock_guard<std::mutex> lock(m_state.queueLock);
        m_state.monitorQueue.append(QString());
    }

    // Created once, hidden; its own creation makes the default template current.
    m_settings = new SettingsWindow(m_state, this, m_dialogs);
    connect(m_settings, &SettingsWindow::templateNameShown, m_templateButton,
            &QPushButton::setText);
    connect(m_settings, &SettingsWindow::closedToMain, this, &QWidget::show);

    move(0, screenHeight() - 220);

    // Monitoring that was cut off (a crash, a power cut) starts again by
    // itself: what it was doing is taken up from the print ledger.
    PrintLedger ledger;
    if (ledger.open(m_state.programFolder, PrintLedger::Mode::Read).ok) {
        const std::optional<LedgerSession> last = ledger.lastSession().value;
        ledger.close();
        if (last && last->crashed() && !m_folderEdit->text().isEmpty())
            QMetaObject::invokeMethod(this, &MainWindow::startMonitoring, Qt::QueuedConnection);
    }
}

void MainWindow::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    onMainWindowMoved();
}

void MainWindow::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        onMainWindowMoved();
}

void MainWindow::onMainWindowMoved()
{
    if (!m_preview)
        return;
    if (isMinimized())
        m_preview->move(10, screenHeight() - 240);
    else
        m_preview->move(x() + 10, y() - 204);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    settlePendingSheet();
    event->accept();
    onMainWindowDestroyed();
}

void MainWindow::settlePendingSheet()
{
    int copies = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(m_state.layoutLock);
        copies = m_state.pendingSheet.filledCells;
    }
    if (copies <= 0 || m_state.windows.settingsShown.load())
        return;
    // Copies the studio was paid for: never thrown away without asking.
    const int answer =
        choose(QStringLiteral("还有 %1 份未打印：").arg(copies),
               {QStringLiteral("现在打印"), QStringLiteral("下次继续"), QStringLiteral("放弃")}, 1);
    if (answer == 0) {
        std::lock_guard<std::recursive_mutex> lock(m_state.layoutLock);
        const QImage sheet = m_state.sheetSurface.snapshotImage();
        if (m_state.printSheet)
            m_state.printSheet(sheet);
        m_state.sheetSurface.clear();
        m_state.pendingSheet = PendingSheet{};
    } else if (answer == 2 && m_state.journal) {
        m_state.journal->discardPendingSheet(QStringLiteral("退出时操作员放弃"));
    }
    // 下次继续: the print ledger keeps the sheet for the next start.
}

int MainWindow::choose(const QString& text, const QStringList& buttons, int defaultIndex)
{
    if (m_dialogs && m_dialogs->choose)
        return m_dialogs->choose(QStringLiteral("Vellora"), text, buttons, defaultIndex);
    QMessageBox box(QMessageBox::Question, QStringLiteral("Vellora"), text, QMessageBox::NoButton,
                    this);
    QList<QAbstractButton*> made;
    for (const QString& caption : buttons)
        made << box.addButton(caption, QMessageBox::AcceptRole);
    if (defaultIndex >= 0 && defaultIndex < made.size()) {
        box.setDefaultButton(qobject_cast<QPushButton*>(made[defaultIndex]));
        box.setEscapeButton(made[defaultIndex]);
    }
    box.exec();
    const int chosen = int(made.indexOf(box.clickedButton()));
    return chosen < 0 ? defaultIndex : chosen;
}

void MainWindow::onMainWindowDestroyed()
{
    if (m_ended)
        return;
    m_ended = true;
    m_healthTimer->stop();
    m_state.views.sheetOutcome = nullptr;
    stopWatch(m_state.watchHandle);
    if (m_state.journal)
        m_state.journal->stop();
    if (m_preview)
        m_preview->close();
    if (m_history)
        m_history->close();
    Q_EMIT programEnding();
}

PreviewWindow* MainWindow::previewWindow() const
{
    return m_preview;
}

bool MainWindow::isMonitoring() const
{
    return !m_monitoringRadio->isHidden();
}

void MainWindow::message(const QString& text, const QString& caption, QMessageBox::Icon icon)
{
    if (m_dialogs && m_dialogs->message)
        m_dialogs->message(caption, text, icon);
    else
        showMessageBox(text, caption, icon);
}

void MainWindow::setAlwaysOnTop(bool on)
{
    if (bool(windowFlags() & Qt::WindowStaysOnTopHint) == on)
        return;
    // Changing the flags takes the window down; put it back as it was.
    const bool wasVisible = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, on);
    if (wasVisible)
        show();
}

void MainWindow::setEditingEnabled(bool enabled)
{
    m_settingsButton->setEnabled(enabled);
    m_folderEdit->setEnabled(enabled);
    m_folderButton->setEnabled(enabled);
    m_templateButton->setEnabled(enabled);
    m_printerButton->setEnabled(enabled);
}

void MainWindow::startMonitoring()
{
    const QString folder = m_folderEdit->text();
    // The watcher's threads arm the timer through the UI thread's queue; the
    // pointer guard drops an arming that arrives after the window is gone.
    const QPointer<MonitorTimer> timer(m_timer);
    const ArmMonitorTimer arm = [timer] {
        QMetaObject::invokeMethod(
            qApp,
            [timer] {
                if (timer)
                    timer->setPeriod(500);
            },
            Qt::QueuedConnection);
    };
    QString problem;
    MonitorRecovery recovery;
    if (!startMonitoringCore(m_state, folder, arm, {}, &problem, &recovery)) {
        message(QStringLiteral("监视失败") + u'\n' + problem, QString::fromUtf16(kErrorCaption),
                QMessageBox::Critical);
        // The click may have unchecked the radio box; the window stays paused.
        m_readyRadio->setChecked(true);
        return;
    }

    if (m_preview)
        m_preview->setPrintEnabled(true);
    m_readyRadio->setChecked(false);
    m_readyRadio->hide();
    setAlwaysOnTop(true);
    m_monitoringRadio->setChecked(true);
    m_monitoringRadio->show();
    setEditingEnabled(false);
    setWindowTitle(kMonitoringCaption);
    // The template cannot change under a sheet being filled.
    m_templateList->hide();
    m_unprintedSheets = 0;
    m_unprintedWhere.clear();
    m_printerReason.clear();
    m_skippedPhotos = 0;
    m_lastSkipped.clear();
    m_holdReason.clear();
    m_folderNotice.clear();
    m_recoveryNotice = recovery.summary();
    showNotice();
    m_healthTimer->start();
    if (!recovery.arrivedWhileClosed.isEmpty() &&
        choose(QStringLiteral("%1 张照片在 Vellora 关闭期间到达：")
                   .arg(recovery.arrivedWhileClosed.size()),
               {QStringLiteral("打印"), QStringLiteral("不打印")}, 1) == 0) {
        m_state.journal->catchUp(recovery.arrivedWhileClosed);
        arm();
    }
}

void MainWindow::pauseMonitoring()
{
    // What was already reported (a tick, an arming) is handled first.
    QCoreApplication::processEvents();
    pauseMonitoringCore(m_state);
    m_healthTimer->stop();
    m_folderNotice.clear();
    showNotice();

    m_readyRadio->setChecked(true);
    m_readyRadio->show();
    if (m_preview)
        m_preview->setPrintEnabled(false);
    m_monitoringRadio->setChecked(false);
    m_monitoringRadio->hide();
    setEditingEnabled(true);
    setAlwaysOnTop(false);
    setWindowTitle(kPausedCaption);
}

void MainWindow::openSettings()
{
    pauseMonitoring();
    {
        std::lock_guard<std::recursive_mutex> lock(m_state.layoutLock);
        m_state.currentPhotoPath = m_state.samplePhotoPath();
    }
    m_settings->show();
    hide();
}

void MainWindow::togglePreview()
{
    // The button has already flipped its own checked state; it follows that
    // state, not whether the window is still open.
    if (m_previewButton->isChecked()) {
        m_previewButton->setText(QStringLiteral("打开预览"));
        if (m_preview)
            m_preview->close();
        return;
    }
    m_previewButton->setText(QStringLiteral("关闭预览"));
    if (m_preview) {
        m_preview->raise();
        return;
    }
    m_preview = new PreviewWindow(m_state, this);
    m_preview->setDialogs(m_dialogs);
    m_preview->move(x() + 10, y() - 204);
    m_preview->show();
}

void MainWindow::openHistory()
{
    if (!m_history) {
        m_history = new HistoryWindow(m_state, this, m_dialogs);
        m_history->setAttribute(Qt::WA_DeleteOnClose);
    } else {
        m_history->refresh();
    }
    m_history->show();
    m_history->raise();
    m_history->activateWindow();
}

HistoryWindow* MainWindow::historyWindow() const
{
    return m_history;
}

void MainWindow::folderTextChanged(const QString& text)
{
    writeConfigText(m_state.configPath(), QString::fromUtf16(kConfigSection),
                    QString::fromUtf16(kConfigFolderKey), text);
    std::lock_guard<std::recursive_mutex> lock(m_state.layoutLock);
    m_state.currentPhotoPath = text;
    m_state.monitorFolder = text;
}

void MainWindow::pickFolder()
{
    FolderPickerWindow picker(this);
    connect(&picker, &FolderPickerWindow::folderOpened, m_folderEdit, &QLineEdit::setText);
    picker.exec();
}

void MainWindow::adviseDefaultPrinter()
{
    message(QStringLiteral(
                "请将需使用的打印机设为默认打印机，并且请设置好打印机属性，这将决定打印照片的质量"),
            QStringLiteral("重要提示"), QMessageBox::NoIcon);
    if (m_openPrinterSettings)
        m_openPrinterSettings();
    else if (const QString advice = openPrinterSettings(); !advice.isEmpty())
        message(advice, QStringLiteral("重要提示"), QMessageBox::NoIcon);
}

void MainWindow::showTemplateList()
{
    m_templateList->show();
    m_templateList->raise();
    m_fillingList = true;
    m_templateList->clear();
    m_templateList->addItems(listTemplateNames(m_state.storePath()));
    m_templateList->clearSelection();
    m_fillingList = false;
    m_templateList->setFocus();
}

void MainWindow::templateChosen()
{
    if (m_fillingList)
        return;
    if (isMonitoring()) {
        m_templateList->hide();
        return;
    }
    const QList<QListWidgetItem*> selected = m_templateList->selectedItems();
    if (selected.isEmpty())
        return;
    m_templateList->hide();
    const QString name = selected.first()->text();
    m_templateButton->setText(name);
    if (!loadTemplateByName(m_state, name))
        message(QString::fromUtf16(kTemplateMissingMessage), QString::fromUtf16(kErrorCaption),
                QMessageBox::Critical);
}

void MainWindow::runTick()
{
    TickObserver observer;
    observer.skipped = [this](const QString& entry, const QString& reason) {
        ++m_skippedPhotos;
        m_lastSkipped = entry + QStringLiteral("（") + reason + QStringLiteral("）");
    };
    observer.holding = [this](const QString& reason) { m_holdReason = reason; };
    m_holdReason.clear();
    monitorTick(m_state, *m_timer, observer);
    showNotice();
}

void MainWindow::noteSheetOutcome(const PrintReport& report)
{
    if (report.outcome == PrintOutcome::Printed)
        return;
    ++m_unprintedSheets;
    m_unprintedWhere = report.savedPath.isEmpty() ? QString() : QFileInfo(report.savedPath).path();
    switch (report.outcome) {
    case PrintOutcome::Cancelled:
        m_printerReason = QStringLiteral("没有默认打印机，打印已取消");
        break;
    case PrintOutcome::Lost:
        m_printerReason = QStringLiteral("也无法保存：") + report.error;
        break;
    default:
        m_printerReason = report.error;
        break;
    }
    showNotice();
}

void MainWindow::checkWatchHealth()
{
    const bool running = !m_state.watchHandle || m_state.watchHandle->isRunning();
    // A folder gone says so; one that is there may have folders that cannot
    // be watched.
    const QString notice = !running ? QStringLiteral("监控目录不见了（%1），它重新出现后继续监控")
                                          .arg(watchProblem(m_folderEdit->text()))
                           : m_state.watchHandle ? watchGapsNotice(m_state.watchHandle->gaps())
                                                 : QString();
    m_folderNotice = notice;
    // The waiting sheets' count and the printer's state change by themselves.
    showNotice();
}

QString MainWindow::monitorNotice() const
{
    QStringList lines;
    if (!m_recoveryNotice.isEmpty())
        lines << m_recoveryNotice;
    if (!m_folderNotice.isEmpty())
        lines << m_folderNotice;
    // Recorded, the ledger knows how many still wait (kept sheets print by
    // themselves once the printer takes jobs); otherwise this run's count.
    const MonitorJournal* journal = m_state.journal.get();
    const bool recorded = journal && journal->isRecording();
    // The printer as it is now, kept current while monitoring records; with
    // sheets waiting, their line below says why.
    if (recorded && journal->waitingSheets() == 0) {
        if (const QString printer = journal->printerStatus(); !printer.isEmpty())
            lines << printer;
    }
    const int unprinted = recorded ? journal->waitingSheets() : m_unprintedSheets;
    if (unprinted > 0 && recorded) {
        // They print by themselves: the reason matters more than the folder
        // (the tooltip names it), on two short lines.
        QString line = QStringLiteral("%1 张未打印，打印机恢复后自动打印").arg(unprinted);
        if (!journal->waitingReason().isEmpty())
            line += QStringLiteral("：") + journal->waitingReason();
        lines << line;
    } else if (unprinted > 0) {
        QString line = QStringLiteral("%1 张未打印").arg(unprinted);
        if (!m_unprintedWhere.isEmpty())
            line += QStringLiteral("，存于 ") + m_unprintedWhere;
        if (!m_printerReason.isEmpty())
            line += QStringLiteral("：") + m_printerReason;
        lines << line;
    }
    if (!m_holdReason.isEmpty())
        lines << m_holdReason;
    if (m_skippedPhotos > 0)
        lines
            << QStringLiteral("%1 个文件未排版，最近：%2").arg(m_skippedPhotos).arg(m_lastSkipped);
    return lines.join(u'\n');
}

void MainWindow::showNotice()
{
    const QString text = monitorNotice();
    // Red only when something needs the operator: a printer that is ready
    // or printing, and nothing else to say, is told in grey.
    bool trouble = true;
    if (const MonitorJournal* journal = m_state.journal.get(); journal && journal->isRecording()) {
        bool printerTrouble = false;
        if (text == journal->printerStatus(&printerTrouble))
            trouble = printerTrouble;
    }
    m_noticeLabel->setStyleSheet(trouble ? QStringLiteral("QLabel { color: #b00000; }")
                                         : QStringLiteral("QLabel { color: #505050; }"));
    m_noticeLabel->setText(text);
    QString tip = text;
    if (const MonitorJournal* journal = m_state.journal.get(); journal && journal->isRecording()) {
        if (journal->waitingSheets() > 0)
            tip +=
                QStringLiteral("\n未打印的相纸存于 ") + m_state.besideProgram(kUnprintedFolderName);
        if (const QString counts = journal->sheetCountsText(); !counts.isEmpty())
            tip += QStringLiteral("\n相纸：") + counts;
    }
    m_noticeLabel->setToolTip(tip);
    m_noticeLabel->setVisible(!text.isEmpty());
}

} // namespace vellora
