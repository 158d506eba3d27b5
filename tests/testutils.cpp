#include "testutils.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImageWriter>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QThread>
#include <QWidget>
#include <QtTest>

#include <cups/cups.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace vellora::test {

namespace {

// Every dialog a widget test means to answer goes through a stub. A real one
// of Qt's own opening offscreen would wait for a click that never comes, and
// the whole executable would hang until its timeout: fail the running test at
// once instead, and close the dialog so the rest can go on.
class UnexpectedDialogGuard : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && watched->isWidgetType()) {
            static const char* const kinds[] = {"QMessageBox",  "QFileDialog",  "QColorDialog",
                                                "QInputDialog", "QPrintDialog", "QFontDialog"};
            for (const char* kind : kinds) {
                if (!watched->inherits(kind))
                    continue;
                auto* widget = static_cast<QWidget*>(watched);
                const QByteArray what = QByteArray(kind) + " \"" + widget->windowTitle().toUtf8() +
                                        "\" opened for real: stub it in the test";
                QTest::qFail(what.constData(), __FILE__, __LINE__);
                QMetaObject::invokeMethod(widget, "reject", Qt::QueuedConnection);
                break;
            }
        }
        return QObject::eventFilter(watched, event);
    }
};

void installUnexpectedDialogGuard()
{
    if (QCoreApplication::instance()->inherits("QApplication"))
        qApp->installEventFilter(new UnexpectedDialogGuard(qApp));
}

} // namespace

} // namespace vellora::test

static void installUnexpectedDialogGuardAtStart()
{
    vellora::test::installUnexpectedDialogGuard();
}
Q_COREAPP_STARTUP_FUNCTION(installUnexpectedDialogGuardAtStart)

namespace vellora::test {

QString builtProgramFolder()
{
    return QStringLiteral(VELLORA_PROGRAM_DIR);
}

QString testDataDir()
{
    return QStringLiteral(VELLORA_TEST_DATA_DIR);
}

TempProgramFolder::TempProgramFolder()
{
    const QString sample =
        QDir(builtProgramFolder()).filePath(QStringLiteral("152101201205090001.jpg"));
    QFile::copy(sample, m_dir.filePath(QStringLiteral("152101201205090001.jpg")));
}

bool colourNear(QRgb actual, const QColor& expected, int tolerance)
{
    return std::abs(qRed(actual) - expected.red()) <= tolerance &&
           std::abs(qGreen(actual) - expected.green()) <= tolerance &&
           std::abs(qBlue(actual) - expected.blue()) <= tolerance;
}

bool fuzzyCompare(const QImage& a, const QImage& b, int tolerance, QString* why)
{
    if (a.size() != b.size()) {
        if (why)
            *why = QStringLiteral("sizes differ: %1x%2 vs %3x%4")
                       .arg(a.width())
                       .arg(a.height())
                       .arg(b.width())
                       .arg(b.height());
        return false;
    }
    const QImage ca = a.convertToFormat(QImage::Format_RGB32);
    const QImage cb = b.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < ca.height(); ++y) {
        const auto* la = reinterpret_cast<const QRgb*>(ca.constScanLine(y));
        const auto* lb = reinterpret_cast<const QRgb*>(cb.constScanLine(y));
        for (int x = 0; x < ca.width(); ++x) {
            if (!colourNear(la[x], QColor(lb[x]), tolerance)) {
                if (why)
                    *why = QStringLiteral("pixel (%1,%2): %3 vs %4")
                               .arg(x)
                               .arg(y)
                               .arg(QColor(la[x]).name(), QColor(lb[x]).name());
                return false;
            }
        }
    }
    return true;
}

QImage markedImage(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter p(&image);
    p.fillRect(0, 0, width / 2, height, Qt::red);
    p.fillRect(width / 2, 0, width - width / 2, height, Qt::blue);
    const int band = std::max(1, height / 40);
    p.fillRect(0, 0, width, band, Qt::green);
    p.fillRect(0, height - band, width, band, Qt::black);
    return image;
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFileBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QString writeImage(const QImage& image, const QString& path, const char* format)
{
    QImageWriter writer(path, format);
    writer.setQuality(95);
    writer.write(image);
    return path;
}

// ---- Test printer ----

QByteArray runTool(const QString& program, const QStringList& arguments, int* exitCode)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished(2000);
        if (exitCode)
            *exitCode = -1;
        return {};
    }
    const int code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    if (exitCode)
        *exitCode = code;
    return code == 0 ? process.readAllStandardOutput() : QByteArray();
}

namespace {

QString testPrinterScript()
{
    return QStringLiteral(VELLORA_SOURCE_DIR "/scripts/test-printer.sh");
}

} // namespace

QString testQueueName()
{
    static const QString name = [] {
        const QByteArray fromEnv = qgetenv("VELLORA_TEST_QUEUE");
        if (!fromEnv.isEmpty())
            return QString::fromLocal8Bit(fromEnv);
        QProcess process;
        process.start(QStringLiteral("bash"), {testPrinterScript(), QStringLiteral("--name")});
        process.waitForFinished(10000);
        return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    }();
    return name;
}

bool testPrinterRequired()
{
    return qgetenv("CI") == "true" || qgetenv("VELLORA_REQUIRE_PRINTER") == "1";
}

QString ensureTestPrinter(QString* why)
{
    QProcess process;
    process.start(QStringLiteral("bash"), {testPrinterScript()});
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        if (why)
            *why = QStringLiteral("CUPS cannot be started: ") +
                   QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
        return {};
    }
    const QString folder = QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    if (folder.isEmpty()) {
        if (why)
            *why = QStringLiteral("test-printer.sh named no PDF folder");
        return {};
    }
    // CUPS and Qt both take LPDEST, then PRINTER, as this process's default.
    const QByteArray queue = testQueueName().toLocal8Bit();
    qputenv("LPDEST", queue);
    qputenv("PRINTER", queue);
    return folder;
}

namespace {

struct JobList
{
    cups_job_t* jobs = nullptr;
    int count = 0;
    explicit JobList(const char* queue)
    {
        count = cupsGetJobs2(CUPS_HTTP_DEFAULT, &jobs, queue, 1, CUPS_WHICHJOBS_ALL);
    }
    ~JobList()
    {
        if (count > 0)
            cupsFreeJobs(count, jobs);
    }
};

} // namespace

int highestJobId(const QString& queue)
{
    const QByteArray name = queue.toUtf8();
    const JobList list(name.constData());
    if (list.count < 0)
        return -1;
    int highest = 0;
    for (int i = 0; i < list.count; ++i)
        highest = std::max(highest, list.jobs[i].id);
    return highest;
}

QString jobAttribute(int jobId, const char* name)
{
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0,
                     "/jobs/%d", jobId);
    ipp_t* request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    QString value;
    if (response != nullptr) {
        if (ipp_attribute_t* attribute = ippFindAttribute(response, name, IPP_TAG_ZERO)) {
            char text[1024];
            ippAttributeString(attribute, text, sizeof text);
            value = QString::fromUtf8(text);
        }
        ippDelete(response);
    }
    return value;
}

QString waitForJobPdf(const QString& pdfFolder, int jobId, int timeoutMs)
{
    const QString suffix = QStringLiteral("-job_%1.pdf").arg(jobId);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        // cups-pdf writes the file in place: it is whole once the job completed.
        if (jobAttribute(jobId, "job-state") == QStringLiteral("completed")) {
            const QStringList names =
                QDir(pdfFolder).entryList({QStringLiteral("*") + suffix}, QDir::Files);
            if (!names.isEmpty())
                return QDir(pdfFolder).filePath(names.first());
        }
        QThread::msleep(50);
    }
    return {};
}

namespace {

// A PDF literal string starting just after its "(": escapes undone.
QByteArray readPdfLiteral(const QByteArray& data, qsizetype at)
{
    QByteArray out;
    int depth = 1;
    for (qsizetype i = at; i < data.size(); ++i) {
        const char c = data[i];
        if (c == '\\' && i + 1 < data.size()) {
            const char n = data[++i];
            if (n >= '0' && n <= '7') {
                int value = 0;
                int digits = 0;
                while (digits < 3 && i < data.size() && data[i] >= '0' && data[i] <= '7') {
                    value = value * 8 + (data[i] - '0');
                    ++i;
                    ++digits;
                }
                --i;
                out += char(value);
            } else if (n == 'n') {
                out += '\n';
            } else if (n == 'r') {
                out += '\r';
            } else if (n == 't') {
                out += '\t';
            } else {
                out += n;
            }
            continue;
        }
        if (c == '(')
            ++depth;
        if (c == ')' && --depth == 0)
            break;
        out += c;
    }
    return out;
}

} // namespace

PdfDocumentInfo pdfDocumentInfo(const QString& pdfPath)
{
    PdfDocumentInfo info;
    const QString text = QString::fromUtf8(runTool(QStringLiteral("pdfinfo"), {pdfPath}));
    const QRegularExpression pages(QStringLiteral("^Pages:\\s+(\\d+)"),
                                   QRegularExpression::MultilineOption);
    const QRegularExpression size(QStringLiteral("^Page size:\\s+([\\d.]+) x ([\\d.]+) pts"),
                                  QRegularExpression::MultilineOption);
    if (const auto m = pages.match(text); m.hasMatch())
        info.pages = m.captured(1).toInt();
    if (const auto m = size.match(text); m.hasMatch())
        info.pageSizePt = QSizeF(m.captured(1).toDouble(), m.captured(2).toDouble());
    QFile file(pdfPath);
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray data = file.readAll();
        const qsizetype title = data.indexOf("/Title");
        if (title >= 0) {
            const qsizetype open = data.indexOf('(', title);
            if (open >= 0 && open - title < 16)
                info.titleBytes = readPdfLiteral(data, open + 1);
        }
    }
    return info;
}

QList<PdfImageInfo> pdfImages(const QString& pdfPath)
{
    QList<PdfImageInfo> images;
    const QList<QByteArray> lines =
        runTool(QStringLiteral("pdfimages"), {QStringLiteral("-list"), pdfPath}).split('\n');
    // page num type width height color comp bpc enc interp object ID x-ppi y-ppi size ratio
    for (const QByteArray& line : lines) {
        const QList<QByteArray> f = line.simplified().split(' ');
        bool numeric = false;
        if (f.size() >= 14)
            f[0].toInt(&numeric);
        if (!numeric)
            continue;
        PdfImageInfo image;
        image.width = f[3].toInt();
        image.height = f[4].toInt();
        image.encoding = QString::fromLatin1(f[8]);
        image.xPpi = f[12].toDouble();
        image.yPpi = f[13].toDouble();
        images.append(image);
    }
    return images;
}

QImage extractPdfImage(const QString& pdfPath)
{
    QTemporaryDir dir;
    const QString stem = dir.filePath(QStringLiteral("image"));
    int code = 0;
    runTool(QStringLiteral("pdfimages"),
            {QStringLiteral("-png"), QStringLiteral("-f"), QStringLiteral("1"),
             QStringLiteral("-l"), QStringLiteral("1"), pdfPath, stem},
            &code);
    if (code != 0)
        return {};
    return QImage(stem + QStringLiteral("-000.png")).convertToFormat(QImage::Format_RGB32);
}

QImage renderPdfPage(const QString& pdfPath, int dpi)
{
    QTemporaryDir dir;
    const QString stem = dir.filePath(QStringLiteral("page"));
    int code = 0;
    runTool(QStringLiteral("pdftoppm"),
            {QStringLiteral("-r"), QString::number(dpi), QStringLiteral("-f"), QStringLiteral("1"),
             QStringLiteral("-l"), QStringLiteral("1"), QStringLiteral("-singlefile"),
             QStringLiteral("-png"), pdfPath, stem},
            &code);
    if (code != 0)
        return {};
    return QImage(stem + QStringLiteral(".png")).convertToFormat(QImage::Format_RGB32);
}

QRect colourBounds(const QImage& image, const QColor& colour, int tolerance, const QRect& within)
{
    const QRect area = within.isNull() ? image.rect() : within.intersected(image.rect());
    int left = INT_MAX, top = INT_MAX, right = -1, bottom = -1;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = area.left(); x <= area.right(); ++x) {
            if (colourNear(line[x], colour, tolerance)) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    if (right < 0)
        return {};
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

ScratchQueue::ScratchQueue(const Options& options)
{
    static int counter = 0;
    m_name = QStringLiteral("VelloraTest_%1_%2").arg(::getpid()).arg(++counter);
    QString ppd = QStringLiteral("/etc/cups/ppd/%1.ppd").arg(testQueueName());
    QTemporaryDir dir;
    if (!options.imageableArea.isEmpty()) {
        QFile source(ppd);
        if (!source.open(QIODevice::ReadOnly))
            return;
        QByteArray text = source.readAll();
        text.replace("*ImageableArea A4/A4: \"0 0 595 842\"",
                     "*ImageableArea A4/A4: \"" + options.imageableArea.toLatin1() + '"');
        ppd = dir.filePath(QStringLiteral("queue.ppd"));
        QFile target(ppd);
        if (!target.open(QIODevice::WriteOnly) || target.write(text) != text.size())
            return;
    }
    int code = 0;
    runTool(QStringLiteral("lpadmin"),
            {QStringLiteral("-p"), m_name, QStringLiteral("-E"), QStringLiteral("-v"),
             // The tests' queue's own cups-pdf configuration, so its PDFs land in
             // the tests' folder and the global configuration is never read.
             QStringLiteral("cups-pdf:/") + testQueueName(), QStringLiteral("-P"), ppd,
             QStringLiteral("-o"), QStringLiteral("PageSize=A4"), QStringLiteral("-o"),
             QStringLiteral("TitlePref=1")},
            &code);
    if (code != 0)
        return;
    m_valid = true;
    if (options.stopped) {
        runTool(QStringLiteral("cupsdisable"), {m_name}, &code);
        m_valid = m_valid && code == 0;
    }
    if (options.rejecting) {
        runTool(QStringLiteral("cupsreject"), {m_name}, &code);
        m_valid = m_valid && code == 0;
    }
}

ScratchQueue::~ScratchQueue()
{
    runTool(QStringLiteral("cancel"), {QStringLiteral("-a"), m_name});
    runTool(QStringLiteral("lpadmin"), {QStringLiteral("-x"), m_name});
}

DefaultPrinterOverride::DefaultPrinterOverride(const QString& name)
    : m_previous(qgetenv("LPDEST")), m_hadPrevious(qEnvironmentVariableIsSet("LPDEST"))
{
    qputenv("LPDEST", name.toUtf8());
}

DefaultPrinterOverride::~DefaultPrinterOverride()
{
    if (m_hadPrevious)
        qputenv("LPDEST", m_previous);
    else
        qunsetenv("LPDEST");
}

} // namespace vellora::test
