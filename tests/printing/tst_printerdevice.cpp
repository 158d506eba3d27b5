// The hand-off that prints a sheet at most once, and what a restart learns of
// a recorded job, against the tests' PDF queue and scratch queues of this
// process (a stopped one keeps its jobs pending).
#include "printing/PrinterDevice.h"
#include "testutils.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <arpa/inet.h>
#include <cups/cups.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace vellora;
using namespace vellora::test;
using Fate = JobReconciliation::Fate;

Q_DECLARE_METATYPE(JobReconciliation::Fate)

namespace {

// A small one-page PDF of our own writing, for jobs submitted with lp.
QString writeSamplePdf(const QTemporaryDir& dir)
{
    const QString path = dir.filePath(QStringLiteral("sheet.pdf"));
    QFile file(path);
    const QPageLayout page(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF());
    const QImage picture = markedImage(40, 40);
    if (!file.open(QIODevice::WriteOnly) ||
        !writeSheetPdf(file, picture.size(), deflatedSheetPixels(picture), page,
                       QRectF(72, 72, 72, 72), QStringLiteral("t")))
        return {};
    return path;
}

// lp's job id ("request id is Q-123 (1 file(s))"), 0 when it failed.
int submit(const QString& queue, const QString& pdf, const QStringList& options = {})
{
    int code = 0;
    const QString said = QString::fromUtf8(
        runTool(QStringLiteral("lp"),
                QStringList{QStringLiteral("-d"), queue} + options + QStringList{pdf}, &code));
    const QRegularExpressionMatch id =
        QRegularExpression(QStringLiteral("-(\\d+) \\(")).match(said);
    return code == 0 && id.hasMatch() ? id.captured(1).toInt() : 0;
}

bool waitForJobState(int jobId, const QString& state, int timeoutMs = 20000)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        if (jobAttribute(jobId, "job-state") == state)
            return true;
        QThread::msleep(50);
    }
    return false;
}

} // namespace

class TestPrinterDevice : public QObject
{
    Q_OBJECT

private:
    QString m_pdfFolder;
    QTemporaryDir m_dir;
    QString m_pdf;

private Q_SLOTS:
    void initTestCase();
    void recordedBeforeTheDocument();
    void refusedRecordCancelsTheJob();
    void reconcile_data();
    void reconcile();
    void hungSchedulerCannotTell();
    void troubleInTheOperatorsWords_data();
    void troubleInTheOperatorsWords();
};

void TestPrinterDevice::initTestCase()
{
    QString why;
    m_pdfFolder = ensureTestPrinter(&why);
    if (m_pdfFolder.isEmpty())
        VELLORA_SKIP_WITHOUT_PRINTER(why);
    m_pdf = writeSamplePdf(m_dir);
    QVERIFY(!m_pdf.isEmpty());
}

void TestPrinterDevice::recordedBeforeTheDocument()
{
    PrinterDevice device;
    QCOMPARE(device.startJob({}), PrinterDevice::Start::Started);
    device.drawPicture(markedImage(200, 300), 0, 0, 200, 300);
    int recorded = 0;
    QString reasonsWhenRecorded;
    const PrinterDevice::HandOff handed = device.handOff([&](int jobId) {
        recorded = jobId;
        reasonsWhenRecorded = jobAttribute(jobId, "job-state-reasons");
        return true;
    });
    QCOMPARE(handed, PrinterDevice::HandOff::Sent);
    QVERIFY(recorded > 0);
    QCOMPARE(device.jobId(), recorded);
    // The job existed, without its document, while the id was recorded.
    QVERIFY2(reasonsWhenRecorded.contains(QStringLiteral("job-incoming")),
             qPrintable(reasonsWhenRecorded));
    const QString pdf = waitForJobPdf(m_pdfFolder, recorded);
    QVERIFY(!pdf.isEmpty());
    QCOMPARE(pdfDocumentInfo(pdf).pages, 1);
}

void TestPrinterDevice::refusedRecordCancelsTheJob()
{
    PrinterDevice device;
    QCOMPARE(device.startJob({}), PrinterDevice::Start::Started);
    device.drawPicture(markedImage(200, 300), 0, 0, 200, 300);
    int created = 0;
    const PrinterDevice::HandOff handed = device.handOff([&](int jobId) {
        created = jobId;
        return false;
    });
    QCOMPARE(handed, PrinterDevice::HandOff::NotSent);
    QVERIFY(created > 0);
    QCOMPARE(jobAttribute(created, "job-state"), QStringLiteral("canceled"));
    QVERIFY(waitForJobPdf(m_pdfFolder, created, 1500).isEmpty());
}

void TestPrinterDevice::reconcile_data()
{
    QTest::addColumn<QString>("job");
    QTest::addColumn<bool>("documentSent");
    QTest::addColumn<Fate>("fate");
    QTest::addColumn<QString>("stateAfter"); // empty: not checked
    QTest::newRow("held by job-hold-until")
        << "held" << true << Fate::AlreadyThere << "pending-held";
    QTest::newRow("pending on a stopped queue")
        << "pending" << true << Fate::AlreadyThere << "pending";
    QTest::newRow("sent, though not recorded so")
        << "pending" << false << Fate::AlreadyThere << "pending";
    QTest::newRow("cancelled before printing") << "cancelled" << true << Fate::SendAgain << "";
    QTest::newRow("completed") << "completed" << true << Fate::Printed << "";
    QTest::newRow("created, document never sent")
        << "incoming" << false << Fate::SendAgain << "canceled";
    QTest::newRow("never existed, never sent") << "unknown" << false << Fate::SendAgain << "";
    QTest::newRow("never existed, yet sent") << "unknown" << true << Fate::Failed << "";
    QTest::newRow("another queue's job") << "elsewhere" << true << Fate::Failed << "";
}

void TestPrinterDevice::reconcile()
{
    QFETCH(QString, job);
    QFETCH(bool, documentSent);
    QFETCH(Fate, fate);
    QFETCH(QString, stateAfter);
    ScratchQueue::Options options;
    options.stopped = true;
    ScratchQueue stopped(options);
    QVERIFY(stopped.isValid());
    QString queue = stopped.name();
    int id = 0;
    // A held job on the tests' own queue would outlive the test otherwise.
    const auto cancelHeld = qScopeGuard([&] {
        if (job == u"held" && id > 0)
            runTool(QStringLiteral("cancel"), {QString::number(id)});
    });
    if (job == u"held") {
        id = submit(testQueueName(), m_pdf, {QStringLiteral("-H"), QStringLiteral("indefinite")});
        queue = testQueueName();
        QVERIFY(waitForJobState(id, QStringLiteral("pending-held")));
    } else if (job == u"pending") {
        id = submit(queue, m_pdf);
    } else if (job == u"cancelled") {
        id = submit(queue, m_pdf);
        QVERIFY(id > 0);
        int code = 0;
        runTool(QStringLiteral("cancel"), {QString::number(id)}, &code);
        QCOMPARE(code, 0);
        QVERIFY(waitForJobState(id, QStringLiteral("canceled")));
    } else if (job == u"completed") {
        queue = testQueueName();
        id = submit(queue, m_pdf);
        QVERIFY(!waitForJobPdf(m_pdfFolder, id).isEmpty());
    } else if (job == u"incoming") {
        // What a crash between recording the id and sending the document leaves.
        http_t* http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(),
                                    1, 3000, nullptr);
        QVERIFY(http);
        id = cupsCreateJob(http, queue.toUtf8().constData(), "t", 0, nullptr);
        httpClose(http);
        QCOMPARE(jobAttribute(id, "job-state-reasons"), QStringLiteral("job-incoming"));
    } else if (job == u"unknown") {
        id = 1000000000;
    } else if (job == u"elsewhere") {
        id = submit(queue, m_pdf);
        queue = testQueueName();
    }
    QVERIFY(id > 0);

    // Followed with its document sent, one request for the whole queue says
    // the same of it, and of a job the queue never had that it is lost.
    if (documentSent) {
        const int never = 999999999;
        const QHash<int, JobReconciliation> followed = followPrintJobs(queue, {id, never});
        QCOMPARE(followed.value(id).fate, fate);
        QCOMPARE(followed.value(never).fate, Fate::Failed);
    }
    const JobReconciliation answer = reconcileJob(queue, id, documentSent);
    QCOMPARE(answer.fate, fate);
    if (fate == Fate::Failed || fate == Fate::SendAgain)
        QVERIFY(!answer.reason.isEmpty());
    if (!stateAfter.isEmpty())
        QCOMPARE(jobAttribute(id, "job-state"), stateAfter);
}

// A scheduler that takes the connection and never answers.
void TestPrinterDevice::hungSchedulerCannotTell()
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QVERIFY(listener >= 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    QVERIFY(::listen(listener, 4) == 0);
    QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0);
    const QByteArray previous = qgetenv("CUPS_SERVER");
    const bool hadPrevious = qEnvironmentVariableIsSet("CUPS_SERVER");
    qputenv("CUPS_SERVER", "127.0.0.1:" + QByteArray::number(ntohs(address.sin_port)));
    cupsSetServer(nullptr);

    QElapsedTimer clock;
    clock.start();
    const JobReconciliation answer = reconcileJob(testQueueName(), 1, true);
    // What monitoring asks every few seconds gives up the same way.
    const QHash<int, JobReconciliation> followed = followPrintJobs(testQueueName(), {1});
    const QueueCheck check = checkPrintQueue(testQueueName());
    const QString printer = defaultPrinterName();
    const qint64 waited = clock.elapsed();

    if (hadPrevious)
        qputenv("CUPS_SERVER", previous);
    else
        qunsetenv("CUPS_SERVER");
    cupsSetServer(nullptr);
    ::close(listener);
    QCOMPARE(answer.fate, Fate::CannotTell);
    QCOMPARE(followed.value(1).fate, Fate::CannotTell);
    QVERIFY(!check.ready);
    // Not a speed target: only that each gives up instead of hanging.
    QVERIFY2(waited < 60000, qPrintable(QString::number(waited)));
    Q_UNUSED(printer);
}

void TestPrinterDevice::troubleInTheOperatorsWords_data()
{
    QTest::addColumn<QStringList>("reasons");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("expected");
    QTest::newRow("paper out") << QStringList{QStringLiteral("media-empty-error")}
                               << QStringLiteral("Out of paper") << QStringLiteral("缺纸");
    QTest::newRow("paper asked for, twice the same words")
        << QStringList{QStringLiteral("media-needed"), QStringLiteral("media-empty-warning")}
        << QString() << QStringLiteral("缺纸");
    QTest::newRow("jam and door") << QStringList{QStringLiteral("media-jam-error"),
                                                 QStringLiteral("door-open-report")}
                                  << QString() << QStringLiteral("卡纸，盖板打开");
    QTest::newRow("ribbon out") << QStringList{QStringLiteral("marker-supply-empty-error")}
                                << QString() << QStringLiteral("色带/墨盒用完");
    QTest::newRow("ribbon low") << QStringList{QStringLiteral("marker-supply-low-warning")}
                                << QString() << QStringLiteral("色带/墨盒将尽");
    QTest::newRow("offline") << QStringList{QStringLiteral("offline-report")} << QString()
                             << QStringLiteral("打印机未连接");
    QTest::newRow("connecting") << QStringList{QStringLiteral("connecting-to-device")} << QString()
                                << QStringLiteral("打印机未连接");
    QTest::newRow("paused by cupsdisable") << QStringList{QStringLiteral("paused")}
                                           << QStringLiteral("Paused") << QStringLiteral("已暂停");
    QTest::newRow("unknown keyword: the scheduler's message")
        << QStringList{QStringLiteral("cover-open-error")} << QStringLiteral("Rear cover open")
        << QStringLiteral("Rear cover open");
    QTest::newRow("unknown keyword without a message")
        << QStringList{QStringLiteral("none"), QStringLiteral("fuser-over-temp-error")} << QString()
        << QStringLiteral("fuser-over-temp-error");
    QTest::newRow("known and unknown")
        << QStringList{QStringLiteral("paused"), QStringLiteral("spool-area-full")}
        << QStringLiteral("Spool full") << QStringLiteral("已暂停，Spool full");
    QTest::newRow("nothing wrong") << QStringList{QStringLiteral("none")} << QString() << QString();
}

void TestPrinterDevice::troubleInTheOperatorsWords()
{
    QFETCH(QStringList, reasons);
    QFETCH(QString, message);
    QFETCH(QString, expected);
    QCOMPARE(printerTroubleText(reasons, message), expected);
}

QTEST_GUILESS_MAIN(TestPrinterDevice)
#include "tst_printerdevice.moc"
