#include "ui/PreviewWindow.h"

#include "core/AppState.h"
#include "core/DrawingSurface.h"
#include "monitor/MonitorCycle.h"
#include "monitor/MonitorJournal.h"
#include "printing/Printing.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTimer>

#include <mutex>

namespace vellora {

PreviewWindow::PreviewWindow(AppState& state, QWidget* mainWindow)
    // A tool window of the main window: it stays above that window, never
    // above other programs (nor over the settings window while the main
    // window is hidden).
    : QWidget(mainWindow, Qt::Tool), m_state(state)
{
    setObjectName(QStringLiteral("PreviewWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("预览"));
    setFixedSize(200, 200);
    setWindowOpacity(230.0 / 255);

    m_board = new PreviewSheetBoard(this);
    m_board->setGeometry(0, 0, 200, 200);

    m_printButton = new QPushButton(QStringLiteral("打 印"), m_board);
    m_printButton->setObjectName(QStringLiteral("打印超级按钮"));
    m_printButton->setGeometry(67, 85, 64, 28);
    m_printButton->setEnabled(false);
    connect(m_printButton, &QPushButton::clicked, this, &PreviewWindow::printNow);

    m_printedLabel = new QLabel(QStringLiteral("已打印完毕……"), m_board);
    m_printedLabel->setObjectName(QStringLiteral("打印完毕标签"));
    m_printedLabel->setGeometry(39, 122, 112, 24);
    m_printedLabel->setAlignment(Qt::AlignCenter);
    // See-through, yet readable over the photos of a full sheet.
    m_printedLabel->setStyleSheet(QStringLiteral(
        "QLabel { background: rgba(255, 255, 255, 170); color: #0b3d91; border-radius: 4px; }"));
    m_printedLabel->hide();

    // Sheets kept for the printer: an operator watching the sheet fill must
    // see that full ones are not coming out.
    m_waitingLabel = new QLabel(m_board);
    m_waitingLabel->setObjectName(QStringLiteral("等待打印标签"));
    m_waitingLabel->setGeometry(4, 4, 192, 20);
    m_waitingLabel->setAlignment(Qt::AlignCenter);
    m_waitingLabel->setStyleSheet(QStringLiteral(
        "QLabel { background: rgba(255, 255, 255, 200); color: #b00000; border-radius: 4px; }"));
    m_waitingLabel->hide();
    auto* waitingCheck = new QTimer(this);
    connect(waitingCheck, &QTimer::timeout, this, &PreviewWindow::showWaitingSheets);
    waitingCheck->start(1000);

    // Passes may run on the batch worker thread: the hooks only post. They are
    // set and cleared under the layout lock, so no pass calls them while this
    // window is going away.
    std::lock_guard<std::recursive_mutex> lock(m_state.layoutLock);
    m_state.views.showOnPreviewBoard = [this](const QImage& sheet) {
        QMetaObject::invokeMethod(
            this, [this, sheet] { showSheet(sheet); }, Qt::QueuedConnection);
    };
    m_state.views.setPrintedLabelVisible = [this](bool shown) {
        // Called right after the sheet went to printSheet: a sheet that did
        // not reach the printer is not announced as printed.
        const bool visible = shown && m_state.lastSheetPrinted.load();
        QMetaObject::invokeMethod(
            this, [this, visible] { setPrintedLabelVisible(visible); }, Qt::QueuedConnection);
    };
    m_attached = true;
    m_state.windows.previewOpen = true;
    // What is already waiting on the sheet shows at once.
    showSheet(m_state.sheetSurface.snapshotImage());
    setPrintEnabled(m_state.windows.monitoring.load());
    showWaitingSheets();
}

void PreviewWindow::showWaitingSheets()
{
    const std::shared_ptr<MonitorJournal> journal = m_state.journal;
    const int waiting = journal && journal->isRecording() ? journal->waitingSheets() : 0;
    m_waitingLabel->setText(QStringLiteral("%1 张相纸在等打印机").arg(waiting));
    m_waitingLabel->setToolTip(journal ? journal->waitingReason() : QString());
    m_waitingLabel->setVisible(waiting > 0);
}

PreviewWindow::~PreviewWindow()
{
    detachFromState();
}

void PreviewWindow::detachFromState()
{
    if (!m_attached)
        return;
    std::lock_guard<std::recursive_mutex> lock(m_state.layoutLock);
    m_state.windows.previewOpen = false;
    m_state.views.showOnPreviewBoard = nullptr;
    m_state.views.setPrintedLabelVisible = nullptr;
    m_attached = false;
}

void PreviewWindow::closeEvent(QCloseEvent* event)
{
    detachFromState();
    event->accept();
    Q_EMIT closed();
}

void PreviewWindow::showSheet(const QImage& sheet)
{
    m_board->showPicture(sheet);
}

void PreviewWindow::setPrintedLabelVisible(bool visible)
{
    m_printedLabel->setVisible(visible);
}

void PreviewWindow::setPrintEnabled(bool enabled)
{
    m_printButton->setEnabled(enabled);
    // The board paints opaquely under the button; redraw both now rather
    // than at the next sheet.
    m_board->update();
    m_printButton->update();
}

void PreviewWindow::printNow()
{
    // The print dialog's event loop must not run a monitor tick.
    {
        const OutputBusy busy(m_state);
        if (printPendingSheetNow(m_state))
            return;
    }
    const QString text = QString::fromUtf16(kNothingToPrintMessage);
    const QString caption = QString::fromUtf16(kErrorCaption);
    if (m_dialogs && m_dialogs->message)
        m_dialogs->message(caption, text, QMessageBox::Critical);
    else
        showMessageBox(text, caption, QMessageBox::Critical);
}

} // namespace vellora
