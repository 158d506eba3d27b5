#include "app/Startup.h"
#include "batch/BatchJob.h"
#include "core/AppState.h"

#include "batch/batchtestutils.h"
#include "testutils.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <future>
#include <mutex>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

using namespace vellora;
using namespace vellora::test::batch;

namespace {

// The batch window as a script: fixed answers, and a log of every call in
// the order the job made them. Calls may come from several job threads.
class ScriptedView : public BatchJobView
{
public:
    QString folder;
    QString name = QStringLiteral("网格");
    QString selection;
    std::function<BatchOutputMode()> mode = [] { return BatchOutputMode::Save; };
    std::function<QString()> choose; // overrides selection when set
    std::function<void(const QString&)> onPhoto;
    std::function<void(const QString&)> onLog; // every log line, as it happens

    QStringList log() const
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_log;
    }
    QList<int> progress() const
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_progress;
    }
    BatchJobReport report() const
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_report;
    }

    QString saveFolder() override { return folder; }
    QString templateName() override { return name; }
    BatchOutputMode outputMode() override { return mode(); }
    void showError(const QString& message) override { add(QStringLiteral("error:") + message); }
    void lockControls() override { add(QStringLiteral("lock")); }
    void unlockControls() override { add(QStringLiteral("unlock")); }
    QString choosePhotoFiles() override
    {
        add(QStringLiteral("choose"));
        return choose ? choose() : selection;
    }
    void showPhotoCount(int count) override
    {
        add(QStringLiteral("count:") + photoCountText(count));
    }
    void showCurrentPhoto(const QString& path) override
    {
        add(QStringLiteral("photo:") + QFileInfo(path).fileName());
        if (onPhoto)
            onPhoto(path);
    }
    void showProgress(int percent) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_progress.append(percent);
    }
    void jobEnded(const BatchJobReport& report) override
    {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_report = report;
        }
        add(QStringLiteral("end"));
    }

private:
    void add(const QString& line)
    {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_log.append(line);
        }
        if (onLog)
            onLog(line);
    }
    mutable std::mutex m_mutex;
    QStringList m_log;
    QList<int> m_progress;
    BatchJobReport m_report;
};

QDateTime fixedClock()
{
    return QDateTime(QDate(2012, 6, 7), QTime(9, 5, 3));
}

// Runs a job on a thread of its own, as the window does, and waits for it.
BatchJobReport runJob(AppState& state, ScriptedView& view, BatchJobContext context = {})
{
    if (!context.jobLock)
        context.jobLock = std::make_shared<std::mutex>();
    if (!context.clock)
        context.clock = fixedClock;
    auto future = std::async(std::launch::async, [&] { return runBatchJob(state, view, context); });
    if (future.wait_for(std::chrono::seconds(120)) != std::future_status::ready)
        qFatal("the batch job did not end within two minutes");
    return future.get();
}

bool surfaceIsBlank(const DrawingSurface& surface)
{
    const QImage image = surface.image().convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if ((image.pixel(x, y) & 0xFFFFFF) != 0xFFFFFF)
                return false;
    return true;
}

} // namespace

class TestBatchJob : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<test::TempProgramFolder> m_program;
    std::unique_ptr<QTemporaryDir> m_photos;
    std::unique_ptr<QTemporaryDir> m_out;
    std::unique_ptr<AppState> m_state;

    // Photo i (0-based) in palette colour i.
    QString photo(int i)
    {
        const QString path = m_photos->filePath(QStringLiteral("p%1.jpg").arg(i));
        if (!QFile::exists(path))
            writeSolidPhoto(path, palette()[i % palette().size()]);
        return path;
    }
    QString photos(int count)
    {
        QStringList paths;
        for (int i = 0; i < count; ++i)
            paths.append(photo(i));
        return paths.join(u';');
    }
    void useTemplate(const LayoutTemplate& t) { useTemplateHeadless(*m_state, t); }
    QString outFolder() const { return m_out->path() + u'/'; }

    // The contents of every written sheet, in sheet-number order.
    QList<QList<int>> writtenSheets(int across, int cells)
    {
        QList<QList<int>> sheets;
        for (const QString& file : sheetFiles(m_out->path()))
            sheets.append(cellContents(readSheet(file), across, cells));
        return sheets;
    }

private Q_SLOTS:
    void init()
    {
        m_program = std::make_unique<test::TempProgramFolder>();
        m_photos = std::make_unique<QTemporaryDir>();
        m_out = std::make_unique<QTemporaryDir>();
        m_state = std::make_unique<AppState>();
        initialiseAppState(*m_state, m_program->path());
        m_state->windows.batchOpen = true;
        m_state->batchControl.jobLock = std::make_shared<std::mutex>();
    }

    void cleanup()
    {
        m_state.reset();
        m_out.reset();
        m_photos.reset();
        m_program.reset();
    }

    void refusesBadSettings_data()
    {
        QTest::addColumn<QString>("folder"); // "@" stands for the output folder
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("message");
        const QString folderMessage = QString::fromUtf16(kSaveFolderMissingMessage);
        QTest::newRow("empty folder") << QString() << QStringLiteral("网格") << folderMessage;
        QTest::newRow("no trailing separator")
            << QStringLiteral("@") << QStringLiteral("网格") << folderMessage;
        QTest::newRow("missing folder")
            << QStringLiteral("@/nowhere/") << QStringLiteral("网格") << folderMessage;
        QTest::newRow("a file, not a folder")
            << QStringLiteral("@/file.txt/") << QStringLiteral("网格") << folderMessage;
        QTest::newRow("no template")
            << QStringLiteral("@/") << QString() << QString::fromUtf16(kTemplateNotChosenMessage);
    }

    // A refused job shows its one message and touches nothing: the controls
    // are never locked, the dialog never shown, the pending sheet kept.
    void refusesBadSettings()
    {
        QFETCH(QString, folder);
        QFETCH(QString, name);
        QFETCH(QString, message);
        QFile file(m_out->filePath(QStringLiteral("file.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        useTemplate(gridTemplate(4, 2, 1));
        m_state->pendingSheet.filledCells = 3;

        ScriptedView view;
        view.folder = folder.replace(u'@', m_out->path());
        view.name = name;
        view.selection = photos(1);
        const BatchJobReport report = runJob(*m_state, view);
        QCOMPARE(view.log(),
                 QStringList({QStringLiteral("error:") + message, QStringLiteral("end")}));
        QVERIFY(report.refused);
        QCOMPARE(m_state->pendingSheet.filledCells, 3);
        QVERIFY(sheetFiles(m_out->path()).isEmpty());
    }

    void acceptsEitherTrailingSeparator_data()
    {
        QTest::addColumn<QString>("separator");
        QTest::newRow("slash") << QStringLiteral("/");
        QTest::newRow("backslash") << QStringLiteral("\\");
    }
    void acceptsEitherTrailingSeparator()
    {
        QFETCH(QString, separator);
        useTemplate(gridTemplate(4, 2, 2));
        ScriptedView view;
        view.folder = m_out->path() + separator;
        view.selection = photos(1);
        const BatchJobReport report = runJob(*m_state, view);
        QVERIFY(!report.refused);
        QCOMPARE(report.sheetsFailed, 0);
        const QStringList files = sheetFiles(m_out->path());
        QCOMPARE(files.size(), 1);
        QCOMPARE(QFileInfo(files[0]).fileName(), QStringLiteral("2012年6月7日9时5分3秒_1.jpg"));
    }

    // Cancelling the dialog ends the job through its end steps: nothing is
    // output, the controls come back, and whatever was pending is gone.
    void cancelledDialog()
    {
        useTemplate(gridTemplate(4, 2, 1));
        QImage leftover(30, 30, QImage::Format_RGB32);
        leftover.fill(Qt::red);
        m_state->sheetSurface.drawImage(leftover, 0, 0);
        QVERIFY(!surfaceIsBlank(m_state->sheetSurface));
        m_state->pendingSheet.filledCells = 5;
        m_state->pendingSheet.copiesLeft = 2;
        m_state->batchControl.stopRequested = true;
        ScriptedView view;
        view.folder = outFolder();
        view.selection = QString();
        const BatchJobReport report = runJob(*m_state, view);
        QCOMPARE(view.log(), QStringList({QStringLiteral("lock"), QStringLiteral("choose"),
                                          QStringLiteral("unlock"), QStringLiteral("end")}));
        QVERIFY(report.cancelled);
        QVERIFY(sheetFiles(m_out->path()).isEmpty());
        QVERIFY(surfaceIsBlank(m_state->sheetSurface));
        QCOMPARE(m_state->pendingSheet.filledCells, 0);
        QCOMPARE(m_state->pendingSheet.copiesLeft, 0);
        QVERIFY(!m_state->batchControl.stopRequested.load());
    }

    // How copies flow over sheets, checked cell by cell on the saved JPEGs.
    void sheetsFromCopies_data()
    {
        QTest::addColumn<int>("photoCount");
        QTest::addColumn<int>("copies");
        QTest::addColumn<QList<QList<int>>>("sheets");
        const int W = -1;
        QTest::newRow("fewer copies than a sheet: one sheet at the end")
            << 1 << 3 << QList<QList<int>>{{0, 0, 0, W, W, W, W, W}};
        QTest::newRow("exactly two sheets, no empty third")
            << 4 << 4 << QList<QList<int>>{{0, 0, 0, 0, 1, 1, 1, 1}, {2, 2, 2, 2, 3, 3, 3, 3}};
        QTest::newRow("leftover copies begin the next sheet")
            << 3 << 3 << QList<QList<int>>{{0, 0, 0, 1, 1, 1, 2, 2}, {2, W, W, W, W, W, W, W}};
        QTest::newRow("one photo, one full sheet")
            << 1 << 8 << QList<QList<int>>{{0, 0, 0, 0, 0, 0, 0, 0}};
        // More copies than a sheet holds (a stored count above the cap) go on
        // as many sheets as they need; none is dropped.
        QTest::newRow("copies above the capacity") << 2 << 20
                                                   << QList<QList<int>>{{0, 0, 0, 0, 0, 0, 0, 0},
                                                                        {0, 0, 0, 0, 0, 0, 0, 0},
                                                                        {0, 0, 0, 0, 1, 1, 1, 1},
                                                                        {1, 1, 1, 1, 1, 1, 1, 1},
                                                                        {1, 1, 1, 1, 1, 1, 1, 1}};
    }
    void sheetsFromCopies()
    {
        QFETCH(int, photoCount);
        QFETCH(int, copies);
        QFETCH(QList<QList<int>>, sheets);
        useTemplate(gridTemplate(4, 2, copies));
        ScriptedView view;
        view.folder = outFolder();
        view.selection = photos(photoCount);
        const BatchJobReport report = runJob(*m_state, view);
        QCOMPARE(writtenSheets(4, 8), sheets);
        QCOMPARE(report.sheetsOutput, int(sheets.size()));
        QCOMPARE(report.sheetsFailed, 0);
        QVERIFY(batchFailureMessage(report).isEmpty());
        QVERIFY(surfaceIsBlank(m_state->sheetSurface));
        const QStringList log = view.log();
        QCOMPARE(log.first(), QStringLiteral("lock"));
        QVERIFY(log.contains(QStringLiteral("count:照片数量：%1张").arg(photoCount)));
        QCOMPARE(log.mid(log.size() - 2),
                 QStringList({QStringLiteral("unlock"), QStringLiteral("end")}));
    }

    // 65536 × 32768 cells is 2^31, one past what 32 bits hold: the layout pass
    // counts it as 2147483647 cells, and the job must too. With no copies to
    // place, no cell is filled, so no sheet is ever full and none is output.
    void capacityBeyond32BitsIsNeverFilledByNothing()
    {
        LayoutTemplate t = gridTemplate(1, 1, 0);
        t.size1.countAcross = 65536;
        t.size1.countDown = 32768;
        useTemplate(t);
        ScriptedView view;
        view.folder = outFolder();
        view.selection = photos(2);
        const BatchJobReport report = runJob(*m_state, view);
        QCOMPARE(report.sheetsOutput, 0);
        QVERIFY(sheetFiles(m_out->path()).isEmpty());
    }

    // In two-size mode every photo fills a sheet of its own, both blocks.
    void twoSizeOneSheetPerPhoto()
    {
        LayoutTemplate t = gridTemplate(4, 1, 3);
        t.twoSize = 1;
        t.gap = 10;
        t.size2 = PhotoSizeSpec{30, 30, 2, 1, 10, 0};
        t.paperHeight = 100;
        useTemplate(t);
        ScriptedView view;
        view.folder = outFolder();
        view.selection = photos(3);
        const BatchJobReport report = runJob(*m_state, view);
        const QStringList files = sheetFiles(m_out->path());
        QCOMPARE(files.size(), 3);
        QCOMPARE(report.sheetsOutput, 3);
        for (int i = 0; i < 3; ++i) {
            const QImage sheet = readSheet(files[i]);
            QCOMPARE(cellContents(sheet, 4, 4), QList<int>({i, i, i, i}));
            // Size-2 cells start at 5 + 40 + 10 = 55, 30 wide, 10 apart.
            QVERIFY2(near(sheet.pixel(20, 70), palette()[i]), qPrintable(files[i]));
            QVERIFY2(near(sheet.pixel(60, 70), palette()[i]), qPrintable(files[i]));
        }
    }

    void progressTruncates()
    {
        useTemplate(gridTemplate(4, 2, 1));
        ScriptedView view;
        view.folder = outFolder();
        view.selection = photos(3);
        runJob(*m_state, view);
        QCOMPARE(view.progress(), QList<int>({33, 66, 100}));
        QVERIFY(view.log().contains(QStringLiteral("photo:p2.jpg")));
    }

    // A stop is looked at after each photo: the photo is finished (its full
    // sheet output, its leftovers placed); a partial sheet is then dropped,
    // unless the photo was the last one.
    void stopAfterPhoto_data()
    {
        QTest::addColumn<int>("across");
        QTest::addColumn<int>("down");
        QTest::addColumn<int>("copies");
        QTest::addColumn<int>("photoCount");
        QTest::addColumn<int>("stopAt"); // 1-based
        QTest::addColumn<QList<QList<int>>>("sheets");
        const int W = -1;
        QTest::newRow("before the last photo: the partial sheet is dropped")
            << 4 << 2 << 5 << 3 << 2 << QList<QList<int>>{{0, 0, 0, 0, 0, 1, 1, 1}};
        QTest::newRow("at the last photo: output as usual")
            << 4 << 2 << 5 << 2 << 2
            << QList<QList<int>>{{0, 0, 0, 0, 0, 1, 1, 1}, {1, 1, W, W, W, W, W, W}};
        // 50 copies on sheets of one cell: the first sheet, then the fresh
        // sheet its leftovers began; the stop holds between further sheets.
        QTest::newRow("copies overflowing onto further sheets")
            << 1 << 1 << 50 << 2 << 1 << QList<QList<int>>{{0}, {0}};
    }
    void stopAfterPhoto()
    {
        QFETCH(int, across);
        QFETCH(int, down);
        QFETCH(int, copies);
        QFETCH(int, photoCount);
        QFETCH(int, stopAt);
        QFETCH(QList<QList<int>>, sheets);
        useTemplate(gridTemplate(across, down, copies));
        ScriptedView view;
        view.folder = outFolder();
        view.selection = photos(photoCount);
        const QString stopPhoto = photo(stopAt - 1);
        view.onPhoto = [this, stopPhoto](const QString& path) {
            if (path == stopPhoto)
                m_state->batchControl.stopRequested = true;
        };
        const BatchJobReport report = runJob(*m_state, view);
        QCOMPARE(writtenSheets(across, across * down), sheets);
        QCOMPARE(report.photosDone, stopAt);
        QCOMPARE(report.stopped, stopAt < photoCount);
        QVERIFY(!view.log().contains(QStringLiteral("photo:p%1.jpg").arg(stopAt)));
        QVERIFY(!m_state->batchControl.stopRequested.load());
        QVERIFY(surfaceIsBlank(m_state->sheetSurface));
    }

    // The mode is read for every sheet; file numbers count saved sheets only.
    void modeToggledDuringJob()
    {
        useTemplate(gridTemplate(4, 2, 8));
        ScriptedView view;
        view.folder = outFolder();
        view.selection = photos(4);
        std::atomic<int> asked{0};
        view.mode = [&asked] {
            return ++asked == 2 ? BatchOutputMode::Print : BatchOutputMode::Save;
        };
        QList<BatchSheetOutcome> outcomes;
        BatchJobContext context;
        context.sheetDone = [&outcomes](const BatchSheetOutcome& o) { outcomes.append(o); };
        const BatchJobReport report = runJob(*m_state, view, context);
        QCOMPARE(asked.load(), 4);
        QCOMPARE(report.sheetsOutput, 4);
        QCOMPARE(outcomes.size(), 4);
        QCOMPARE(outcomes[1].mode, BatchOutputMode::Print);
        const QStringList files = sheetFiles(m_out->path());
        QCOMPARE(files.size(), 3);
        QStringList names;
        for (const QString& f : files)
            names.append(QFileInfo(f).fileName().section(u'_', 1));
        QCOMPARE(names, QStringList({QStringLiteral("1.jpg"), QStringLiteral("2.jpg"),
                                     QStringLiteral("3.jpg")}));
        QCOMPARE(writtenSheets(4, 8), (QList<QList<int>>{{0, 0, 0, 0, 0, 0, 0, 0},
                                                         {2, 2, 2, 2, 2, 2, 2, 2},
                                                         {3, 3, 3, 3, 3, 3, 3, 3}}));
    }

    // Paths that name no photo (an unreadable file, or the halves of a name
    // with ";" in it) are not laid out: they are counted and told at the end,
    // and the job goes on; an unreadable last photo still closes the sheet.
    void unreadablePhotosAreCountedNotLaidOut()
    {
        useTemplate(gridTemplate(4, 2, 1));
        const QString broken = m_photos->filePath(QStringLiteral("broken.jpg"));
        QFile file(broken);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("\xFF\xD8 this is not a JPEG after all");
        file.close();
        const QString semicolon =
            writeSolidPhoto(m_photos->filePath(QStringLiteral("x;y.jpg")), palette()[5]);
        ScriptedView view;
        view.folder = outFolder();
        view.selection = QStringList({photo(0), semicolon, photo(1), broken}).join(u';');
        const BatchJobReport report = runJob(*m_state, view);
        QCOMPARE(report.photos, 5);
        QCOMPARE(report.photosUnreadable, 3);
        QVERIFY(view.log().contains(QStringLiteral("count:照片数量：5张")));
        QVERIFY(view.log().contains(QStringLiteral("photo:x")));
        QCOMPARE(writtenSheets(4, 8), (QList<QList<int>>{{0, 1, -1, -1, -1, -1, -1, -1}}));
        QCOMPARE(batchFailureMessage(report), QStringLiteral("3 张照片无法读取"));
    }

    // A FIFO or a device named like a photo would hold the job for ever (and
    // a stop with it): counted unreadable, and the job goes on.
    void photoThatIsNoFileIsUnreadable_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("fifo") << QStringLiteral("fifo");
        QTest::newRow("link to a device") << QStringLiteral("device");
    }

    void photoThatIsNoFileIsUnreadable()
    {
        QFETCH(QString, kind);
        useTemplate(gridTemplate(4, 2, 1));
        const QString odd = m_photos->filePath(QStringLiteral("photo.jpg"));
        const QByteArray name = QFile::encodeName(odd);
        if (kind == u"fifo")
            QVERIFY(mkfifo(name.constData(), 0600) == 0);
        else
            QVERIFY(symlink("/dev/zero", name.constData()) == 0);
        ScriptedView view;
        view.folder = outFolder();
        view.selection = QStringList({photo(0), odd, photo(1)}).join(u';');
        const BatchJobReport report = runJob(*m_state, view);
        QCOMPARE(report.photosDone, 3);
        QCOMPARE(report.photosUnreadable, 1);
        QCOMPARE(writtenSheets(4, 8), (QList<QList<int>>{{0, 1, -1, -1, -1, -1, -1, -1}}));
    }

    // Sheets that cannot be written are counted and told once at the end.
    void unwritableFolderIsReported()
    {
        useTemplate(gridTemplate(4, 2, 4));
        QString folder;
        if (::geteuid() == 0) {
            // Permissions do not stop root; nothing can be created in /proc.
            folder = QStringLiteral("/proc/");
        } else {
            folder = outFolder();
            QFile::setPermissions(m_out->path(), QFile::ReadOwner | QFile::ExeOwner);
        }
        ScriptedView view;
        view.folder = folder;
        view.selection = photos(3);
        QList<BatchSheetOutcome> outcomes;
        BatchJobContext context;
        context.sheetDone = [&outcomes](const BatchSheetOutcome& o) { outcomes.append(o); };
        const BatchJobReport report = runJob(*m_state, view, context);
        QFile::setPermissions(m_out->path(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(report.photosDone, 3);
        QCOMPARE(report.sheetsOutput, 2);
        QCOMPARE(report.sheetsFailed, 2);
        QCOMPARE(outcomes.size(), 2);
        QVERIFY(!outcomes[0].ok);
        QVERIFY(!outcomes[0].error.isEmpty());
        QCOMPARE(batchFailureMessage(report), QStringLiteral("有 2 张排版未能保存或打印"));
        QVERIFY(sheetFiles(m_out->path()).isEmpty());
        QCOMPARE(view.log().last(), QStringLiteral("end"));
    }

    // No temporary sheet file is written or removed: a user's file of the
    // old fixed name stays as it was.
    void userFileOfTheOldTemporaryNameStays()
    {
        useTemplate(gridTemplate(4, 2, 8));
        QFile user(m_out->filePath(QStringLiteral("sheetbuf318642")));
        QVERIFY(user.open(QIODevice::WriteOnly));
        user.write("the user's own file");
        user.close();
        ScriptedView view;
        view.folder = outFolder();
        view.selection = photos(2);
        runJob(*m_state, view);
        QCOMPARE(sheetFiles(m_out->path()).size(), 2);
        QVERIFY(user.open(QIODevice::ReadOnly));
        QCOMPARE(user.readAll(), QByteArray("the user's own file"));
    }

    // A second job started before the first locked the controls passes its
    // checks, locks, and then waits at the job lock: its dialog comes only
    // after the first job has ended.
    void twoJobsAreSerialised()
    {
        useTemplate(gridTemplate(4, 2, 2));
        QTemporaryDir secondOut;
        auto jobLock = std::make_shared<std::mutex>();

        std::mutex gateMutex;
        std::condition_variable gateChanged;
        bool firstMayChoose = false;
        bool firstChoosing = false;

        ScriptedView first;
        first.folder = outFolder();
        first.choose = [&] {
            std::unique_lock<std::mutex> guard(gateMutex);
            firstChoosing = true;
            gateChanged.notify_all();
            gateChanged.wait(guard, [&] { return firstMayChoose; });
            return photos(1);
        };
        ScriptedView second;
        second.folder = secondOut.path() + u'/';
        second.selection = photo(1);

        QStringList order;
        std::mutex orderMutex;
        first.onLog = [&](const QString& line) {
            std::lock_guard<std::mutex> guard(orderMutex);
            order.append(QStringLiteral("1:") + line);
        };
        second.onLog = [&](const QString& line) {
            std::lock_guard<std::mutex> guard(orderMutex);
            order.append(QStringLiteral("2:") + line);
        };

        BatchJobContext context1;
        context1.jobLock = jobLock;
        context1.clock = fixedClock;
        context1.sheetDone = [&](const BatchSheetOutcome&) {
            std::lock_guard<std::mutex> guard(orderMutex);
            order.append(QStringLiteral("1:sheet"));
        };
        BatchJobContext context2 = context1;
        context2.sheetDone = {};
        auto job1 =
            std::async(std::launch::async, [&] { return runBatchJob(*m_state, first, context1); });
        {
            std::unique_lock<std::mutex> guard(gateMutex);
            QVERIFY(gateChanged.wait_for(guard, std::chrono::seconds(30),
                                         [&] { return firstChoosing; }));
        }
        auto job2 =
            std::async(std::launch::async, [&] { return runBatchJob(*m_state, second, context2); });
        QTRY_VERIFY_WITH_TIMEOUT(second.log().contains(QStringLiteral("lock")), 10000);
        QTest::qWait(200);
        QCOMPARE(second.log(), QStringList({QStringLiteral("lock")}));
        QCOMPARE(m_state->batchControl.runningJobs.load(), 2);
        {
            std::lock_guard<std::mutex> guard(gateMutex);
            firstMayChoose = true;
        }
        gateChanged.notify_all();
        if (job1.wait_for(std::chrono::seconds(60)) != std::future_status::ready ||
            job2.wait_for(std::chrono::seconds(60)) != std::future_status::ready)
            qFatal("the serialised jobs did not end");
        QCOMPARE(job1.get().sheetsOutput, 1);
        QCOMPARE(job2.get().sheetsOutput, 1);
        QCOMPARE(m_state->batchControl.runningJobs.load(), 0);

        // The first job lets go of the lock after its last sheet.
        const qsizetype firstSheet = order.indexOf(QStringLiteral("1:sheet"));
        const qsizetype secondChoose = order.indexOf(QStringLiteral("2:choose"));
        QVERIFY2(firstSheet >= 0 && secondChoose > firstSheet, qPrintable(order.join(u' ')));
        QCOMPARE(cellContents(readSheet(sheetFiles(m_out->path()).value(0)), 4, 8),
                 QList<int>({0, 0, -1, -1, -1, -1, -1, -1}));
        QCOMPARE(cellContents(readSheet(sheetFiles(secondOut.path()).value(0)), 4, 8),
                 QList<int>({1, 1, -1, -1, -1, -1, -1, -1}));
    }

    // Many small photos in one job: every sheet full but the last, in order.
    void manyPhotos()
    {
        constexpr int kPhotos = 500;
        constexpr int kSide = 16; // one JPEG block per cell: clean colours
        LayoutTemplate t;
        t.name = QStringLiteral("小");
        t.size1 = PhotoSizeSpec{kSide, kSide, 8, 8, 0, 0};
        t.outputCount = 1;
        t.paperWidth = 8 * kSide;
        t.paperHeight = 8 * kSide;
        t.noNumber = 1;
        useTemplate(t);
        QStringList paths;
        for (int i = 0; i < kPhotos; ++i)
            paths.append(writeSolidPhoto(m_photos->filePath(QStringLiteral("m%1.jpg").arg(i)),
                                         palette()[i % palette().size()], 8));
        ScriptedView view;
        view.folder = outFolder();
        view.selection = paths.join(u';');
        const BatchJobReport report = runJob(*m_state, view);
        QCOMPARE(report.photosDone, kPhotos);
        QCOMPARE(report.sheetsFailed, 0);
        const QStringList files = sheetFiles(m_out->path());
        QCOMPARE(files.size(), 8); // 7 × 64 + 52
        QCOMPARE(view.progress().size(), kPhotos);
        QCOMPARE(view.progress().last(), 100);
        const QImage last = readSheet(files.last());
        for (int k = 1; k <= 64; ++k) {
            const QPoint centre(((k - 1) % 8) * kSide + kSide / 2,
                                ((k - 1) / 8) * kSide + kSide / 2);
            const int photoIndex = 7 * 64 + k - 1;
            const QColor expected =
                photoIndex < kPhotos ? palette()[photoIndex % palette().size()] : QColor(Qt::white);
            QVERIFY2(near(last.pixel(centre), expected),
                     qPrintable(QStringLiteral("cell %1").arg(k)));
        }
    }

    // vellora-cli layout: the same job without a window. Exit status tells
    // failures and wrong arguments; an interrupt stops after the current photo.
    void commandLine()
    {
        const QString cli = QStringLiteral(VELLORA_PROGRAM_DIR "/vellora-cli");
        if (!QFileInfo(cli).isExecutable())
            QSKIP("vellora-cli is not built");
        const QString json = m_photos->filePath(QStringLiteral("grid.json"));
        {
            QFile file(json);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QJsonDocument(templateToJson(gridTemplate(4, 2, 3))).toJson());
        }
        const auto run = [&](const QStringList& args, QByteArray* err = nullptr) {
            QProcess process;
            process.start(cli, QStringList{QStringLiteral("layout")} + args);
            if (!process.waitForFinished(120000))
                return -1;
            if (err)
                *err = process.readAllStandardError();
            return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
        };
        const QStringList three = photos(3).split(u';');
        const QStringList jsonArgs{QStringLiteral("--template-json"), json};
        const QString out = QStringLiteral("--out");
        QByteArray err;
        const int saved = run(jsonArgs + QStringList{out, m_out->path()} + three, &err);
        QCOMPARE(saved, 0);
        QCOMPARE(writtenSheets(4, 8),
                 (QList<QList<int>>{{0, 0, 0, 1, 1, 1, 2, 2}, {2, -1, -1, -1, -1, -1, -1, -1}}));
        QCOMPARE(err.count("sheet "), 2);

        const int unwritable =
            run(jsonArgs + QStringList{out, QStringLiteral("/proc")} + three, &err);
        QCOMPARE(unwritable, 1);
        QVERIFY2(err.contains("有 2 张排版未能保存或打印"), err.constData());
        const QString text = m_photos->filePath(QStringLiteral("note.jpg"));
        {
            QFile note(text);
            QVERIFY(note.open(QIODevice::WriteOnly) && note.write("not a photo") > 0);
        }
        QCOMPARE(run(jsonArgs + QStringList{out, m_out->path(), three[0], text}, &err), 1);
        QVERIFY2(err.contains("1 of 2 photos laid out, 1 unreadable") &&
                     err.contains("1 张照片无法读取"),
                 err.constData());
        const int noDestination = run(jsonArgs + three);
        QCOMPARE(noDestination, 2);
        const int noPhotos = run(jsonArgs + QStringList{out, m_out->path()});
        QCOMPARE(noPhotos, 2);
        const QStringList missingStore{QStringLiteral("--template"), QStringLiteral("无此规格"),
                                       QStringLiteral("--store"),
                                       m_photos->filePath(QStringLiteral("none.edb"))};
        const int noTemplate = run(missingStore + QStringList{out, m_out->path()} + three);
        QCOMPARE(noTemplate, 1);

        // Interrupted once the first sheet is out: fewer sheets than photos.
        QTemporaryDir stopOut;
        QStringList many;
        for (int i = 0; i < 400; ++i)
            many.append(three[i % 3]);
        QProcess process;
        process.start(cli, QStringList{QStringLiteral("layout"), QStringLiteral("--template-json"),
                                       json, QStringLiteral("--out"), stopOut.path()} +
                               many);
        QByteArray progress;
        QTRY_VERIFY_WITH_TIMEOUT((progress += process.readAllStandardError()).contains("sheet 1 "),
                                 60000);
        ::kill(pid_t(process.processId()), SIGINT);
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 130);
        const qsizetype sheets = sheetFiles(stopOut.path()).size();
        QVERIFY2(sheets >= 1 && sheets < 150, qPrintable(QString::number(sheets)));
    }

    // Print mode on the CUPS PDF queue: one job, one PDF, per sheet.
    void printModeOnePdfPerSheet()
    {
        QString why;
        const QString pdfFolder = vellora::test::ensureTestPrinter(&why);
        if (pdfFolder.isEmpty())
            VELLORA_SKIP_WITHOUT_PRINTER(why);
        QVERIFY(QFileInfo(pdfFolder).isDir());
        const QSet<QString> before = [&] {
            const QStringList names = QDir(pdfFolder).entryList({QStringLiteral("*.pdf")});
            return QSet<QString>(names.begin(), names.end());
        }();

        useTemplate(gridTemplate(4, 2, 5));
        ScriptedView view;
        view.folder = outFolder();
        view.mode = [] { return BatchOutputMode::Print; };
        view.selection = photos(2);
        const BatchJobReport report = runJob(*m_state, view);
        QCOMPARE(report.sheetsOutput, 2);
        QCOMPARE(report.sheetsFailed, 0);
        QVERIFY(sheetFiles(m_out->path()).isEmpty());

        // Other programs may print to the same queue: ours are the PDFs whose
        // page shows the second photo's colour.
        const auto ours = [&] {
            int count = 0;
            const QStringList names = QDir(pdfFolder).entryList({QStringLiteral("*.pdf")});
            for (const QString& name : names) {
                if (before.contains(name))
                    continue;
                const QString png = m_out->filePath(QStringLiteral("page"));
                QProcess render;
                render.start(QStringLiteral("pdftoppm"),
                             {QStringLiteral("-r"), QStringLiteral("100"), QStringLiteral("-png"),
                              QStringLiteral("-singlefile"), QDir(pdfFolder).filePath(name), png});
                if (!render.waitForFinished(30000) || render.exitCode() != 0)
                    continue;
                const QImage page =
                    QImage(png + QStringLiteral(".png")).convertToFormat(QImage::Format_RGB32);
                bool found = false;
                for (int y = 0; !found && y < page.height(); y += 2)
                    for (int x = 0; !found && x < page.width(); x += 2)
                        found = near(page.pixel(x, y), palette()[1], 24);
                count += found;
            }
            return count;
        };
        QTRY_COMPARE_WITH_TIMEOUT(ours(), 2, 60000);
    }
};

QTEST_MAIN(TestBatchJob)
#include "tst_batchjob.moc"
