#include "testutils.h"

#include "app/Startup.h"
#include "core/AppState.h"
#include "core/Config.h"
#include "ledger/PrintLedger.h"
#include "monitor/MonitorJournal.h"
#include "monitor/MonitorTimer.h"
#include "printing/PrinterDevice.h"
#include "printing/Printing.h"
#include "sheet/TemplateLoader.h"
#include "ui/CalibrationWindow.h"
#include "ui/FolderPickerWindow.h"
#include "ui/HistoryWindow.h"
#include "ui/MainWindow.h"
#include "ui/PreviewWindow.h"
#include "ui/SettingsWindow.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileSystemModel>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <memory>
#include <tuple>

using namespace vellora;
using vellora::test::TempProgramFolder;

namespace {

struct Message
{
    QString text;
    QString caption;
    QMessageBox::Icon icon;
};

QString section()
{
    return QString::fromUtf16(kConfigSection);
}

QString folderKey()
{
    return QString::fromUtf16(kConfigFolderKey);
}

QString templateKey()
{
    return QString::fromUtf16(kConfigDefaultTemplateKey);
}

// A small single-size template: 2 × 2 cells of 35 × 45 mm on a 6-inch sheet,
// one copy per photo, no number.
LayoutTemplate smallTemplate(const QString& name)
{
    LayoutTemplate t;
    t.name = name;
    t.size1 = PhotoSizeSpec{450, 350, 2, 2, 100, 100};
    t.outputCount = 1;
    t.paperWidth = 1520;
    t.paperHeight = 1020;
    t.leftMargin = 50;
    t.topMargin = 50;
    t.noNumber = 1;
    return t;
}

// One main window over a throw-away program folder, with every message box
// and the printer settings launcher recorded instead of shown.
struct Program
{
    TempProgramFolder folder;
    AppState state;
    QList<Message> messages;
    int printerSettingsOpened = 0;
    QList<QImage> printed;
    DialogsPtr dialogs = std::make_shared<Dialogs>();
    std::unique_ptr<MainWindow> window;

    Program()
    {
        initialiseAppState(state, folder.path());
        state.fatalError = [](int code, const QString& message) {
            QFAIL(qPrintable(QStringLiteral("fatal %1: %2").arg(code).arg(message)));
        };
        // Full sheets are recorded here; the printing module has its own tests.
        state.printSheet = [this](const QImage& sheet) { printed.append(sheet); };
        // The main window's dialogs and, through it, the settings and preview windows'.
        dialogs->message = [this](const QString& caption, const QString& text,
                                  QMessageBox::Icon icon) {
            messages.append({text, caption, icon});
        };
    }
    ~Program() { window.reset(); }

    void writeConfig(const QString& watched, const QString& templateName)
    {
        QVERIFY(writeConfigText(state.configPath(), section(), folderKey(), watched));
        QVERIFY(writeConfigText(state.configPath(), section(), templateKey(), templateName));
    }

    QString config(const QString& key) const
    {
        return readConfigText(state.configPath(), section(), key);
    }

    MainWindow* open()
    {
        window = std::make_unique<MainWindow>(state, nullptr, dialogs);
        window->setPrinterSettingsLauncher([this] { ++printerSettingsOpened; });
        window->show();
        if (!QTest::qWaitForWindowExposed(window.get()))
            qWarning("main window not exposed");
        return window.get();
    }

    template <class T> T* child(const char16_t* name) const
    {
        return window->findChild<T*>(QString::fromUtf16(name));
    }

    QRadioButton* readyRadio() const { return child<QRadioButton>(u"准备监控单选框"); }
    QRadioButton* monitoringRadio() const { return child<QRadioButton>(u"监控中单选框"); }
    QPushButton* previewButton() const { return child<QPushButton>(u"预览超级按钮"); }
    QLineEdit* folderBox() const { return child<QLineEdit>(u"监控地址编辑框"); }
    QPushButton* templateButton() const { return child<QPushButton>(u"默认标题超级按钮"); }
    QListWidget* templateList() const { return child<QListWidget>(u"启动列表框"); }

    QList<QWidget*> editingControls() const
    {
        return {child<QWidget>(u"打印设置超级按钮"), child<QWidget>(u"监控地址编辑框"),
                child<QWidget>(u"监控目录按钮"), child<QWidget>(u"默认标题超级按钮"),
                child<QWidget>(u"默认打印机按钮")};
    }
};

// The board's own painting, without the button and label on it.
QImage boardImage(PreviewSheetBoard* board)
{
    QImage image(board->size(), QImage::Format_RGB32);
    board->render(&image, QPoint(), QRegion(), QWidget::DrawWindowBackground);
    return image;
}

int screenHeight()
{
    return QGuiApplication::primaryScreen()->geometry().height();
}

// The paused or the monitoring look of the window, item by item.
void verifyState(Program& p, bool monitoring)
{
    MainWindow* w = p.window.get();
    QCOMPARE(w->windowTitle(),
             monitoring ? QStringLiteral("监控中-Vellora") : QStringLiteral("暂停监控-Vellora"));
    QCOMPARE(p.readyRadio()->isHidden(), monitoring);
    QCOMPARE(p.readyRadio()->isChecked(), !monitoring);
    QCOMPARE(p.monitoringRadio()->isHidden(), !monitoring);
    QCOMPARE(p.monitoringRadio()->isChecked(), monitoring);
    for (QWidget* control : p.editingControls())
        QVERIFY2(control->isEnabled() == !monitoring, qPrintable(control->objectName()));
    QCOMPARE(bool(w->windowFlags() & Qt::WindowStaysOnTopHint), monitoring);
    QVERIFY(w->isVisible());
    QCOMPARE(p.state.windows.monitoring.load(), monitoring);
    QCOMPARE(bool(p.state.watchHandle), monitoring);
    if (PreviewWindow* preview = w->previewWindow()) {
        auto* print = preview->findChild<QPushButton*>(QStringLiteral("打印超级按钮"));
        QCOMPARE(print->isEnabled(), monitoring);
    }
}

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void controlsAsDesigned_data();
    void controlsAsDesigned();
    void startsFromTheConfiguration();
    void startsEmptyWithoutConfiguration();
    void monitoringSwitchesTheWholeWindow();
    void monitoringLocksTheTemplateAndReportsUnprintedSheets();
    void pauseKeepsTimerAndQueue();
    void startOnMissingFolderStaysPaused();
    void placedAtTheBottomLeftWithPreviewAbove();
    void previewToggleFollowsTheButton();
    void previewBoardShowsThePendingSheet();
    void printButtonWithEmptySheetSays();
    void folderPickerFillsTheBoxAtOnce();
    void typedFolderIsWrittenOnEveryChange();
    void templateListChoosesAndLoads();
    void templateListReportsMissingName();
    void settingsPausesAndComesBackPaused();
    void printerAdviceThenSettings();
    void printerButtonMenuCalibrates();
    void printerChoicesAreWrittenToTheConfig();
    void historyButtonOpensOneWindow();
    void reprintWhileMonitoringIsLaidOutAtOnce();
    void quitWithCopiesOnTheSheetAsks_data();
    void quitWithCopiesOnTheSheetAsks();
    void closingStopsEverything();
};

void MainWindowTest::controlsAsDesigned_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("hidden");
    QTest::newRow("group box") << QStringLiteral("分组框1") << QRect(10, 11, 158, 62) << QString()
                               << true;
    QTest::newRow("ready") << QStringLiteral("准备监控单选框") << QRect(13, 19, 150, 50)
                           << QString() << false;
    QTest::newRow("monitoring") << QStringLiteral("监控中单选框") << QRect(13, 19, 150, 50)
                                << QString() << true;
    QTest::newRow("preview") << QStringLiteral("预览超级按钮") << QRect(184, 7, 112, 28)
                             << QStringLiteral("打开预览") << false;
    QTest::newRow("settings") << QStringLiteral("打印设置超级按钮") << QRect(184, 38, 112, 28)
                              << QStringLiteral("打印设置") << false;
    QTest::newRow("history") << QStringLiteral("打印记录按钮") << QRect(184, 69, 112, 28)
                             << QStringLiteral("打印记录") << false;
    QTest::newRow("label") << QStringLiteral("透明标签1") << QRect(8, 85, 112, 24)
                           << QStringLiteral("监控目录：") << false;
    QTest::newRow("folder box") << QStringLiteral("监控地址编辑框") << QRect(7, 105, 265, 23)
                                << QString() << false;
    QTest::newRow("folder button") << QStringLiteral("监控目录按钮") << QRect(272, 105, 30, 24)
                                   << QStringLiteral("…") << false;
    QTest::newRow("printer") << QStringLiteral("默认打印机按钮") << QRect(22, 129, 140, 24)
                             << QStringLiteral("设置默认打印机") << false;
    QTest::newRow("template") << QStringLiteral("默认标题超级按钮") << QRect(193, 133, 107, 24)
                              << QString() << false;
    QTest::newRow("list") << QStringLiteral("启动列表框") << QRect(196, 1, 100, 129) << QString()
                          << true;
}

void MainWindowTest::controlsAsDesigned()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);
    QFETCH(bool, hidden);
    Program p;
    MainWindow* w = p.open();
    QCOMPARE(w->size(), QSize(314, 189));
    auto* control = w->findChild<QWidget*>(name);
    QVERIFY(control);
    QCOMPARE(control->parentWidget(), w);
    QCOMPARE(control->geometry(), geometry);
    QCOMPARE(control->isHidden(), hidden);
    if (!caption.isEmpty()) {
        if (auto* button = qobject_cast<QAbstractButton*>(control))
            QCOMPARE(button->text(), caption);
        else
            QCOMPARE(qobject_cast<QLabel*>(control)->text(), caption);
    }
    // The timer is a child object of the window, stopped at start.
    auto* timer = w->findChild<MonitorTimer*>(QStringLiteral("监控时钟"));
    QVERIFY(timer);
    QCOMPARE(timer, w->monitorTimer());
    QCOMPARE(timer->period(), 0);
    QVERIFY(p.previewButton()->isCheckable());
    QVERIFY(p.previewButton()->isChecked());
}

void MainWindowTest::startsFromTheConfiguration()
{
    Program p;
    const QString watched = p.folder.path() + QStringLiteral("/照片/");
    p.writeConfig(watched, QStringLiteral("没有这个排版"));
    p.open();
    verifyState(p, false);
    QCOMPARE(p.folderBox()->text(), watched);
    QCOMPARE(p.state.monitorFolder, watched);
    QCOMPARE(p.state.currentPhotoPath, watched);
    // The caption takes the configured name even when no such template exists.
    QCOMPARE(p.templateButton()->text(), QStringLiteral("没有这个排版"));
    QCOMPARE(p.config(folderKey()), watched);
    {
        std::lock_guard<std::mutex> lock(p.state.queueLock);
        QCOMPARE(queuedNames(p.state.monitorQueue), QStringList{QString()});
    }
    QVERIFY(p.window->settingsWindow());
    QVERIFY(p.window->settingsWindow()->isHidden());
}

void MainWindowTest::startsEmptyWithoutConfiguration()
{
    Program p;
    p.open();
    QCOMPARE(p.folderBox()->text(), QString());
    QCOMPARE(p.templateButton()->text(), QString());
    verifyState(p, false);
}

void MainWindowTest::monitoringSwitchesTheWholeWindow()
{
    Program p;
    QTemporaryDir watched;
    p.writeConfig(watched.path(), QString());
    p.open();
    {
        std::lock_guard<std::recursive_mutex> lock(p.state.layoutLock);
        p.state.sheetSurface.resize(200, 100);
        p.state.sheetSurface.drawImage(test::markedImage(50, 50), 0, 0);
        p.state.pendingSheet.filledCells = 3;
    }
    // The preview's print button follows the state while the preview is open.
    p.previewButton()->click();
    QVERIFY(p.window->previewWindow());

    QTest::mouseClick(p.readyRadio(), Qt::LeftButton);
    verifyState(p, true);
    QCOMPARE(p.state.monitorFolder, watched.path());
    QCOMPARE(p.state.currentPhotoPath, watched.path());
    // The partly filled sheet is discarded unprinted.
    QCOMPARE(p.state.pendingSheet.filledCells, 0);
    QCOMPARE(p.state.sheetSurface.image().pixel(10, 10), qRgb(255, 255, 255));
    QVERIFY(p.printed.isEmpty());
    QVERIFY(p.messages.isEmpty());

    QTest::mouseClick(p.monitoringRadio(), Qt::LeftButton);
    verifyState(p, false);

    // And on again: a second start works from the paused state.
    QTest::mouseClick(p.readyRadio(), Qt::LeftButton);
    verifyState(p, true);
    QVERIFY(p.window->isVisible());
}

void MainWindowTest::monitoringLocksTheTemplateAndReportsUnprintedSheets()
{
    Program p;
    QTemporaryDir watched;
    p.writeConfig(watched.path(), QString());
    p.open();
    QTest::mouseClick(p.templateButton(), Qt::LeftButton);
    QVERIFY(p.templateList()->isVisible());
    QTest::mouseClick(p.readyRadio(), Qt::LeftButton);
    verifyState(p, true);
    // The open list would let the template change under a half-filled sheet.
    QVERIFY(p.templateList()->isHidden());

    // Sheets kept unprinted: the window says how many, where and why, and
    // that they print by themselves; once they have, the notice goes.
    MonitorJournal& journal = *p.state.journal;
    bool ready = false;
    int handed = 0;
    MonitorJournal::Printing printing;
    printing.queueReady = [&] {
        return QueueCheck{ready, QStringLiteral("打印机“PDF”已停止：缺纸")};
    };
    printing.reconcile = [](const QString&, int, bool) {
        JobReconciliation done;
        done.fate = JobReconciliation::Fate::Printed;
        return done;
    };
    printing.handOff = [&](const QImage&, const HandOffRecord& record) {
        record.jobCreated(QStringLiteral("PDF"), ++handed);
        record.documentSent();
        PrintReport printed;
        printed.outcome = PrintOutcome::Printed;
        return printed;
    };
    journal.setPrinting(printing);
    for (int i = 0; i < 2; ++i) {
        QImage sheet(200, 100, QImage::Format_RGB32);
        sheet.fill(Qt::white);
        const PrintReport kept = keepSheetUnprinted(sheet, p.folder.path(), QStringLiteral("缺纸"));
        QCOMPARE(kept.outcome, PrintOutcome::SavedUnprinted);
        const qint64 id = journal.ledger().newSheet(QStringLiteral("T"), 1).value;
        QVERIFY(journal.ledger().sheetKept(id, kept.savedPath, kept.error).ok());
    }
    journal.printWaitingSheets();
    const auto* label = p.window->findChild<QLabel*>(QStringLiteral("监控提示标签"));
    QTRY_COMPARE_WITH_TIMEOUT(
        label->text(), QStringLiteral("2 张未打印，打印机恢复后自动打印：打印机“PDF”已停止：缺纸"),
        5000);
    QVERIFY(label->toolTip().contains(p.folder.path() + QStringLiteral("/未打印")));
    QVERIFY(label->isVisible());
    QVERIFY(label->styleSheet().contains(QStringLiteral("#b00000")));
    // The preview says so too, while they wait.
    p.previewButton()->click();
    QVERIFY(p.window->previewWindow());
    const auto* waitingLabel =
        p.window->previewWindow()->findChild<QLabel*>(QStringLiteral("等待打印标签"));
    QVERIFY(waitingLabel);
    QTRY_VERIFY(waitingLabel->isVisible());
    QCOMPARE(waitingLabel->text(), QStringLiteral("2 张相纸在等打印机"));
    ready = true;
    // Printed: only the printer's state is left, in grey.
    const QString printer = defaultPrinterName();
    QTRY_COMPARE_WITH_TIMEOUT(label->text(),
                              printer.isEmpty() ? QStringLiteral("没有默认打印机")
                                                : QStringLiteral("打印机“%1”就绪").arg(printer),
                              15000);
    if (!printer.isEmpty())
        QVERIFY(label->styleSheet().contains(QStringLiteral("#505050")));
    QTRY_VERIFY(waitingLabel->isHidden());
    // Counted apart: printed once the printing system says the jobs completed.
    QTRY_VERIFY2(label->toolTip().contains(
                     QStringLiteral("相纸：已打印 2 张，打印中 0 张，存入未打印 0 张")),
                 qPrintable(label->toolTip()));
    QCOMPARE(handed, 2);
}

void MainWindowTest::pauseKeepsTimerAndQueue()
{
    Program p;
    QTemporaryDir watched;
    p.writeConfig(watched.path(), QString());
    p.open();
    QTest::mouseClick(p.readyRadio(), Qt::LeftButton);
    verifyState(p, true);
    p.window->monitorTimer()->setPeriod(500);
    {
        std::lock_guard<std::mutex> lock(p.state.queueLock);
        p.state.monitorQueue.append(QStringLiteral("a.jpg"));
    }
    p.state.pendingSheet.filledCells = 2;
    QTest::mouseClick(p.monitoringRadio(), Qt::LeftButton);
    verifyState(p, false);
    QCOMPARE(p.window->monitorTimer()->period(), 500);
    {
        std::lock_guard<std::mutex> lock(p.state.queueLock);
        QCOMPARE(queuedNames(p.state.monitorQueue),
                 (QStringList{QString(), QStringLiteral("a.jpg")}));
    }
    QCOMPARE(p.state.pendingSheet.filledCells, 2);
}

void MainWindowTest::startOnMissingFolderStaysPaused()
{
    Program p;
    p.writeConfig(p.folder.path() + QStringLiteral("/nowhere/"), QString());
    p.open();
    QTest::mouseClick(p.readyRadio(), Qt::LeftButton);
    QCOMPARE(p.messages.size(), 1);
    // The operator is told why.
    QCOMPARE(p.messages[0].text,
             QStringLiteral("监视失败\n文件夹 %1/nowhere 不存在").arg(p.folder.path()));
    QCOMPARE(p.messages[0].caption, QStringLiteral("错误"));
    QCOMPARE(p.messages[0].icon, QMessageBox::Critical);
    verifyState(p, false);
}

void MainWindowTest::placedAtTheBottomLeftWithPreviewAbove()
{
    Program p;
    MainWindow* w = p.open();
    const int h = screenHeight();
    QCOMPARE(w->pos(), QPoint(0, h - 220));

    p.previewButton()->click();
    PreviewWindow* preview = w->previewWindow();
    QVERIFY(preview);
    QCOMPARE(preview->pos(), QPoint(10, h - 220 - 204));

    w->move(100, 400);
    QTRY_COMPARE_WITH_TIMEOUT(preview->pos(), QPoint(110, 196), 5000);

    w->showMinimized();
    QTRY_COMPARE_WITH_TIMEOUT(preview->pos(), QPoint(10, h - 240), 5000);
    w->showNormal();
    QTRY_COMPARE_WITH_TIMEOUT(preview->pos(), QPoint(w->x() + 10, w->y() - 204), 5000);
    QVERIFY(w->y() - 204 != h - 240);
}

void MainWindowTest::previewToggleFollowsTheButton()
{
    Program p;
    MainWindow* w = p.open();
    QPushButton* button = p.previewButton();

    button->click();
    QCOMPARE(button->text(), QStringLiteral("关闭预览"));
    QPointer<PreviewWindow> preview = w->previewWindow();
    QVERIFY(preview);
    QVERIFY(preview->isVisible());
    QVERIFY(p.state.windows.previewOpen);
    QVERIFY(p.state.views.showOnPreviewBoard);

    button->click();
    QCOMPARE(button->text(), QStringLiteral("打开预览"));
    QVERIFY(!p.state.windows.previewOpen);
    QVERIFY(!p.state.views.showOnPreviewBoard);
    QVERIFY(!p.state.views.setPrintedLabelVisible);
    QTRY_VERIFY_WITH_TIMEOUT(!preview, 5000);

    // Closed by other means while the button says "关闭预览": the next click
    // closes nothing, the one after opens it again.
    button->click();
    preview = w->previewWindow();
    QVERIFY(preview);
    preview->close();
    QVERIFY(!p.state.windows.previewOpen);
    QTRY_VERIFY_WITH_TIMEOUT(!preview, 5000);
    QCOMPARE(button->text(), QStringLiteral("关闭预览"));
    button->click();
    QCOMPARE(button->text(), QStringLiteral("打开预览"));
    QVERIFY(!w->previewWindow());
    button->click();
    QCOMPARE(button->text(), QStringLiteral("关闭预览"));
    QVERIFY(w->previewWindow());
    QVERIFY(p.state.windows.previewOpen);
}

void MainWindowTest::previewBoardShowsThePendingSheet()
{
    Program p;
    QTemporaryDir watched;
    p.writeConfig(watched.path(), QString());
    p.open();
    useTemplateHeadless(p.state, smallTemplate(QStringLiteral("小")));
    p.previewButton()->click();
    PreviewWindow* preview = p.window->previewWindow();
    QVERIFY(preview);
    PreviewSheetBoard* board = preview->board();
    const QColor background = PreviewSheetBoard::backgroundColour();
    // Opened on the empty sheet: white, centred, shrunk to fit.
    QVERIFY(test::colourNear(boardImage(board).pixel(board->rect().center()), Qt::white, 2));

    QTest::mouseClick(p.readyRadio(), Qt::LeftButton);
    verifyState(p, true);
    // A photo written into a folder below the watched one.
    QVERIFY(QDir(watched.path()).mkpath(QStringLiteral("a/b")));
    QVERIFY(QFile::copy(p.state.samplePhotoPath(),
                        watched.filePath(QStringLiteral("a/b/152101201205090001.jpg"))));

    // The tick lays it out and the pass posts the sheet to the board: the
    // first cell (top-left) is no longer the white of an empty sheet.
    QTRY_COMPARE_WITH_TIMEOUT(p.state.pendingSheet.filledCells, 1, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(board->pictureRect().isValid(), 5000);
    const QRect picture = board->pictureRect();
    // 1520 × 1020 on the 198-pixel inner area: about an eighth, centred.
    QVERIFY(picture.width() >= 197);
    QVERIFY(picture.top() > 1 && picture.bottom() < 198);
    // The first cell lies at (50, 50), 350 × 450 on the sheet: about
    // (7, 7)–(52, 65) on the board. Some of it now shows the photo.
    const auto photoShown = [&] {
        const QImage shown = boardImage(board);
        for (int y = picture.top() + 8; y < picture.top() + 60; ++y)
            for (int x = picture.left() + 8; x < picture.left() + 48; ++x) {
                const QRgb pixel = shown.pixel(x, y);
                if (!test::colourNear(pixel, Qt::white, 16) &&
                    !test::colourNear(pixel, background, 16))
                    return true;
            }
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(photoShown(), 5000);
    // The second cell is still empty.
    QVERIFY(test::colourNear(boardImage(board).pixel(picture.left() + 80, picture.top() + 30),
                             Qt::white, 8));
    // Above the picture the board keeps its own colour.
    QVERIFY(test::colourNear(boardImage(board).pixel(100, picture.top() - 3), background, 2));
    QVERIFY(p.printed.isEmpty());
}

void MainWindowTest::printButtonWithEmptySheetSays()
{
    Program p;
    QTemporaryDir watched;
    p.writeConfig(watched.path(), QString());
    p.open();
    QTest::mouseClick(p.readyRadio(), Qt::LeftButton);
    p.previewButton()->click();
    auto* print =
        p.window->previewWindow()->findChild<QPushButton*>(QStringLiteral("打印超级按钮"));
    // Opened while monitoring: enabled at creation.
    QVERIFY(print->isEnabled());
    QTest::mouseClick(print, Qt::LeftButton);
    QCOMPARE(p.messages.size(), 1);
    QCOMPARE(p.messages[0].text, QString::fromUtf16(kNothingToPrintMessage));
    QCOMPARE(p.messages[0].caption, QStringLiteral("错误"));
    QCOMPARE(p.messages[0].icon, QMessageBox::Critical);
    QVERIFY(p.printed.isEmpty());

    // With photos waiting it prints them and says so on the board.
    useTemplateHeadless(p.state, smallTemplate(QStringLiteral("小")));
    QTest::mouseClick(print, Qt::LeftButton); // still nothing laid out
    QCOMPARE(p.messages.size(), 2);
    {
        std::lock_guard<std::recursive_mutex> lock(p.state.layoutLock);
        p.state.pendingSheet.filledCells = 1;
    }
    QTest::mouseClick(print, Qt::LeftButton);
    QCOMPARE(p.messages.size(), 2);
    QCOMPARE(p.printed.size(), 1);
    QCOMPARE(p.printed[0].size(), QSize(1520, 1020));
    QCOMPARE(p.state.pendingSheet.filledCells, 0);
    auto* printedLabel =
        p.window->previewWindow()->findChild<QLabel*>(QStringLiteral("打印完毕标签"));
    QTRY_VERIFY_WITH_TIMEOUT(printedLabel->isVisible(), 5000);
}

void MainWindowTest::folderPickerFillsTheBoxAtOnce()
{
    Program p;
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("照片")));
    const QString chosen = root.filePath(QStringLiteral("照片"));
    p.open();

    QString boxWhileOpen;
    QString configWhileOpen;
    bool pickerSeen = false;
    QTimer::singleShot(0, [&] {
        auto* picker = qobject_cast<FolderPickerWindow*>(QApplication::activeModalWidget());
        if (!picker)
            return;
        pickerSeen = true;
        auto* tree = picker->findChild<QTreeView*>(QStringLiteral("目录框1"));
        const QModelIndex index = static_cast<QFileSystemModel*>(tree->model())->index(chosen);
        Q_EMIT tree->activated(index);
        // Taken over before "选择" is pressed.
        boxWhileOpen = p.folderBox()->text();
        configWhileOpen = p.config(folderKey());
        picker->findChild<QPushButton*>(QStringLiteral("选择按钮"))->click();
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] {
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
    });
    guard.start(10000);
    QTest::mouseClick(p.child<QPushButton>(u"监控目录按钮"), Qt::LeftButton);
    QVERIFY(pickerSeen);
    QCOMPARE(boxWhileOpen, chosen + u'/');
    QCOMPARE(configWhileOpen, chosen + u'/');
    QCOMPARE(p.state.monitorFolder, chosen + u'/');
    QCOMPARE(p.state.currentPhotoPath, chosen + u'/');
}

void MainWindowTest::typedFolderIsWrittenOnEveryChange()
{
    Program p;
    p.open();
    QVERIFY(!QFile::exists(p.state.configPath()));
    QLineEdit* box = p.folderBox();
    box->setFocus();
    QTest::keyClicks(box, QStringLiteral("/tmp/x"));
    QCOMPARE(p.config(folderKey()), QStringLiteral("/tmp/x"));
    QTest::keyClick(box, Qt::Key_Backspace);
    QCOMPARE(p.config(folderKey()), QStringLiteral("/tmp/"));
    QCOMPARE(p.state.monitorFolder, QStringLiteral("/tmp/"));
    box->clear();
    QCOMPARE(p.config(folderKey()), QString());
    QCOMPARE(p.state.currentPhotoPath, QString());
}

void MainWindowTest::templateListChoosesAndLoads()
{
    Program p;
    // Storage order is not alphabetical order.
    const QStringList names = {QStringLiteral("乙二寸"), QStringLiteral("甲一寸"),
                               QStringLiteral("丙护照")};
    for (int i = 0; i < names.size(); ++i) {
        p.state.currentTemplate = smallTemplate(names[i]);
        p.state.currentTemplate.outputCount = i + 1;
        QVERIFY(saveTemplate(p.state, names[i]));
    }
    p.state.currentTemplate = LayoutTemplate{};
    p.writeConfig(QString(), names[0]);
    p.open();
    QCOMPARE(p.templateButton()->text(), names[0]);

    QTest::mouseClick(p.templateButton(), Qt::LeftButton);
    QListWidget* list = p.templateList();
    QVERIFY(list->isVisible());
    QCOMPARE(list->count(), names.size());
    for (int i = 0; i < names.size(); ++i)
        QCOMPARE(list->item(i)->text(), names[i]);
    QVERIFY(list->selectedItems().isEmpty());

    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(1)).center());
    QVERIFY(list->isHidden());
    QCOMPARE(p.templateButton()->text(), names[1]);
    QCOMPARE(p.state.currentTemplate.name, names[1]);
    QCOMPARE(p.state.loadedTemplateName, names[1]);
    QCOMPARE(p.state.currentTemplate.outputCount, 2);
    QVERIFY(p.messages.isEmpty());
    // Not remembered for the next start.
    QCOMPARE(p.config(templateKey()), names[0]);

    // Shown again: filled afresh, nothing selected.
    QTest::mouseClick(p.templateButton(), Qt::LeftButton);
    QCOMPARE(list->count(), names.size());
    QVERIFY(list->selectedItems().isEmpty());
    QVERIFY(list->isVisible());
}

void MainWindowTest::templateListReportsMissingName()
{
    Program p;
    p.state.currentTemplate = smallTemplate(QStringLiteral("甲"));
    QVERIFY(saveTemplate(p.state, QStringLiteral("甲")));
    QVERIFY(saveTemplate(p.state, QStringLiteral("乙")));
    p.state.currentTemplate = LayoutTemplate{};
    p.open();
    QTest::mouseClick(p.templateButton(), Qt::LeftButton);
    QListWidget* list = p.templateList();
    QCOMPARE(list->count(), 2);
    // Gone from the file while the list was shown.
    QVERIFY(deleteTemplate(p.state.storePath(), QStringLiteral("乙")));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(1)).center());
    QCOMPARE(p.templateButton()->text(), QStringLiteral("乙"));
    QCOMPARE(p.messages.size(), 1);
    QCOMPARE(p.messages[0].text, QString::fromUtf16(kTemplateMissingMessage));
    QCOMPARE(p.messages[0].caption, QStringLiteral("错误"));
    QCOMPARE(p.messages[0].icon, QMessageBox::Critical);
    QVERIFY(p.state.currentTemplate.name.isEmpty());
}

void MainWindowTest::settingsPausesAndComesBackPaused()
{
    Program p;
    QTemporaryDir watched;
    p.writeConfig(watched.path(), QString());
    p.open();
    QTest::mouseClick(p.readyRadio(), Qt::LeftButton);
    verifyState(p, true);

    // The button is disabled while monitoring; the handler pauses first.
    p.window->openSettings();
    SettingsWindow* settings = p.window->settingsWindow();
    QVERIFY(settings->isVisible());
    QVERIFY(p.window->isHidden());
    QVERIFY(!p.state.watchHandle);
    QVERIFY(!p.state.windows.monitoring);
    QVERIFY(p.monitoringRadio()->isHidden());
    QCOMPARE(p.state.currentPhotoPath, p.state.samplePhotoPath());

    settings->close();
    QTRY_VERIFY_WITH_TIMEOUT(p.window->isVisible(), 5000);
    QVERIFY(settings->isHidden());
    verifyState(p, false);
    QCOMPARE(p.state.currentPhotoPath, watched.path());

    // From the paused state the button itself opens the settings.
    QTest::mouseClick(p.child<QPushButton>(u"打印设置超级按钮"), Qt::LeftButton);
    QVERIFY(settings->isVisible());
    QVERIFY(p.window->isHidden());
    settings->close();
    QTRY_VERIFY_WITH_TIMEOUT(p.window->isVisible(), 5000);
}

void MainWindowTest::printerAdviceThenSettings()
{
    Program p;
    p.open();
    int settingsWhenAdvised = -1;
    p.dialogs->message = [&](const QString& caption, const QString& text, QMessageBox::Icon icon) {
        settingsWhenAdvised = p.printerSettingsOpened;
        p.messages.append({text, caption, icon});
    };
    QTest::mouseClick(p.child<QPushButton>(u"默认打印机按钮"), Qt::LeftButton);
    QCOMPARE(p.messages.size(), 1);
    QCOMPARE(p.messages[0].text, QStringLiteral("请将需使用的打印机设为默认打印机，并且请设置好打"
                                                "印机属性，这将决定打印照片的质量"));
    QCOMPARE(p.messages[0].caption, QStringLiteral("重要提示"));
    QCOMPARE(p.messages[0].icon, QMessageBox::NoIcon);
    QCOMPARE(settingsWhenAdvised, 0);
    QCOMPARE(p.printerSettingsOpened, 1);
}

// The printer button's context menu leads to the calibration window, which
// stores what the measured lines give (100 / 99.0 and 100 / 100.5) for the
// chosen printer and refuses what lies beyond the limits.
void MainWindowTest::printerButtonMenuCalibrates()
{
    Program p;
    p.open();
    QPushButton* button = p.child<QPushButton>(u"默认打印机按钮");
    QString menuText;
    QString refusal;
    bool saveWhenRefused = true;
    int polls = 0;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (++polls > 250) { // 5 s
            poll.stop();
            if (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
            if (QWidget* popup = QApplication::activePopupWidget())
                popup->close();
            return;
        }
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            if (menu->actions().isEmpty())
                return;
            menuText = menu->actions().first()->text();
            menu->setActiveAction(menu->actions().first());
            QTest::keyClick(menu, Qt::Key_Return);
            return;
        }
        auto* window = qobject_cast<CalibrationWindow*>(QApplication::activeModalWidget());
        if (window == nullptr)
            return;
        poll.stop();
        auto* printer = window->findChild<QComboBox*>(QStringLiteral("校准打印机框"));
        printer->addItem(QStringLiteral("Studio"));
        printer->setCurrentText(QStringLiteral("Studio"));
        window->findChild<QDoubleSpinBox*>(QStringLiteral("横向线长框"))->setValue(99.0);
        window->findChild<QDoubleSpinBox*>(QStringLiteral("纵向线长框"))->setValue(100.5);
        QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("保存校准按钮")),
                          Qt::LeftButton);
        window->findChild<QDoubleSpinBox*>(QStringLiteral("横向线长框"))->setValue(94.0);
        refusal = window->findChild<QLabel*>(QStringLiteral("校准结果标签"))->text();
        saveWhenRefused =
            window->findChild<QPushButton*>(QStringLiteral("保存校准按钮"))->isEnabled();
        window->accept();
    });
    poll.start();
    Q_EMIT button->customContextMenuRequested(QPoint(10, 10));
    poll.stop();

    QCOMPARE(menuText, QStringLiteral("打印机校准…"));
    const std::optional<PrinterCalibration> stored =
        readPrinterCalibration(p.state.configPath(), QStringLiteral("Studio"));
    QVERIFY(stored.has_value());
    QVERIFY(std::abs(stored->scaleX - 100 / 99.0) < 1e-6);
    QVERIFY(std::abs(stored->scaleY - 100 / 100.5) < 1e-6);
    QCOMPARE(stored->offsetXMm, 0.0);
    QVERIFY2(refusal.contains(QStringLiteral("95 %–105 %")), qPrintable(refusal));
    QVERIFY(!saveWhenRefused);
    QVERIFY(p.messages.isEmpty());
}

// 主打印机 and 备用打印机 from the same menu: each choice lands in 配置.ini,
// and the menu shows what is chosen.
void MainWindowTest::printerChoicesAreWrittenToTheConfig()
{
    Program p;
    const auto choices = [&](const QString& name) {
        auto menu = std::make_unique<QMenu>();
        addPrinterChoices(*menu, p.state.programFolder,
                          {QStringLiteral("前台"), QStringLiteral("后台")});
        QMenu* sub = menu->findChild<QMenu*>(name);
        QStringList texts, checked;
        for (QAction* action : sub ? sub->actions() : QList<QAction*>()) {
            texts << action->text();
            if (action->isChecked())
                checked << action->text();
        }
        return std::make_tuple(std::move(menu), sub, texts, checked);
    };
    const QString section = QStringLiteral("打印机");
    {
        auto [menu, main, texts, checked] = choices(QStringLiteral("主打印机菜单"));
        QVERIFY(main);
        QCOMPARE(texts, (QStringList{QStringLiteral("默认打印机"), QStringLiteral("前台"),
                                     QStringLiteral("后台")}));
        QCOMPARE(checked, QStringList{QStringLiteral("默认打印机")});
        main->actions()[2]->trigger();
    }
    QCOMPARE(readConfigText(p.state.configPath(), section, QStringLiteral("主打印机")),
             QStringLiteral("后台"));
    {
        auto [menu, backup, texts, checked] = choices(QStringLiteral("备用打印机菜单"));
        QVERIFY(backup);
        QCOMPARE(texts.first(), QStringLiteral("不用"));
        QCOMPARE(checked, QStringList{QStringLiteral("不用")});
        backup->actions()[1]->trigger();
    }
    QCOMPARE(readConfigText(p.state.configPath(), section, QStringLiteral("备用打印机")),
             QStringLiteral("前台"));
    auto [menu, main, texts, checked] = choices(QStringLiteral("主打印机菜单"));
    QCOMPARE(checked, QStringList{QStringLiteral("后台")});
}

void MainWindowTest::historyButtonOpensOneWindow()
{
    Program p;
    {
        PrintLedger ledger;
        QVERIFY(ledger.open(p.folder.path(), PrintLedger::Mode::Write).ok);
        QVERIFY(ledger.recordPhotoQueued(p.folder.path(), "100001.jpg", 1).ok());
    }
    p.open();
    auto* button = p.child<QPushButton>(u"打印记录按钮");
    QTest::mouseClick(button, Qt::LeftButton);
    HistoryWindow* history = p.window->historyWindow();
    QVERIFY(history);
    QVERIFY(history->isVisible());
    QCOMPARE(history->windowTitle(), QStringLiteral("打印记录"));
    // The ledger beside the program, as the state names it.
    auto* list = history->findChild<QTableWidget*>(QStringLiteral("打印记录列表"));
    QCOMPARE(list->rowCount(), 1);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(p.window->historyWindow(), history);
    QCOMPARE(p.window->findChildren<HistoryWindow*>().size(), 1);
}

void MainWindowTest::reprintWhileMonitoringIsLaidOutAtOnce()
{
    Program p;
    QTemporaryDir watched;
    p.writeConfig(watched.path(), QString());
    p.open();
    useTemplateHeadless(p.state, smallTemplate(QStringLiteral("小")));
    QTest::mouseClick(p.readyRadio(), Qt::LeftButton);
    QVERIFY(QFile::copy(p.state.samplePhotoPath(),
                        watched.filePath(QStringLiteral("152101201205090001.jpg"))));
    QTRY_COMPARE_WITH_TIMEOUT(p.state.pendingSheet.filledCells, 1, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(p.window->monitorTimer()->period(), 0, 10000);

    QTest::mouseClick(p.child<QPushButton>(u"打印记录按钮"), Qt::LeftButton);
    HistoryWindow* history = p.window->historyWindow();
    auto* list = history->findChild<QTableWidget*>(QStringLiteral("打印记录列表"));
    QCOMPARE(list->rowCount(), 1);
    list->selectRow(0);
    history->findChild<QSpinBox*>(QStringLiteral("加印份数框"))->setValue(2);
    QTest::mouseClick(history->findChild<QPushButton*>(QStringLiteral("加印按钮")), Qt::LeftButton);
    // The running monitor takes the two copies into its queue at once, not
    // at its next heartbeat or start, and its timer lays them out: the 2 × 2
    // sheet then holds three copies.
    {
        std::lock_guard<std::mutex> lock(p.state.queueLock);
        QCOMPARE(p.state.monitorQueue.size(), 2);
        QCOMPARE(p.state.monitorQueue.last().copies, 2);
    }
    QTRY_COMPARE_WITH_TIMEOUT(p.state.pendingSheet.filledCells, 3, 5000);
    QVERIFY(p.messages.isEmpty());
    QVERIFY(p.printed.isEmpty());
    QVERIFY(history->findChild<QLabel*>(QStringLiteral("加印提示标签"))
                ->text()
                .endsWith(QStringLiteral("马上排版")));
}

void MainWindowTest::quitWithCopiesOnTheSheetAsks_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("cellsNextTime");
    QTest::newRow("下次继续") << 1 << 1;
    QTest::newRow("放弃") << 2 << 0;
}

void MainWindowTest::quitWithCopiesOnTheSheetAsks()
{
    QFETCH(int, answer);
    QFETCH(int, cellsNextTime);
    Program p;
    QTemporaryDir watched;
    p.writeConfig(watched.path(), QString());
    QStringList asked;
    int offered = -1;
    p.dialogs->choose = [&](const QString&, const QString& text, const QStringList& buttons,
                            int defaultIndex) {
        asked << text + u' ' + buttons.join(u'/');
        offered = defaultIndex;
        return answer;
    };
    p.open();
    useTemplateHeadless(p.state, smallTemplate(QStringLiteral("小")));
    QTest::mouseClick(p.readyRadio(), Qt::LeftButton);
    QVERIFY(QFile::copy(p.state.samplePhotoPath(),
                        watched.filePath(QStringLiteral("152101201205090001.jpg"))));
    QTRY_COMPARE_WITH_TIMEOUT(p.state.pendingSheet.filledCells, 1, 10000);
    QVERIFY(p.window->close());
    QCOMPARE(asked, QStringList{QStringLiteral("还有 1 份未打印： 现在打印/下次继续/放弃")});
    QCOMPARE(offered, 1);
    p.window.reset();

    // The next start of monitoring, in a fresh window of the same program.
    p.state.journal.reset();
    p.state.sheetSurface.clear();
    p.state.pendingSheet = PendingSheet{};
    p.open();
    useTemplateHeadless(p.state, smallTemplate(QStringLiteral("小")));
    QTest::mouseClick(p.readyRadio(), Qt::LeftButton);
    verifyState(p, true);
    QCOMPARE(p.state.pendingSheet.filledCells, cellsNextTime);
    QVERIFY(p.printed.isEmpty());
}

void MainWindowTest::closingStopsEverything()
{
    Program p;
    QTemporaryDir watched;
    p.writeConfig(watched.path(), QString());
    MainWindow* w = p.open();
    QTest::mouseClick(p.readyRadio(), Qt::LeftButton);
    p.previewButton()->click();
    QPointer<PreviewWindow> preview = w->previewWindow();
    QVERIFY(preview);
    QSignalSpy ending(w, &MainWindow::programEnding);
    QVERIFY(w->close());
    QCOMPARE(ending.size(), 1);
    QVERIFY(!p.state.watchHandle);
    QVERIFY(!p.state.windows.previewOpen);
    QVERIFY(!p.state.views.showOnPreviewBoard);
    QTRY_VERIFY_WITH_TIMEOUT(!preview, 5000);
    // Destroying the window afterwards does not end the program twice.
    p.window.reset();
    QCOMPARE(ending.size(), 1);
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
