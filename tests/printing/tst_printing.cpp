#include "app/AppState.h"
#include "app/Startup.h"
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

        const PrintReport chosen =
            printSheetWithReport(sheet, program.path(), [&] { return ++asked, testQueueName(); });
        QCOMPARE(asked, 2);
        QCOMPARE(chosen.outcome, PrintOutcome::Printed);
        QCOMPARE(chosen.printerName, testQueueName());
        QVERIFY(chosen.jobId > before);
        QVERIFY(!waitForJobPdf(m_pdfFolder, chosen.jobId).isEmpty());
    }

    void aSheetThatCannotBePrintedIsKept_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::newRow("queue stopped") << QStringLiteral("stopped");
        QTest::newRow("queue rejecting jobs") << QStringLiteral("rejecting");
        QTest::newRow("dialog names an unknown printer") << QStringLiteral("unknown");
        QTest::newRow("CUPS not reachable") << QStringLiteral("down");
    }

    void aSheetThatCannotBePrintedIsKept()
    {
        if (!printerReady())
            VELLORA_SKIP_WITHOUT_PRINTER(m_why);
        QFETCH(QString, situation);
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
        QVERIFY2(!first.error.isEmpty(), "no reason given");
        const QString unprinted = program.file(QStringLiteral("未打印"));
        QCOMPARE(QFileInfo(first.savedPath).absolutePath(), QDir(unprinted).absolutePath());
        QVERIFY2(first.savedPath != second.savedPath, "the second sheet replaced the first");
        QCOMPARE(QDir(unprinted).entryList(QDir::Files).size(), 2);
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
