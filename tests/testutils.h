#pragma once

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QList>
#include <QRect>
#include <QSizeF>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace vellora {
struct AppState;
}

namespace vellora::test {

// A throw-away program folder holding a copy of the built sample photo (and
// whatever a test writes there: 配置.ini, sj.edb, 未打印/).
class TempProgramFolder
{
public:
    TempProgramFolder();
    QString path() const { return m_dir.path(); }
    QString file(const QString& name) const { return m_dir.filePath(name); }
    bool isValid() const { return m_dir.isValid(); }

private:
    QTemporaryDir m_dir;
};

// The program folder of the build (sample photo, shipped sj.edb, 配置.ini).
QString builtProgramFolder();
// tests/data
QString testDataDir();

// Same size and every channel of every pixel within tolerance.
bool fuzzyCompare(const QImage& a, const QImage& b, int tolerance, QString* why = nullptr);
// Every channel within tolerance of the expected colour.
bool colourNear(QRgb actual, const QColor& expected, int tolerance = 0);

// A synthetic photo of w × h: left half red, right half blue, a green band at
// the top and a black band at the bottom (each h / 40 rows), so fitting and
// cutting can be checked by pixel.
QImage markedImage(int width, int height);
// A file's bytes, empty when it cannot be read.
QByteArray fileBytes(const QString& path);
// Writes bytes as the whole file (a test failure when it cannot).
void writeFileBytes(const QString& path, const QByteArray& bytes);
// Writes an image as a JPEG (quality 95) or BMP file; returns the path.
QString writeImage(const QImage& image, const QString& path, const char* format);

// ---- Test printer: the queue of scripts/test-printer.sh ----

// Makes sure CUPS runs with the tests' own PDF queue and makes that queue this
// process's default destination (PRINTER/LPDEST, never the system default);
// returns the folder the queue writes its PDFs to, or empty (and *why) when it
// cannot be set up.
QString ensureTestPrinter(QString* why = nullptr);
// The name of the tests' own queue.
QString testQueueName();
// In CI (CI=true or VELLORA_REQUIRE_PRINTER=1) a missing test printer is a
// failure, not a skip: true-size printing must not go untested while CI says yes.
bool testPrinterRequired();
#define VELLORA_SKIP_WITHOUT_PRINTER(why)                                                          \
    do {                                                                                           \
        if (vellora::test::testPrinterRequired())                                                  \
            QFAIL(qPrintable(QStringLiteral("the test printer is required here: ") + (why)));      \
        QSKIP(qPrintable(QStringLiteral("NO TEST PRINTER, printing untested: ") + (why)));         \
    } while (false)
// Runs a program; its stdout, or empty when it fails (exit code in *exitCode).
QByteArray runTool(const QString& program, const QStringList& arguments, int* exitCode = nullptr);
// The PDF of a CUPS job ("…-job_<id>.pdf"), once the job is completed; empty
// after timeoutMs.
QString waitForJobPdf(const QString& pdfFolder, int jobId, int timeoutMs = 20000);
// The highest id among the jobs of this user on a queue (0: none, -1: error).
int highestJobId(const QString& queue);
// An attribute of a CUPS job in text form, empty when absent.
QString jobAttribute(int jobId, const char* name);

struct PdfDocumentInfo
{
    int pages = 0;
    QSizeF pageSizePt;     // of the first page
    QByteArray titleBytes; // the Info dictionary's /Title, unescaped
};
PdfDocumentInfo pdfDocumentInfo(const QString& pdfPath);

struct PdfImageInfo
{
    int width = 0;
    int height = 0;
    QString encoding; // pdfimages' "enc" column: image, jpeg, jpx, …
    double xPpi = 0;
    double yPpi = 0;
};
QList<PdfImageInfo> pdfImages(const QString& pdfPath);
// The first image embedded in the PDF, as stored (pdfimages -png).
QImage extractPdfImage(const QString& pdfPath);
// The first page rendered at dpi pixels per inch (254: one pixel = 0.1 mm).
QImage renderPdfPage(const QString& pdfPath, int dpi = 254);
// Bounding box of the pixels within tolerance of colour (inside `within`
// when given); null when there are none.
QRect colourBounds(const QImage& image, const QColor& colour, int tolerance = 40,
                   const QRect& within = QRect());

// A throw-away cups-pdf queue of this process, removed on destruction.
// imageableArea overrides the A4 printable area ("left bottom right top" in
// points, as a PPD writes it); a queue can start stopped or rejecting.
class ScratchQueue
{
public:
    struct Options
    {
        QString imageableArea;
        bool stopped = false;
        bool rejecting = false;
    };
    explicit ScratchQueue(const Options& options);
    ~ScratchQueue();
    ScratchQueue(const ScratchQueue&) = delete;
    ScratchQueue& operator=(const ScratchQueue&) = delete;
    QString name() const { return m_name; }
    bool isValid() const { return m_valid; }

private:
    QString m_name;
    bool m_valid = false;
};

// Makes `name` this process's default destination (CUPS reads LPDEST), for
// Qt and CUPS alike; a name no queue has means "no default printer".
// Restores the previous value on destruction.
class DefaultPrinterOverride
{
public:
    explicit DefaultPrinterOverride(const QString& name);
    ~DefaultPrinterOverride();
    DefaultPrinterOverride(const DefaultPrinterOverride&) = delete;
    DefaultPrinterOverride& operator=(const DefaultPrinterOverride&) = delete;

private:
    QByteArray m_previous;
    bool m_hadPrevious = false;
};

} // namespace vellora::test
