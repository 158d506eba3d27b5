#include "ui/BatchWindow.h"

#include "batch/BatchJob.h"
#include "core/AppState.h"
#include "printing/PrinterSettings.h"
#include "sheet/TemplateLoader.h"
#include "ui/FolderPickerWindow.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>

#include <condition_variable>
#include <mutex>

namespace vellora {

namespace {

const QString kSaveModeCaption = QStringLiteral("保存照片");
const QString kPrintModeCaption = QStringLiteral("直接打印");

// One answer from the UI thread to a waiting job. The first value set wins,
// so a fallback given when the question can no longer be answered is harmless
// after a real answer.
template <typename T> class Reply
{
public:
    void set(T value)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_done)
            return;
        m_value = std::move(value);
        m_done = true;
        m_ready.notify_all();
    }
    T wait()
    {
        std::unique_lock<std::mutex> guard(m_mutex);
        m_ready.wait(guard, [this] { return m_done; });
        return m_value;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    T m_value{};
    bool m_done = false;
};

// Answers with the fallback when the posted question is dropped unanswered
// (its window was destroyed before the event was delivered).
template <typename T> class AnswerOnDrop
{
public:
    AnswerOnDrop(std::shared_ptr<Reply<T>> reply, T fallback)
        : m_reply(std::move(reply)), m_fallback(std::move(fallback))
    {
    }
    AnswerOnDrop(const AnswerOnDrop&) = delete;
    AnswerOnDrop& operator=(const AnswerOnDrop&) = delete;
    ~AnswerOnDrop() { m_reply->set(m_fallback); }

private:
    std::shared_ptr<Reply<T>> m_reply;
    T m_fallback;
};

} // namespace

// The window as one job sees it. The job calls it on its own thread; every
// effect is posted to the window on the UI thread. The values a job reads
// once at its start are taken when the button is pressed, the output mode is
// shared as an atomic. Once the window is going away the bridge is detached:
// posts are dropped and questions get their fallback at once.
class BatchWindowBridge : public BatchJobView
{
public:
    BatchWindowBridge(BatchWindow* window, QString folder, QString templateName,
                      std::shared_ptr<std::atomic<bool>> printMode)
        : m_window(window), m_folder(std::move(folder)), m_templateName(std::move(templateName)),
          m_printMode(std::move(printMode))
    {
    }

    void detach()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_window = nullptr;
        if (m_abandon)
            m_abandon();
    }

    QString saveFolder() override { return m_folder; }
    QString templateName() override { return m_templateName; }
    BatchOutputMode outputMode() override
    {
        return m_printMode->load() ? BatchOutputMode::Print : BatchOutputMode::Save;
    }
    void showError(const QString& message) override
    {
        ask<bool>(
            [message](BatchWindow& w) {
                w.showError(message);
                return true;
            },
            false);
    }
    void lockControls() override
    {
        post([](BatchWindow& w) { w.applyLock(); });
    }
    void unlockControls() override
    {
        post([](BatchWindow& w) { w.applyUnlock(); });
    }
    QString choosePhotoFiles() override
    {
        return ask<QString>([](BatchWindow& w) { return w.choosePhotoFiles(); }, QString());
    }
    void showPhotoCount(int count) override
    {
        post([count](BatchWindow& w) { w.m_countLabel->setText(photoCountText(count)); });
    }
    void showCurrentPhoto(const QString& path) override
    {
        post([path](BatchWindow& w) { w.m_photoLabel->setText(path); });
    }
    void showProgress(int percent) override
    {
        post([percent](BatchWindow& w) { w.m_progress->setValue(percent); });
    }
    void jobEnded(const BatchJobReport& report) override
    {
        post([report](BatchWindow& w) { w.jobEnded(report); });
    }

    // The print dialog, when printing finds no default printer.
    QString choosePrinter()
    {
        return ask<QString>(
            [](BatchWindow& w) {
                if (w.m_dialogs->choosePrinter)
                    return w.m_dialogs->choosePrinter(&w);
                QPrinter printer;
                QPrintDialog dialog(&printer, &w);
                return dialog.exec() == QDialog::Accepted ? printer.printerName() : QString();
            },
            QString());
    }

private:
    template <typename F> void post(F&& effect)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_window == nullptr)
            return;
        BatchWindow* window = m_window;
        QMetaObject::invokeMethod(
            window, [window, effect = std::forward<F>(effect)] { effect(*window); },
            Qt::QueuedConnection);
    }

    // Runs the question on the UI thread and waits for its answer. Never
    // called with the layout lock held.
    template <typename T, typename F> T ask(F&& question, T fallback)
    {
        auto reply = std::make_shared<Reply<T>>();
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (m_window == nullptr)
                return fallback;
            m_abandon = [reply, fallback] { reply->set(fallback); };
            auto dropGuard = std::make_shared<AnswerOnDrop<T>>(reply, fallback);
            BatchWindow* window = m_window;
            QMetaObject::invokeMethod(
                window,
                [window, reply, dropGuard, question = std::forward<F>(question)] {
                    reply->set(question(*window));
                },
                Qt::QueuedConnection);
        }
        T answer = reply->wait();
        std::lock_guard<std::mutex> guard(m_mutex);
        m_abandon = nullptr;
        return answer;
    }

    std::mutex m_mutex;
    BatchWindow* m_window;
    std::function<void()> m_abandon;
    const QString m_folder;
    const QString m_templateName;
    const std::shared_ptr<std::atomic<bool>> m_printMode;
};

BatchWindow::BatchWindow(AppState& state, QWidget* owner)
    : QDialog(owner), m_state(state), m_printMode(std::make_shared<std::atomic<bool>>(false))
{
    m_state.windows.batchOpen = true;
    setWindowTitle(QStringLiteral("批量排版设置"));
    setFixedSize(650, 407);
    buildControls();

    m_templateBox->addItems(listTemplateNames(m_state.storePath()));
    m_templateBox->setCurrentIndex(-1);
    // Connected after filling, so that filling loads nothing.
    connect(m_templateBox, &QComboBox::currentIndexChanged, this, &BatchWindow::templateChosen);

    m_state.batchControl.stopRequested = false;
    m_state.batchControl.jobLock = std::make_shared<std::mutex>();
}

BatchWindow::~BatchWindow()
{
    // Normally no job runs here (closing waits for them). When the window is
    // destroyed some other way, the jobs are told to stop, their questions
    // are answered with nothing, and they are waited for, since they use
    // AppState.
    if (!m_jobs.isEmpty()) {
        m_state.batchControl.stopRequested = true;
        for (const RunningJob& job : std::as_const(m_jobs))
            job.bridge->detach();
        for (const RunningJob& job : std::as_const(m_jobs)) {
            job.thread->disconnect(this);
            job.thread->wait();
            delete job.thread;
        }
        m_jobs.clear();
    }
    m_state.batchControl.jobLock.reset();
    m_state.batchControl.stopRequested = false;
    m_state.windows.batchOpen = false;
}

void BatchWindow::buildControls()
{
    const auto label = [this](const char16_t* name, const QString& text, QRect rect) {
        auto* l = new QLabel(text, this);
        l->setObjectName(QString::fromUtf16(name));
        l->setGeometry(rect);
        return l;
    };
    const auto button = [this](const char16_t* name, const QString& text, QRect rect) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(QString::fromUtf16(name));
        b->setGeometry(rect);
        b->setAutoDefault(false);
        return b;
    };

    m_saveLabel = label(u"保存位置透明标签", QStringLiteral("保存目录"), {46, 24, 128, 32});
    m_folderEdit = new QLineEdit(this);
    m_folderEdit->setObjectName(QStringLiteral("保存目录编辑框"));
    m_folderEdit->setGeometry(30, 56, 536, 32);
    m_folderButton = button(u"按钮1", QStringLiteral("……"), {575, 56, 39, 32});
    m_templateLabel =
        label(u"排版设置透明标签", QStringLiteral("当前排版规格设置："), {46, 92, 186, 40});
    m_templateBox = new QComboBox(this);
    m_templateBox->setObjectName(QStringLiteral("规格组合框"));
    m_templateBox->setGeometry(230, 97, 273, 28);
    m_templateBox->setEditable(false);
    m_modeButton = button(u"保存打印按钮", kSaveModeCaption, {512, 95, 104, 32});
    m_printerButton = button(u"打印机按钮", QStringLiteral("设置打印机"), {512, 134, 104, 32});
    m_printerButton->hide();
    m_countLabel = label(u"文件数量透明标签", QStringLiteral("照片数量："), {46, 140, 538, 24});
    m_progressCaption = label(u"透明标签", QStringLiteral("排版处理进度"), {46, 203, 184, 24});
    m_photoLabel = label(u"地址透明标签", QString(), {50, 233, 544, 24});
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("进度条1"));
    m_progress->setGeometry(32, 262, 579, 32);
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    m_startButton = button(u"文件选择按钮", QStringLiteral("文件选择"), {60, 313, 120, 45});
    m_stopButton = button(u"停止按钮", QStringLiteral("停 止"), {202, 313, 120, 45});
    m_stopButton->setEnabled(false);
    m_closeButton = button(u"关闭按钮", QStringLiteral("关 闭"), {458, 313, 120, 45});

    connect(m_folderButton, &QPushButton::clicked, this, &BatchWindow::chooseSaveFolder);
    connect(m_modeButton, &QPushButton::clicked, this, &BatchWindow::toggleOutputMode);
    connect(m_printerButton, &QPushButton::clicked, this, [this] {
        const QString advice = openPrinterSettings();
        if (!advice.isEmpty())
            showMessageLater(QStringLiteral("重要提示"), advice);
    });
    connect(m_startButton, &QPushButton::clicked, this, &BatchWindow::startJob);
    connect(m_stopButton, &QPushButton::clicked, this,
            [this] { m_state.batchControl.stopRequested = true; });
    connect(m_closeButton, &QPushButton::clicked, this, &BatchWindow::close);
}

void BatchWindow::setDialogs(DialogsPtr dialogs)
{
    m_dialogs = dialogs ? std::move(dialogs) : std::make_shared<Dialogs>();
}

QString BatchWindow::choosePhotoFiles()
{
    // A job that was still waiting for the one before it when the window was
    // closed ends as if cancelled: a close stops every job, not just the
    // running one.
    if (m_closePending)
        return {};
    QStringList paths;
    if (m_dialogs->openPhotoFiles) {
        paths = m_dialogs->openPhotoFiles(this);
    } else {
        paths = QFileDialog::getOpenFileNames(this, QStringLiteral("请选择要排版输出图片文件"),
                                              QString(),
                                              QStringLiteral("图片文件（jpg，bmp） (*.jpg *.bmp)"));
    }
    return paths.join(u';');
}

void BatchWindow::startJob()
{
    const QString templateName =
        m_templateBox->currentIndex() >= 0 ? m_templateBox->currentText() : QString();
    // An existing folder is the save folder with or without its trailing "/".
    QString folder = m_folderEdit->text();
    if (!folder.isEmpty() && !folder.endsWith(u'/') && !folder.endsWith(u'\\') &&
        QFileInfo(folder).isDir())
        folder += u'/';
    auto bridge = std::make_shared<BatchWindowBridge>(this, folder, templateName, m_printMode);
    BatchJobContext context;
    context.jobLock = m_state.batchControl.jobLock;
    context.printDialog = [bridge] { return bridge->choosePrinter(); };

    AppState* state = &m_state;
    QThread* thread =
        QThread::create([state, bridge, context] { runBatchJob(*state, *bridge, context); });
    connect(thread, &QThread::finished, this, [this, thread] { jobThreadFinished(thread); });
    m_jobs.append(RunningJob{thread, bridge});
    thread->start();
}

void BatchWindow::jobThreadFinished(QThread* thread)
{
    for (qsizetype i = 0; i < m_jobs.size(); ++i) {
        if (m_jobs[i].thread == thread) {
            m_jobs.removeAt(i);
            break;
        }
    }
    // The job has returned; this only waits for its thread to wind down.
    thread->wait();
    delete thread;
    if (m_jobs.isEmpty() && m_closePending) {
        m_closePending = false;
        QDialog::done(m_closeResult);
    }
}

void BatchWindow::applyLock()
{
    ++m_lockDepth;
    m_closeButton->setEnabled(false);
    m_startButton->setEnabled(false);
    m_templateBox->setEnabled(false);
    m_folderEdit->setEnabled(false);
    m_folderButton->setEnabled(false);
    m_stopButton->setEnabled(true);
}

void BatchWindow::applyUnlock()
{
    // A second job that waited for the first one locked the controls too;
    // they stay locked until the last job has ended.
    if (m_lockDepth > 0 && --m_lockDepth > 0)
        return;
    m_closeButton->setEnabled(true);
    m_startButton->setEnabled(true);
    m_templateBox->setEnabled(true);
    m_folderEdit->setEnabled(true);
    m_folderButton->setEnabled(true);
    m_state.batchControl.stopRequested = false;
    m_stopButton->setEnabled(false);
}

void BatchWindow::jobEnded(const BatchJobReport& report)
{
    const QString failures = batchFailureMessage(report);
    if (!failures.isEmpty())
        showMessageLater(QString::fromUtf16(kErrorCaption), failures);
}

void BatchWindow::showError(const QString& text)
{
    const QString caption = QString::fromUtf16(kErrorCaption);
    if (m_dialogs->message) {
        m_dialogs->message(caption, text, QMessageBox::Critical);
        return;
    }
    QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

// A message nobody waits for: shown without blocking, so that a close that
// was waiting for the job is not held up by it.
void BatchWindow::showMessageLater(const QString& caption, const QString& text)
{
    if (m_dialogs->message) {
        m_dialogs->message(caption, text, QMessageBox::Critical);
        return;
    }
    auto* box = new QMessageBox(QMessageBox::Critical, caption, text, QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    box->show();
}

void BatchWindow::toggleOutputMode()
{
    const bool toPrint = m_modeButton->text() == kSaveModeCaption;
    m_modeButton->setText(toPrint ? kPrintModeCaption : kSaveModeCaption);
    m_printerButton->setVisible(toPrint);
    m_printMode->store(toPrint);
}

void BatchWindow::chooseSaveFolder()
{
    FolderPickerWindow picker(this);
    connect(&picker, &FolderPickerWindow::folderOpened, this,
            [this](const QString& folder) { m_folderEdit->setText(folder); });
    picker.exec();
}

void BatchWindow::templateChosen(int index)
{
    if (index < 0)
        return;
    if (!loadTemplateByName(m_state, m_templateBox->itemText(index)))
        showError(QString::fromUtf16(kTemplateMissingMessage));
}

bool BatchWindow::deferCloseWhileRunning(int result)
{
    if (m_jobs.isEmpty())
        return false;
    m_closePending = true;
    m_closeResult = result;
    m_state.batchControl.stopRequested = true;
    return true;
}

void BatchWindow::done(int result)
{
    if (deferCloseWhileRunning(result))
        return;
    QDialog::done(result);
}

void BatchWindow::closeEvent(QCloseEvent* event)
{
    if (deferCloseWhileRunning(QDialog::Rejected)) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

} // namespace vellora
