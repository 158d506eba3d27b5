#include "app/Startup.h"
#include "batch/BatchJob.h"
#include "core/AppState.h"
#include "sheet/TemplateLoader.h"
#include "ui/BatchWindow.h"
#include "ui/FolderPickerWindow.h"

#include "batch/batchtestutils.h"
#include "testutils.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace vellora;
using namespace vellora::test::batch;

namespace {

// Records every change of enabled state of the watched controls, in order.
class EnabledRecorder : public QObject
{
public:
    QStringList changes;
    void watch(QWidget* widget) { widget->installEventFilter(this); }

protected:
    bool eventFilter(QObject* object, QEvent* event) override
    {
        if (event->type() == QEvent::EnabledChange) {
            auto* widget = static_cast<QWidget*>(object);
            changes.append(widget->objectName() +
                           (widget->isEnabled() ? QStringLiteral("+") : QStringLiteral("-")));
        }
        return false;
    }
};

const QStringList kLockedControls = {
    QStringLiteral("关闭按钮"),       QStringLiteral("文件选择按钮"), QStringLiteral("规格组合框"),
    QStringLiteral("保存目录编辑框"), QStringLiteral("按钮1"),
};

} // namespace

class TestBatchWindow : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<test::TempProgramFolder> m_program;
    std::unique_ptr<QTemporaryDir> m_out;
    std::unique_ptr<AppState> m_state;
    QStringList m_messages;

    template <typename T> static T* control(QWidget& window, const char16_t* name)
    {
        T* found = window.findChild<T*>(QString::fromUtf16(name));
        if (found == nullptr)
            qFatal("no control %s", qPrintable(QString::fromUtf16(name)));
        return found;
    }

    QString photo(int i)
    {
        const QString path = m_out->filePath(QStringLiteral("photo%1.jpg").arg(i));
        if (!QFile::exists(path))
            writeSolidPhoto(path, palette()[i]);
        return path;
    }

    // A window whose dialogs answer from the test; messages are collected.
    std::unique_ptr<BatchWindow> makeWindow(std::function<QStringList(QWidget*)> photos = {})
    {
        auto window = std::make_unique<BatchWindow>(*m_state, nullptr);
        auto dialogs = std::make_shared<Dialogs>();
        dialogs->openPhotoFiles = std::move(photos);
        dialogs->message = [this](const QString& caption, const QString& text, QMessageBox::Icon) {
            m_messages.append(caption + u'|' + text);
        };
        window->setDialogs(dialogs);
        return window;
    }

    // Folder and template set as a user would.
    void prepare(BatchWindow& window, QString folder = {})
    {
        if (folder.isEmpty())
            folder = m_out->filePath(QStringLiteral("sheets")) + u'/';
        QDir().mkpath(folder);
        control<QLineEdit>(window, u"保存目录编辑框")->setText(folder);
        control<QComboBox>(window, u"规格组合框")->setCurrentIndex(0);
        QCOMPARE(m_state->currentTemplate.name, QStringLiteral("网格"));
    }

private Q_SLOTS:
    void init()
    {
        m_program = std::make_unique<test::TempProgramFolder>();
        m_out = std::make_unique<QTemporaryDir>();
        m_state = std::make_unique<AppState>();
        m_messages.clear();
        initialiseAppState(*m_state, m_program->path());
        // Two templates in the store, the first with 2 copies on 4 × 2.
        m_state->currentTemplate = gridTemplate(4, 2, 2);
        QVERIFY(saveTemplate(*m_state, QStringLiteral("网格")));
        m_state->currentTemplate = gridTemplate(2, 1, 1);
        QVERIFY(saveTemplate(*m_state, QStringLiteral("第二")));
        m_state->currentTemplate = LayoutTemplate{};
    }

    void cleanup()
    {
        m_state.reset();
        m_out.reset();
        m_program.reset();
    }

    void controlsAsOpened_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("rect");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<bool>("shown");
        const auto row = [](const char* tag, const char16_t* name, QRect rect, const char16_t* text,
                            bool enabled = true, bool shown = true) {
            QTest::newRow(tag) << QString::fromUtf16(name) << rect << QString::fromUtf16(text)
                               << enabled << shown;
        };
        row("save label", u"保存位置透明标签", {46, 24, 128, 32}, u"保存目录");
        row("folder box", u"保存目录编辑框", {30, 56, 536, 32}, u"");
        row("folder button", u"按钮1", {575, 56, 39, 32}, u"……");
        row("template label", u"排版设置透明标签", {46, 92, 186, 40}, u"当前排版规格设置：");
        row("template list", u"规格组合框", {230, 97, 273, 28}, u"");
        row("mode", u"保存打印按钮", {512, 95, 104, 32}, u"保存照片");
        row("printer", u"打印机按钮", {512, 134, 104, 32}, u"设置打印机", true, false);
        row("count", u"文件数量透明标签", {46, 140, 538, 24}, u"照片数量：");
        row("progress caption", u"透明标签", {46, 203, 184, 24}, u"排版处理进度");
        row("photo", u"地址透明标签", {50, 233, 544, 24}, u"");
        row("progress", u"进度条1", {32, 262, 579, 32}, u"");
        row("start", u"文件选择按钮", {60, 313, 120, 45}, u"文件选择");
        row("stop", u"停止按钮", {202, 313, 120, 45}, u"停 止", false);
        row("close", u"关闭按钮", {458, 313, 120, 45}, u"关 闭");
    }
    void controlsAsOpened()
    {
        QFETCH(QString, name);
        QFETCH(QRect, rect);
        QFETCH(QString, text);
        QFETCH(bool, enabled);
        QFETCH(bool, shown);
        auto window = makeWindow();
        window->show();
        QWidget* widget = window->findChild<QWidget*>(name);
        QVERIFY2(widget != nullptr, qPrintable(name));
        QCOMPARE(widget->geometry(), rect);
        QCOMPARE(widget->isEnabled(), enabled);
        QCOMPARE(widget->isVisible(), shown);
        if (auto* label = qobject_cast<QLabel*>(widget))
            QCOMPARE(label->text(), text);
        else if (auto* button = qobject_cast<QPushButton*>(widget))
            QCOMPARE(button->text(), text);
        else if (auto* edit = qobject_cast<QLineEdit*>(widget))
            QCOMPARE(edit->text(), text);
    }

    void windowAsOpened()
    {
        QVERIFY(!m_state->windows.batchOpen.load());
        m_state->batchControl.stopRequested = true;
        {
            auto window = makeWindow();
            QCOMPARE(window->windowTitle(), QStringLiteral("批量排版设置"));
            QCOMPARE(window->size(), QSize(650, 407));
            QVERIFY(m_state->windows.batchOpen.load());
            QVERIFY(!m_state->batchControl.stopRequested.load());
            QVERIFY(m_state->batchControl.jobLock != nullptr);
            auto* list = control<QComboBox>(*window, u"规格组合框");
            QVERIFY(!list->isEditable());
            QCOMPARE(list->count(), 2);
            QCOMPARE(list->itemText(0), QStringLiteral("网格"));
            QCOMPARE(list->itemText(1), QStringLiteral("第二"));
            QCOMPARE(list->currentIndex(), -1);
            // Filling the list loads nothing.
            QVERIFY(m_state->currentTemplate.name.isEmpty());
            auto* progress = control<QProgressBar>(*window, u"进度条1");
            QCOMPARE(progress->minimum(), 0);
            QCOMPARE(progress->maximum(), 100);
            QCOMPARE(progress->value(), 0);
        }
        QVERIFY(!m_state->windows.batchOpen.load());
        QVERIFY(m_state->batchControl.jobLock == nullptr);
    }

    void modeToggles()
    {
        auto window = makeWindow();
        window->show();
        auto* mode = control<QPushButton>(*window, u"保存打印按钮");
        auto* printer = control<QPushButton>(*window, u"打印机按钮");
        mode->click();
        QCOMPARE(mode->text(), QStringLiteral("直接打印"));
        QVERIFY(printer->isVisible());
        mode->click();
        QCOMPARE(mode->text(), QStringLiteral("保存照片"));
        QVERIFY(!printer->isVisible());
    }

    void choosingATemplate()
    {
        auto window = makeWindow();
        auto* list = control<QComboBox>(*window, u"规格组合框");
        list->setCurrentIndex(1);
        QCOMPARE(m_state->currentTemplate.name, QStringLiteral("第二"));
        QCOMPARE(m_state->currentTemplate.size1.countAcross, 2);
        QVERIFY(m_messages.isEmpty());
        // Gone from the store since the list was filled.
        QVERIFY(deleteTemplate(m_state->storePath(), QStringLiteral("网格")));
        list->setCurrentIndex(0);
        QCOMPARE(m_messages, QStringList({QStringLiteral("错误|排版设置错误，请重新设置")}));
        QCOMPARE(m_state->currentTemplate.name, QStringLiteral("第二"));
    }

    void folderPickerFillsTheFolderBox()
    {
        auto window = makeWindow();
        window->show();
        const QString folder = m_out->path() + u'/';
        bool pickerSeen = false;
        QTimer::singleShot(0, this, [&] {
            auto* picker = qobject_cast<FolderPickerWindow*>(QApplication::activeModalWidget());
            if (picker == nullptr)
                return;
            pickerSeen = true;
            Q_EMIT picker->folderOpened(QStringLiteral("/elsewhere/"));
            Q_EMIT picker->folderOpened(folder);
            picker->reject();
        });
        control<QPushButton>(*window, u"按钮1")->click();
        QVERIFY(pickerSeen);
        QCOMPARE(control<QLineEdit>(*window, u"保存目录编辑框")->text(), folder);
    }

    // The job locks and unlocks the controls in order; while the photo dialog
    // is up everything but 停止按钮 is disabled.
    void jobLocksAndUnlocks()
    {
        QStringList enabledInDialog;
        auto window = makeWindow([&](QWidget* parent) {
            for (QWidget* w : parent->findChildren<QWidget*>())
                if (w->isEnabled() && !w->objectName().isEmpty())
                    enabledInDialog.append(w->objectName());
            return QStringList({photo(0), photo(1), photo(2)});
        });
        window->show();
        prepare(*window);
        EnabledRecorder recorder;
        for (const QString& name : kLockedControls + QStringList{QStringLiteral("停止按钮")})
            recorder.watch(window->findChild<QWidget*>(name));

        control<QPushButton>(*window, u"文件选择按钮")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!window->jobRunning(), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(recorder.changes.size(), 12, 10000);

        QStringList expected;
        for (const QString& name : kLockedControls)
            expected.append(name + u'-');
        expected.append(QStringLiteral("停止按钮+"));
        for (const QString& name : kLockedControls)
            expected.append(name + u'+');
        expected.append(QStringLiteral("停止按钮-"));
        QCOMPARE(recorder.changes, expected);
        QVERIFY(!enabledInDialog.contains(QStringLiteral("文件选择按钮")));
        QVERIFY(!enabledInDialog.contains(QStringLiteral("关闭按钮")));
        QVERIFY(enabledInDialog.contains(QStringLiteral("停止按钮")));
        QVERIFY(enabledInDialog.contains(QStringLiteral("保存打印按钮")));

        QCOMPARE(control<QLabel>(*window, u"文件数量透明标签")->text(),
                 QStringLiteral("照片数量：3张"));
        QCOMPARE(control<QLabel>(*window, u"地址透明标签")->text(), photo(2));
        QCOMPARE(control<QProgressBar>(*window, u"进度条1")->value(), 100);
        const QStringList files = sheetFiles(m_out->filePath(QStringLiteral("sheets")));
        QCOMPARE(files.size(), 1);
        QCOMPARE(cellContents(readSheet(files[0]), 4, 8), QList<int>({0, 0, 1, 1, 2, 2, -1, -1}));
        QVERIFY(m_messages.isEmpty());
        QVERIFY(m_state->windows.batchOpen.load());
    }

    void jobRefusedWithoutFolder()
    {
        bool dialogShown = false;
        auto window = makeWindow([&](QWidget*) {
            dialogShown = true;
            return QStringList{photo(0)};
        });
        window->show();
        control<QComboBox>(*window, u"规格组合框")->setCurrentIndex(0);
        EnabledRecorder recorder;
        recorder.watch(control<QPushButton>(*window, u"关闭按钮"));
        control<QPushButton>(*window, u"文件选择按钮")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!window->jobRunning(), 30000);
        QCOMPARE(m_messages, QStringList({QStringLiteral("错误|请设置保存目录")}));
        QVERIFY(!dialogShown);
        QVERIFY(recorder.changes.isEmpty());

        // An existing folder typed without its trailing "/" is the save folder.
        const QString folder = m_out->filePath(QStringLiteral("typed"));
        QVERIFY(QDir().mkpath(folder));
        control<QLineEdit>(*window, u"保存目录编辑框")->setText(folder);
        control<QPushButton>(*window, u"文件选择按钮")->click();
        QTRY_VERIFY_WITH_TIMEOUT(dialogShown && !window->jobRunning(), 60000);
        QCOMPARE(m_messages.size(), 1);
        QCOMPARE(sheetFiles(folder).size(), 1);
    }

    // Sheets that could not be output are told in one message at the end.
    void failuresToldOnceAtTheEnd()
    {
        auto window = makeWindow([&](QWidget*) {
            return QStringList({photo(0), photo(1), photo(2), photo(3), photo(4)});
        });
        window->show();
        prepare(*window);
        control<QLineEdit>(*window, u"保存目录编辑框")->setText(QStringLiteral("/proc/"));
        control<QPushButton>(*window, u"文件选择按钮")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!window->jobRunning(), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(
            m_messages, QStringList({QStringLiteral("错误|有 2 张排版未能保存或打印")}), 10000);
    }

    // Closing during a job asks it to stop and closes once it has ended; the
    // frame's close, Escape and 关闭按钮 all go this way.
    void closingWaitsForTheJob_data()
    {
        QTest::addColumn<int>("how");
        QTest::addColumn<bool>("secondJobWaiting");
        QTest::newRow("close()") << 0 << false;
        QTest::newRow("Escape") << 1 << false;
        QTest::newRow("reject()") << 2 << false;
        // 文件选择按钮 pressed twice quickly: the close stops the waiting job
        // too, before it ever shows its photo dialog.
        QTest::newRow("close() with a second job waiting") << 0 << true;
    }
    void closingWaitsForTheJob()
    {
        QFETCH(int, how);
        QFETCH(bool, secondJobWaiting);
        BatchWindow* self = nullptr;
        bool stillOpenAfterClose = false;
        int dialogsShown = 0;
        auto window = makeWindow([&](QWidget*) {
            if (++dialogsShown > 1)
                return QStringList({photo(0), photo(1), photo(2)});
            // The job is running: it waits for this very dialog.
            if (how == 0)
                self->close();
            else if (how == 1)
                QTest::keyClick(self, Qt::Key_Escape);
            else
                self->reject();
            stillOpenAfterClose = self->isVisible();
            return QStringList({photo(0), photo(1), photo(2)});
        });
        self = window.get();
        prepare(*window);
        QTimer::singleShot(0, this, [&] {
            control<QPushButton>(*window, u"文件选择按钮")->click();
            if (secondJobWaiting)
                control<QPushButton>(*window, u"文件选择按钮")->click();
        });
        // Should the window never close, end the modal loop so the test fails
        // instead of hanging.
        QTimer::singleShot(60000, window.get(), [&] { window->hide(); });
        window->exec();
        QVERIFY(stillOpenAfterClose);
        QCOMPARE(dialogsShown, 1);
        QVERIFY(!window->jobRunning());
        QCOMPARE(m_state->batchControl.runningJobs.load(), 0);
        QVERIFY(!m_state->batchControl.stopRequested.load());
        // Stopped after the first photo; its partial sheet was dropped.
        QVERIFY(sheetFiles(m_out->filePath(QStringLiteral("sheets"))).isEmpty());
        QCOMPARE(control<QProgressBar>(*window, u"进度条1")->value(), 33);
    }

    // Destroyed outright under a job (not through a close): the job is told
    // to stop, its pending question answered with nothing, and it is over
    // before the window is gone.
    void destroyedUnderAJob()
    {
        bool dialogShown = false;
        auto window = makeWindow([&](QWidget*) {
            dialogShown = true;
            return QStringList{photo(0)};
        });
        prepare(*window);
        control<QPushButton>(*window, u"文件选择按钮")->click();
        QVERIFY(window->jobRunning());
        window.reset();
        QVERIFY(!dialogShown);
        QCOMPARE(m_state->batchControl.runningJobs.load(), 0);
        QVERIFY(!m_state->windows.batchOpen.load());
        QVERIFY(m_state->batchControl.jobLock == nullptr);
        QCoreApplication::processEvents();
        QVERIFY(sheetFiles(m_out->filePath(QStringLiteral("sheets"))).isEmpty());
    }
};

QTEST_MAIN(TestBatchWindow)
#include "tst_batchwindow.moc"
