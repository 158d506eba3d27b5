#include "app/Startup.h"
#include "core/AppState.h"
#include "printing/Calibration.h"
#include "printing/CalibrationSheet.h"
#include "printing/PrinterDevice.h"
#include "printing/Printing.h"
#include "testutils.h"

#include <QDir>
#include <QPainter>
#include <QtTest>

#include <thread>

using namespace vellora;
using namespace vellora::test;

namespace {

const QColor kTopLeft(255, 0, 0);
const QColor kTopRight(0, 255, 0);
const QColor kBottomLeft(0, 0, 255);
const QColor kBottomRight(255, 0, 255);
const QColor kInner(0, 255, 255);
const QColor kBand(128, 128, 128);
const QColor kColumn(255, 128, 0);
constexpr int kMark = 40;

// White, a square of its own colour in each corner, a grey band across the
// whole width at y 1000, a 1-pixel checkerboard (which a lossy re-encoding
// would smear) and, on large sheets, a cyan square at (1900, 2600) and an
// orange column at x 1000 from y 2700 down to the sheet's bottom edge.
QImage markedSheet(int width, int height)
{
    QImage sheet(width, height, QImage::Format_RGB32);
    sheet.fill(Qt::white);
    QPainter p(&sheet);
    p.fillRect(0, 0, kMark, kMark, kTopLeft);
    p.fillRect(width - kMark, 0, kMark, kMark, kTopRight);
    p.fillRect(0, height - kMark, kMark, kMark, kBottomLeft);
    p.fillRect(width - kMark, height - kMark, kMark, kMark, kBottomRight);
    if (height > 1100)
        p.fillRect(0, 1000, width, 40, kBand);
    if (width > 1950 && height > 2650)
        p.fillRect(1900, 2600, 50, 50, kInner);
    if (width > 1100 && height > 2800)
        p.fillRect(1000, 2700, 40, height - 2700, kColumn);
    p.end();
    for (int y = 200; y < std::min(264, height); ++y)
        for (int x = 200; x < std::min(264, width); ++x)
            sheet.setPixel(x, y, ((x + y) & 1) ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
    return sheet;
}

bool near(int actual, double expected, double tolerance)
{
    return std::abs(actual - expected) <= tolerance;
}

QString describe(const QRect& r)
{
    return QStringLiteral("(%1,%2 %3x%4)").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

// 0.3 mm at 254 dpi.
constexpr double kTolerancePx = 3.0;

// The rectangle `tenths` (0.1 mm) of the PDF's first page at 2540 dpi, one
// pixel = 0.01 mm.
QImage renderPageDetail(const QString& pdf, const QRect& tenths)
{
    QTemporaryDir dir;
    const QString base = dir.filePath(QStringLiteral("detail"));
    int code = -1;
    runTool(QStringLiteral("pdftoppm"),
            {QStringLiteral("-r"), QStringLiteral("2540"), QStringLiteral("-x"),
             QString::number(tenths.x() * 10), QStringLiteral("-y"),
             QString::number(tenths.y() * 10), QStringLiteral("-W"),
             QString::number(tenths.width() * 10), QStringLiteral("-H"),
             QString::number(tenths.height() * 10), QStringLiteral("-png"),
             QStringLiteral("-singlefile"), pdf, base},
            &code);
    return code == 0 ? QImage(base + QStringLiteral(".png")) : QImage();
}

// Centres (in pixel-edge coordinates) of the runs of dark pixels along a row
// or a column of the page, from `from` on.
QList<double> darkRunCentres(const QImage& page, bool alongRow, int line, int from)
{
    QList<double> centres;
    const int end = alongRow ? page.width() : page.height();
    int start = -1;
    for (int i = from; i <= end; ++i) {
        const bool dark =
            i < end && qGray(alongRow ? page.pixel(i, line) : page.pixel(line, i)) < 100;
        if (dark && start < 0)
            start = i;
        if (!dark && start >= 0) {
            centres.append((start + i) / 2.0);
            start = -1;
        }
    }
    return centres;
}

} // namespace

class TestPrinting : public QObject
{
    Q_OBJECT

private:
    QString m_pdfFolder;
    QString m_why;

    bool printerReady() { return !m_pdfFolder.isEmpty(); }

private Q_SLOTS:
    void initTestCase() { m_pdfFolder = ensureTestPrinter(&m_why); }

    void printsTheSheetAtTrueSize_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::newRow("1520x1020 (152 x 102 mm)") << 1520 << 1020;
        QTest::newRow("2100x2970 (a whole A4 page)") << 2100 << 2970;
    }

    void printsTheSheetAtTrueSize()
    {
        if (!printerReady())
            VELLORA_SKIP_WITHOUT_PRINTER(m_why);
        QFETCH(int, width);
        QFETCH(int, height);
        TempProgramFolder program;
        const QImage sheet = markedSheet(width, height);

        const PrintReport report = printSheetWithReport(sheet, program.path());
        QCOMPARE(report.outcome, PrintOutcome::Printed);
        QCOMPARE(report.printerName, testQueueName());
        QVERIFY(report.jobId > 0);
        QVERIFY(!QDir(program.file(QStringLiteral("未打印"))).exists());

        const QString pdf = waitForJobPdf(m_pdfFolder, report.jobId);
        QVERIFY2(!pdf.isEmpty(), "the PDF of the job did not appear");

        // One portrait A4 page, one copy, the fixed job name.
        const PdfDocumentInfo info = pdfDocumentInfo(pdf);
        QCOMPARE(info.pages, 1);
        QVERIFY2(std::abs(info.pageSizePt.width() - 595) < 1 &&
                     std::abs(info.pageSizePt.height() - 842) < 1,
                 qPrintable(QStringLiteral("page %1 x %2 pt")
                                .arg(info.pageSizePt.width())
                                .arg(info.pageSizePt.height())));
        const QString jobName = QString::fromUtf16(kPrintJobName);
        QVERIFY2(info.titleBytes.contains(jobName.toUtf8()), info.titleBytes.constData());
        QCOMPARE(jobAttribute(report.jobId, "job-name"), jobName);
        const QString copies = jobAttribute(report.jobId, "copies");
        QVERIFY2(copies.isEmpty() || copies == QStringLiteral("1"), qPrintable(copies));

        // The sheet travels whole and lossless at 254 pixels per inch.
        const QList<PdfImageInfo> images = pdfImages(pdf);
        QCOMPARE(images.size(), 1);
        QCOMPARE(images[0].width, width);
        QCOMPARE(images[0].height, height);
        QVERIFY2(images[0].encoding != QStringLiteral("jpeg") &&
                     images[0].encoding != QStringLiteral("jpx"),
                 qPrintable(images[0].encoding));
        const double widthMm = images[0].width / images[0].xPpi * 25.4;
        const double heightMm = images[0].height / images[0].yPpi * 25.4;
        QVERIFY2(std::abs(widthMm - width / 10.0) <= 0.3 &&
                     std::abs(heightMm - height / 10.0) <= 0.3,
                 qPrintable(QStringLiteral("%1 x %2 mm").arg(widthMm).arg(heightMm)));

        // At 254 dpi one page pixel is 0.1 mm: the marks sit where the sheet
        // puts them, from the printable area's corner (the page corner here).
        const QImage page = renderPdfPage(pdf);
        QVERIFY(!page.isNull());
        const QRect topLeft = colourBounds(page, kTopLeft, 40, QRect(0, 0, 200, 200));
        QVERIFY2(near(topLeft.left(), 0, kTolerancePx) && near(topLeft.top(), 0, kTolerancePx) &&
                     near(topLeft.width(), kMark, kTolerancePx),
                 qPrintable(describe(topLeft)));
        const QRect bottomRight = colourBounds(page, kBottomRight);
        QVERIFY2(near(bottomRight.right(), width - 1, kTolerancePx) &&
                     near(bottomRight.bottom(), height - 1, kTolerancePx),
                 qPrintable(describe(bottomRight)));
        QVERIFY(!colourBounds(page, kTopRight).isNull());
        QVERIFY(!colourBounds(page, kBottomLeft).isNull());

        // Every pixel arrives as it left (the checkerboard too).
        QString why;
        QVERIFY2(fuzzyCompare(extractPdfImage(pdf), sheet, 2, &why), qPrintable(why));
    }

    void drawsFromThePrintableCornerAndCutsWhatDoesNotFit()
    {
        if (!printerReady())
            VELLORA_SKIP_WITHOUT_PRINTER(m_why);
        // A4 with unprintable margins: 18 pt left, 36 pt top, printable up to
        // 577 pt across and 806 pt up from the bottom.
        ScratchQueue queue({QStringLiteral("18 36 577 806"), false, false});
        QVERIFY(queue.isValid());
        DefaultPrinterOverride useIt(queue.name());
        TempProgramFolder program;
        const QImage sheet = markedSheet(2100, 2970);

        const PrintReport report = printSheetWithReport(sheet, program.path());
        QCOMPARE(report.outcome, PrintOutcome::Printed);
        QCOMPARE(report.printerName, queue.name());
        const QString pdf = waitForJobPdf(m_pdfFolder, report.jobId);
        QVERIFY(!pdf.isEmpty());
        const QImage page = renderPdfPage(pdf);
        QVERIFY(!page.isNull());

        const double left = 18 / 72.0 * 254;   // 63.5 px
        const double top = 36 / 72.0 * 254;    // 127 px
        const double right = 577 / 72.0 * 254; // 2035.6 px
        const double bottom = (842 - 36) / 72.0 * 254;

        const QRect topLeft = colourBounds(page, kTopLeft, 40, QRect(0, 0, 300, 300));
        QVERIFY2(near(topLeft.left(), left, kTolerancePx) && near(topLeft.top(), top, kTolerancePx),
                 qPrintable(describe(topLeft)));
        // Not scaled: a square of 50 px at (1900, 2600) stays 50 px there.
        const QRect inner = colourBounds(page, kInner);
        QVERIFY2(near(inner.left(), left + 1900, kTolerancePx) &&
                     near(inner.top(), top + 2600, kTolerancePx) &&
                     near(inner.width(), 50, kTolerancePx) &&
                     near(inner.height(), 50, kTolerancePx),
                 qPrintable(describe(inner)));
        // Cut at the printable area's right edge, not at the sheet's or the page's.
        const QRect band = colourBounds(page, kBand, 20);
        QVERIFY2(
            near(band.left(), left, kTolerancePx) && near(band.top(), top + 1000, kTolerancePx) &&
                near(band.right(), right, kTolerancePx) && near(band.height(), 40, kTolerancePx),
            qPrintable(describe(band)));
        // The right and bottom corner squares lie beyond it.
        QVERIFY(colourBounds(page, kTopRight).isNull());
        QVERIFY(colourBounds(page, kBottomRight).isNull());
        QVERIFY(colourBounds(page, kBottomLeft).isNull());
        // Cut at the printable area's bottom edge too: the column that runs to
        // the sheet's bottom stops there.
        const QRect column = colourBounds(page, kColumn);
        QVERIFY2(near(column.left(), left + 1000, kTolerancePx) &&
                     near(column.top(), top + 2700, kTolerancePx) &&
                     near(column.bottom(), bottom, kTolerancePx),
                 qPrintable(describe(column)));
    }

    void printsFromAWorkerThread()
    {
        if (!printerReady())
            VELLORA_SKIP_WITHOUT_PRINTER(m_why);
        TempProgramFolder program;
        const QImage sheet = markedSheet(1520, 1020);
        PrintReport report;
        std::thread worker([&] { report = printSheetWithReport(sheet, program.path()); });
        worker.join();
        QCOMPARE(report.outcome, PrintOutcome::Printed);
        const QString pdf = waitForJobPdf(m_pdfFolder, report.jobId);
        QVERIFY(!pdf.isEmpty());
        const QList<PdfImageInfo> images = pdfImages(pdf);
        QCOMPARE(images.size(), 1);
        QCOMPARE(images[0].width, 1520);
    }

    void withoutDefaultPrinterTheDialogChooses()
    {
        if (!printerReady())
            VELLORA_SKIP_WITHOUT_PRINTER(m_why);
        DefaultPrinterOverride none(QStringLiteral("VelloraNoSuchQueue"));
        QVERIFY(defaultPrinterName().isEmpty());
        TempProgramFolder program;
        const QImage sheet = markedSheet(1520, 1020);
        const int before = highestJobId(testQueueName());
        QVERIFY(before >= 0);

        int asked = 0;
        const PrintOutcome cancelled =
            printSheet(sheet, program.path(), [&] { return ++asked, QString(); });
        QCOMPARE(cancelled, PrintOutcome::Cancelled);
        QCOMPARE(asked, 1);
        QCOMPARE(highestJobId(testQueueName()), before);
        QVERIFY(!QDir(program.file(QStringLiteral("未打印"))).exists());

        // Headless, nobody answers: the same as cancelling.
        QCOMPARE(printSheet(sheet, program.path()), PrintOutcome::Cancelled);
        QVERIFY(!QDir(program.file(QStringLiteral("未打印"))).exists());

        // Unattended, the sheet is not thrown away: it waits in 未打印 for a
        // printer; one already waiting there is not kept a second time.
        HandOffRecord record;
        record.jobCreated = [](const QString&, int) { return true; };
        record.documentSent = [] {};
        const PrintReport kept = printSheetWithReport(sheet, program.path(), {}, &record);
        QCOMPARE(kept.outcome, PrintOutcome::SavedUnprinted);
        QCOMPARE(kept.error, QStringLiteral("没有默认打印机"));
        QVERIFY(QFile::exists(kept.savedPath));
        record.keepWhenNotSent = false;
        QCOMPARE(printSheetWithReport(sheet, program.path(), {}, &record).outcome,
                 PrintOutcome::Cancelled);
        QCOMPARE(QDir(program.file(QStringLiteral("未打印"))).entryList(QDir::Files).size(), 1);

        const PrintReport chosen =
            printSheetWithReport(sheet, program.path(), [&] { return ++asked, testQueueName(); });
        QCOMPARE(asked, 2);
        QCOMPARE(chosen.outcome, PrintOutcome::Printed);
        QCOMPARE(chosen.printerName, testQueueName());
        QVERIFY(chosen.jobId > before);
        QVERIFY(!waitForJobPdf(m_pdfFolder, chosen.jobId).isEmpty());
    }

    // The calibration sheet goes through the same path as any sheet and lands
    // true to size: the square's lines 100 mm apart at 15 mm from the
    // printable corner, its crosses around them, a ruler tick every centimetre.
    void calibrationSheetPrintsTrueToSize()
    {
        if (!printerReady())
            VELLORA_SKIP_WITHOUT_PRINTER(m_why);
        TempProgramFolder program;
        const PrintReport report = printCalibrationSheet(program.path());
        QVERIFY2(report.outcome == PrintOutcome::Printed, qPrintable(report.error));
        QCOMPARE(report.printerName, testQueueName());
        const QString pdf = waitForJobPdf(m_pdfFolder, report.jobId);
        QVERIFY(!pdf.isEmpty());
        const QImage page = renderPdfPage(pdf);
        QVERIFY(!page.isNull());

        // Lines 0.2 mm wide, centred on 15.0 and 115.0 mm; ±0.1 mm.
        const QRect square = colourBounds(page, QColor(0, 0, 255));
        QVERIFY2(near(square.left(), 149, 1) && near(square.top(), 149, 1) &&
                     near(square.right(), 1150, 1) && near(square.bottom(), 1150, 1),
                 qPrintable(describe(square)));
        const QRect crosses = colourBounds(page, QColor(255, 0, 0));
        QVERIFY2(near(crosses.left(), 90, 1) && near(crosses.top(), 90, 1) &&
                     near(crosses.right(), 1209, 1) && near(crosses.bottom(), 1209, 1),
                 qPrintable(describe(crosses)));

        // 4.5 mm in from the edge only the centimetre ticks reach.
        const QList<double> alongTop = darkRunCentres(page, true, 45, 60);
        const QList<double> alongLeft = darkRunCentres(page, false, 45, 60);
        QCOMPARE(alongTop.size(), 20);  // 1 … 20 cm of 210 mm
        QCOMPARE(alongLeft.size(), 29); // 1 … 29 cm of 297 mm
        for (int i = 0; i < alongTop.size(); ++i)
            QVERIFY2(std::abs(alongTop[i] - 100.0 * (i + 1)) <= 1,
                     qPrintable(QString::number(alongTop[i])));
        for (int i = 0; i < alongLeft.size(); ++i)
            QVERIFY2(std::abs(alongLeft[i] - 100.0 * (i + 1)) <= 1,
                     qPrintable(QString::number(alongLeft[i])));
    }

    // A stored calibration of 101 % x 99.5 % and 1.2 / -0.8 mm puts the sheet
    // that much larger and shifted (±0.1 mm); reset, the page is as before.
    void aCalibratedPrinterGetsTheSheetScaledAndShifted()
    {
        if (!printerReady())
            VELLORA_SKIP_WITHOUT_PRINTER(m_why);
        TempProgramFolder program;
        const QString ini = program.file(QStringLiteral("配置.ini"));
        const QImage sheet = markedSheet(1520, 1020);
        int calibratedJob = 0;
        auto printPage = [&] {
            const PrintReport report = printSheetWithReport(sheet, program.path());
            if (report.outcome != PrintOutcome::Printed)
                return QImage();
            calibratedJob = report.jobId;
            return renderPdfPage(waitForJobPdf(m_pdfFolder, report.jobId));
        };
        const QImage before = printPage();
        QVERIFY(!before.isNull());

        QString error;
        QVERIFY2(storePrinterCalibration(ini, testQueueName(), {1.01, 0.995, 1.2, -0.8}, &error),
                 qPrintable(error));
        const QImage calibrated = printPage();
        QVERIFY(!calibrated.isNull());
        // Measured in the PDF at 2540 dpi (0.01 mm), the renderer's own
        // resampling being coarser than the tolerance at 254 dpi.
        const QString pdf = waitForJobPdf(m_pdfFolder, calibratedJob);
        const auto edges = [&](const QRect& tenths, const QColor& colour) {
            const QRect found = colourBounds(renderPageDetail(pdf, tenths), colour);
            return QRectF(tenths.x() + found.left() / 10.0, tenths.y() + found.top() / 10.0,
                          found.width() / 10.0, found.height() / 10.0);
        };
        const auto within = [](const QRectF& r, double left, double top, double right,
                               double bottom) {
            return std::abs(r.left() - left) <= 1 && std::abs(r.top() - top) <= 1 &&
                   std::abs(r.right() - right) <= 1 && std::abs(r.bottom() - bottom) <= 1;
        };
        const auto describeF = [](const QRectF& r) { return describe(r.toAlignedRect()); };
        // The sheet's corner at (12, -8) tenths: the top 0.8 mm of its
        // 40 x 40 corner square is cut off.
        const QRectF topLeft = edges(QRect(0, 0, 100, 100), kTopLeft);
        QVERIFY2(within(topLeft, 12, 0, 12 + 40 * 1.01, -8 + 40 * 0.995),
                 qPrintable(describeF(topLeft)));
        // The far corner's square, 1480..1520 x 980..1020, scaled and shifted.
        const QRectF bottomRight = edges(QRect(1450, 930, 150, 120), kBottomRight);
        QVERIFY2(within(bottomRight, 12 + 1480 * 1.01, -8 + 980 * 0.995, 12 + 1520 * 1.01,
                        -8 + 1020 * 0.995),
                 qPrintable(describeF(bottomRight)));

        QVERIFY(resetPrinterCalibration(ini, testQueueName(), &error));
        QString why;
        QVERIFY2(fuzzyCompare(printPage(), before, 0, &why), qPrintable(why));
    }

    void aSheetThatCannotBePrintedIsKept_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("reason"); // in the operator's words
        QTest::newRow("queue stopped")
            << QStringLiteral("stopped") << QStringLiteral("”已停止：已暂停");
        QTest::newRow("queue rejecting jobs")
            << QStringLiteral("rejecting") << QStringLiteral("”不接受作业");
        QTest::newRow("dialog names an unknown printer")
            << QStringLiteral("unknown")
            << QStringLiteral("打印机“VelloraNoSuchQueueEither”不存在");
        QTest::newRow("CUPS not reachable")
            << QStringLiteral("down") << QStringLiteral("打印系统（CUPS）没有运行");
    }

    void aSheetThatCannotBePrintedIsKept()
    {
        if (!printerReady())
            VELLORA_SKIP_WITHOUT_PRINTER(m_why);
        QFETCH(QString, situation);
        QFETCH(QString, reason);
        TempProgramFolder program;
        const QImage sheet = markedSheet(1520, 1020);

        std::unique_ptr<ScratchQueue> queue;
        std::unique_ptr<DefaultPrinterOverride> defaultPrinter;
        PrintDialogSeam dialog;
        if (situation == QStringLiteral("stopped") || situation == QStringLiteral("rejecting")) {
            ScratchQueue::Options options;
            options.stopped = situation == QStringLiteral("stopped");
            options.rejecting = situation == QStringLiteral("rejecting");
            queue = std::make_unique<ScratchQueue>(options);
            QVERIFY(queue->isValid());
            defaultPrinter = std::make_unique<DefaultPrinterOverride>(queue->name());
        } else if (situation == QStringLiteral("unknown")) {
            defaultPrinter =
                std::make_unique<DefaultPrinterOverride>(QStringLiteral("VelloraNoSuchQueue"));
            dialog = [] { return QStringLiteral("VelloraNoSuchQueueEither"); };
        }

        auto print = [&] {
            if (situation != QStringLiteral("down"))
                return printSheetWithReport(sheet, program.path(), dialog);
            // CUPS keeps its server per thread: a fresh thread sees the dead one.
            const QByteArray previous = qgetenv("CUPS_SERVER");
            qputenv("CUPS_SERVER", "/nonexistent/vellora-cups.sock");
            PrintReport report;
            std::thread worker([&] { report = printSheetWithReport(sheet, program.path()); });
            worker.join();
            if (previous.isEmpty())
                qunsetenv("CUPS_SERVER");
            else
                qputenv("CUPS_SERVER", previous);
            return report;
        };

        const PrintReport first = print();
        const PrintReport second = print();
        QCOMPARE(first.outcome, PrintOutcome::SavedUnprinted);
        QCOMPARE(second.outcome, PrintOutcome::SavedUnprinted);
        QVERIFY2(first.error.contains(reason), qPrintable(first.error));
        const QString unprinted = program.file(QStringLiteral("未打印"));
        QCOMPARE(QFileInfo(first.savedPath).absolutePath(), QDir(unprinted).absolutePath());
        QVERIFY2(first.savedPath != second.savedPath, "the second sheet replaced the first");
        QCOMPARE(QDir(unprinted).entryList(QDir::Files).size(), 2);
        // Customers' photos: the operators' group may read them, nobody else.
        QCOMPARE(QFileInfo(first.savedPath).permissions() & 0x7777,
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser |
                     QFile::ReadGroup | QFile::WriteGroup);
        QCOMPARE(QFileInfo(unprinted).permissions() & (QFile::ReadOther | QFile::ExeOther), 0);
        const QImage kept(first.savedPath);
        QCOMPARE(kept.size(), sheet.size());
        QVERIFY(colourNear(kept.pixel(20, 20), kTopLeft, 12));
        QVERIFY(colourNear(kept.pixel(1500, 1000), kBottomRight, 12));
        if (queue)
            QCOMPARE(highestJobId(queue->name()), 0);
    }

    void aSheetThatCanNeitherBePrintedNorSavedIsLost()
    {
        if (!printerReady())
            VELLORA_SKIP_WITHOUT_PRINTER(m_why);
        ScratchQueue::Options options;
        options.stopped = true;
        ScratchQueue queue(options);
        QVERIFY(queue.isValid());
        DefaultPrinterOverride useIt(queue.name());
        TempProgramFolder program;
        // A "program folder" that is a file: 未打印 cannot be made below it.
        const QString notAFolder = program.file(QStringLiteral("plain-file"));
        QFile file(notAFolder);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        const PrintReport report = printSheetWithReport(markedSheet(300, 200), notAFolder);
        QCOMPARE(report.outcome, PrintOutcome::Lost);
        QVERIFY(!report.error.isEmpty());

        // 未打印 replaced by a link to another account's folder: nothing is
        // written there, and the reason names the link.
        QTemporaryDir victim;
        QVERIFY(QFile::setPermissions(program.path(), QFile::permissions(program.path()) |
                                                          QFile::WriteGroup | QFile::ExeGroup));
        QVERIFY(QFile::link(victim.path(), program.file(QStringLiteral("未打印"))));
        const PrintReport planted = printSheetWithReport(markedSheet(300, 200), program.path());
        QCOMPARE(planted.outcome, PrintOutcome::Lost);
        QVERIFY2(planted.error.contains(QStringLiteral("未打印")), qPrintable(planted.error));
        QVERIFY(QDir(victim.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    }

    void printPendingSheetNowNeedsAPrintableSheet_data()
    {
        QTest::addColumn<bool>("monitoring");
        QTest::addColumn<bool>("settingsShown");
        QTest::addColumn<int>("filledCells");
        QTest::newRow("monitoring paused") << false << false << 3;
        QTest::newRow("settings window shown") << true << true << 3;
        QTest::newRow("empty sheet") << true << false << 0;
    }

    void printPendingSheetNowNeedsAPrintableSheet()
    {
        QFETCH(bool, monitoring);
        QFETCH(bool, settingsShown);
        QFETCH(int, filledCells);
        TempProgramFolder program;
        AppState state;
        initialiseAppState(state, program.path());
        state.sheetSurface.resize(300, 200);
        state.sheetSurface.drawImage(markedSheet(300, 200), 0, 0);
        const QImage before = state.sheetSurface.image().copy();
        state.pendingSheet.filledCells = filledCells;
        state.pendingSheet.copiesLeft = 2;
        state.windows.monitoring = monitoring;
        state.windows.settingsShown = settingsShown;
        int printed = 0;
        int labelShown = 0;
        state.printSheet = [&](const QImage&) { ++printed; };
        state.views.setPrintedLabelVisible = [&](bool) { ++labelShown; };

        QVERIFY(!printPendingSheetNow(state));
        QCOMPARE(printed, 0);
        QCOMPARE(labelShown, 0);
        QCOMPARE(state.pendingSheet.filledCells, filledCells);
        QCOMPARE(state.pendingSheet.copiesLeft, 2);
        QVERIFY(fuzzyCompare(state.sheetSurface.image(), before, 0));
    }

    void printPendingSheetNowPrintsAndStartsANewSheet()
    {
        TempProgramFolder program;
        AppState state;
        initialiseAppState(state, program.path());
        state.sheetSurface.resize(300, 200);
        state.sheetSurface.drawImage(markedSheet(300, 200), 0, 0);
        const QImage before = state.sheetSurface.image().copy();
        state.pendingSheet.filledCells = 2;
        state.pendingSheet.copiesLeft = 5;
        state.windows.monitoring = true;
        QList<QImage> printed;
        QList<bool> label;
        state.printSheet = [&](const QImage& sheet) { printed.append(sheet.copy()); };
        state.views.setPrintedLabelVisible = [&](bool visible) { label.append(visible); };

        QVERIFY(printPendingSheetNow(state));
        QCOMPARE(printed.size(), 1);
        QVERIFY(fuzzyCompare(printed[0], before, 0));
        QCOMPARE(label, QList<bool>{true});
        QCOMPARE(state.pendingSheet.filledCells, 0);
        QCOMPARE(state.pendingSheet.copiesLeft, 0);
        QCOMPARE(state.sheetSurface.image().size(), QSize(300, 200));
        QVERIFY(colourNear(state.sheetSurface.image().pixel(10, 10), Qt::white));
        QVERIFY(colourNear(state.sheetSurface.image().pixel(290, 190), Qt::white));
        // Nothing left to print now.
        QVERIFY(!printPendingSheetNow(state));
    }

    void startupSendsSheetsToThePrinter()
    {
        if (!printerReady())
            VELLORA_SKIP_WITHOUT_PRINTER(m_why);
        TempProgramFolder program;
        AppState state;
        initialiseAppState(state, program.path());
        QVERIFY(state.printSheet);
        state.sheetSurface.resize(1520, 1020);
        state.sheetSurface.drawImage(markedSheet(1520, 1020), 0, 0);
        state.pendingSheet.filledCells = 1;
        state.windows.monitoring = true;
        const int before = highestJobId(testQueueName());
        QVERIFY(before >= 0);

        QVERIFY(printPendingSheetNow(state));
        const int job = highestJobId(testQueueName());
        QVERIFY(job > before);
        const QString pdf = waitForJobPdf(m_pdfFolder, job);
        QVERIFY(!pdf.isEmpty());
        const QList<PdfImageInfo> images = pdfImages(pdf);
        QCOMPARE(images.size(), 1);
        QCOMPARE(images[0].width, 1520);
        QCOMPARE(images[0].height, 1020);
    }
};

QTEST_MAIN(TestPrinting)
#include "tst_printing.moc"
