#include "printing/PrinterDevice.h"

#include <QDir>
#include <QFile>
#include <QPageLayout>
#include <QPrinter>
#include <QPrinterInfo>
#include <QTemporaryFile>

#include <cups/cups.h>

#include <memory>

namespace vellora {

namespace {

// Unattended printing must never hang on the printing system: every request
// of ours gives up after a few seconds.
constexpr int kConnectTimeoutMs = 3000;
constexpr double kReplyTimeoutSeconds = 3.0;

struct HttpCloser
{
    void operator()(http_t* http) const { httpClose(http); }
};
using Connection = std::unique_ptr<http_t, HttpCloser>;

struct IppDeleter
{
    void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using IppMessage = std::unique_ptr<ipp_t, IppDeleter>;

int stopWaiting(http_t*, void*)
{
    return 0;
}

Connection connectToScheduler()
{
    int cancel = 0;
    http_t* http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                                kConnectTimeoutMs, &cancel);
    if (http != nullptr)
        httpSetTimeout(http, kReplyTimeoutSeconds, stopWaiting, nullptr);
    return Connection(http);
}

QString lastCupsError()
{
    return QString::fromUtf8(cupsLastErrorString());
}

// "name/instance" names an instance of the queue "name".
QByteArray queueOf(const QString& printerName)
{
    return printerName.section(u'/', 0, 0).toUtf8();
}

} // namespace

QueueCheck checkPrintQueue(const QString& printerName)
{
    QueueCheck check;
    const Connection http = connectToScheduler();
    if (!http) {
        check.reason = QStringLiteral("the printing system (CUPS) is not running");
        return check;
    }
    const QByteArray queue = queueOf(printerName);
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0,
                     "/printers/%s", queue.constData());
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    static const char* const wanted[] = {"printer-state", "printer-is-accepting-jobs",
                                         "printer-state-message"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  int(std::size(wanted)), nullptr, wanted);
    const IppMessage response(cupsDoRequest(http.get(), request, "/"));
    if (!response || cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
        if (cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND)
            check.reason = QStringLiteral("the printer \"%1\" is not known").arg(printerName);
        else
            check.reason = QStringLiteral("the printer \"%1\" cannot be asked: %2")
                               .arg(printerName, lastCupsError());
        return check;
    }
    const QString message = QString::fromUtf8(ippGetString(
        ippFindAttribute(response.get(), "printer-state-message", IPP_TAG_TEXT), 0, nullptr));
    ipp_attribute_t* state = ippFindAttribute(response.get(), "printer-state", IPP_TAG_ENUM);
    if (state != nullptr && ippGetInteger(state, 0) == IPP_PSTATE_STOPPED) {
        check.reason = QStringLiteral("the printer \"%1\" is stopped").arg(printerName);
        if (!message.isEmpty())
            check.reason += QStringLiteral(": ") + message;
        return check;
    }
    ipp_attribute_t* accepting =
        ippFindAttribute(response.get(), "printer-is-accepting-jobs", IPP_TAG_BOOLEAN);
    if (accepting != nullptr && !ippGetBoolean(accepting, 0)) {
        check.reason = QStringLiteral("the printer \"%1\" does not accept jobs").arg(printerName);
        return check;
    }
    check.ready = true;
    return check;
}

QString defaultPrinterName()
{
    return QPrinterInfo::defaultPrinter().printerName();
}

QRectF sheetPlacementOnPage(const QPageLayout& page, const QRect& tenthsMm)
{
    const QRectF printable = page.paintRect(QPageLayout::Point);
    const double pointsPerTenthMm = 72.0 / 254.0;
    return QRectF(printable.left() + tenthsMm.x() * pointsPerTenthMm,
                  printable.top() + tenthsMm.y() * pointsPerTenthMm,
                  tenthsMm.width() * pointsPerTenthMm, tenthsMm.height() * pointsPerTenthMm);
}

namespace {

QByteArray pdfNumber(double value)
{
    QByteArray text = QByteArray::number(value, 'f', 4);
    while (text.endsWith('0'))
        text.chop(1);
    if (text.endsWith('.'))
        text.chop(1);
    return text == "-0" ? QByteArray("0") : text;
}

// A text string of the document information: UTF-16BE with its mark, in hex.
QByteArray pdfTextString(const QString& text)
{
    QByteArray utf16 = "\xFE\xFF";
    for (const QChar c : text) {
        utf16.append(char(c.unicode() >> 8));
        utf16.append(char(c.unicode() & 0xFF));
    }
    return '<' + utf16.toHex().toUpper() + '>';
}

// The picture's pixels as 8-bit RGB rows, top row first, deflated. Deflate
// at its fastest level: the job is handed over in a fraction of the time the
// default level takes, and the printing system's own filters recompress it.
QByteArray deflatedRgb(const QImage& picture)
{
    const QImage image = picture.convertToFormat(QImage::Format_RGB32);
    const qsizetype rowBytes = qsizetype(image.width()) * 3;
    QByteArray raw(rowBytes * image.height(), Qt::Uninitialized);
    auto* out = reinterpret_cast<uchar*>(raw.data());
    for (int y = 0; y < image.height(); ++y) {
        const auto* in = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            *out++ = uchar(qRed(in[x]));
            *out++ = uchar(qGreen(in[x]));
            *out++ = uchar(qBlue(in[x]));
        }
    }
    QByteArray deflated = qCompress(raw, 1);
    if (deflated.size() < 4)
        return {};
    deflated.remove(0, 4); // Qt's length prefix; a zlib stream follows, as FlateDecode reads
    return deflated;
}

} // namespace

QByteArray sheetPdf(const QImage& picture, const QPageLayout& page, const QRectF& placement,
                    const QString& title)
{
    const QRectF paper = page.fullRect(QPageLayout::Point);
    const QRectF printable = page.paintRect(QPageLayout::Point);
    const double pageHeight = paper.height();
    QByteArray content = "q\n";
    // PDF space has its origin at the bottom-left corner, y upward.
    content += pdfNumber(printable.left()) + ' ' + pdfNumber(pageHeight - printable.bottom()) +
               ' ' + pdfNumber(printable.width()) + ' ' + pdfNumber(printable.height()) +
               " re W n\n";
    const bool drawn = !picture.isNull() && !placement.isEmpty();
    QByteArray pixels;
    if (drawn) {
        pixels = deflatedRgb(picture);
        content += pdfNumber(placement.width()) + " 0 0 " + pdfNumber(placement.height()) + ' ' +
                   pdfNumber(placement.left()) + ' ' + pdfNumber(pageHeight - placement.bottom()) +
                   " cm\n/Im0 Do\n";
    }
    content += "Q\n";

    QByteArray pdf = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    QList<qsizetype> offsets;
    const auto object = [&](const QByteArray& body) {
        offsets.append(pdf.size());
        pdf += QByteArray::number(offsets.size()) + " 0 obj\n" + body + "\nendobj\n";
    };
    object("<< /Type /Catalog /Pages 2 0 R >>");
    object("<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    object("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + pdfNumber(paper.width()) + ' ' +
           pdfNumber(pageHeight) + "] /Resources << " +
           (drawn ? QByteArray("/XObject << /Im0 5 0 R >> ") : QByteArray()) +
           ">> /Contents 4 0 R >>");
    object("<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content +
           "endstream");
    object("<< /Type /XObject /Subtype /Image /Width " + QByteArray::number(picture.width()) +
           " /Height " + QByteArray::number(picture.height()) +
           " /ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter /FlateDecode /Length " +
           QByteArray::number(pixels.size()) + " >>\nstream\n" + pixels + "\nendstream");
    object("<< /Title " + pdfTextString(title) + " /Creator (Vellora) >>");
    const qsizetype xref = pdf.size();
    pdf += "xref\n0 " + QByteArray::number(offsets.size() + 1) + "\n0000000000 65535 f \n";
    for (qsizetype offset : std::as_const(offsets))
        pdf += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    pdf += "trailer\n<< /Size " + QByteArray::number(offsets.size() + 1) +
           " /Root 1 0 R /Info 6 0 R >>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
    return pdf;
}

PrinterDevice::PrinterDevice() = default;

PrinterDevice::~PrinterDevice() = default;

PrinterDevice::Start PrinterDevice::startJob(const PrintDialogSeam& dialog)
{
    // Without a scheduler there is neither a default printer nor anything the
    // dialog could offer; that is a failure to print, not a choice.
    if (!connectToScheduler()) {
        m_error = QStringLiteral("the printing system (CUPS) is not running");
        return Start::Failed;
    }
    m_printerName = defaultPrinterName();
    if (m_printerName.isEmpty()) {
        m_printerName = dialog ? dialog() : QString();
        if (m_printerName.isEmpty())
            return Start::Cancelled;
    }
    const QueueCheck check = checkPrintQueue(m_printerName);
    if (!check.ready) {
        m_error = check.reason;
        return Start::Failed;
    }
    // The printer's own description gives the paper and its unprintable
    // margins; the page itself is written as a PDF of exactly that paper and
    // handed to the queue, keeping the id the scheduler gives the job.
    QPrinter device(QPrinter::HighResolution);
    device.setPrinterName(m_printerName);
    if (device.outputFormat() != QPrinter::NativeFormat || device.printerName() != m_printerName ||
        !device.isValid()) {
        m_error = QStringLiteral("the printer \"%1\" cannot be opened").arg(m_printerName);
        return Start::Failed;
    }
    // Paper and the rest stay the printer's defaults. Qt's own default margins
    // (10 pt) would shift the sheet; the printer's unprintable margins are
    // where the printable area, and so the sheet's corner, begins.
    m_page = device.pageLayout();
    m_page.setOrientation(QPageLayout::Portrait);
    m_page.setUnits(QPageLayout::Point);
    m_page.setMargins(m_page.minimumMargins());
    if (!m_page.isValid() || m_page.paintRect(QPageLayout::Point).isEmpty()) {
        m_error = QStringLiteral("the printer \"%1\" has no usable paper").arg(m_printerName);
        return Start::Failed;
    }
    m_started = true;
    return Start::Started;
}

void PrinterDevice::drawPicture(const QImage& picture, int x, int y, int width, int height)
{
    if (!m_started || picture.isNull())
        return;
    m_picture = picture;
    m_placement = sheetPlacementOnPage(m_page, QRect(x, y, width, height));
}

bool PrinterDevice::endJob()
{
    if (!m_started) {
        if (m_error.isEmpty())
            m_error = QStringLiteral("no job is open");
        return false;
    }
    m_started = false;
    QTemporaryFile document(QDir::temp().filePath(QStringLiteral("vellora-sheet-XXXXXX.pdf")));
    const QByteArray pdf =
        sheetPdf(m_picture, m_page, m_placement, QString::fromUtf16(kPrintJobName));
    if (!document.open() || document.write(pdf) != pdf.size() || !document.flush()) {
        m_error = QStringLiteral("no room for the print job: %1").arg(document.errorString());
        return false;
    }
    document.close();
    const Connection http = connectToScheduler();
    if (!http) {
        m_error = QStringLiteral("the printing system (CUPS) is not running");
        return false;
    }
    cups_option_t* options = nullptr;
    int count = cupsAddOption("copies", "1", 0, &options);
    const QByteArray file = QFile::encodeName(document.fileName());
    const QByteArray title = QString::fromUtf16(kPrintJobName).toUtf8();
    const int ours = cupsPrintFile2(http.get(), queueOf(m_printerName).constData(),
                                    file.constData(), title.constData(), count, options);
    cupsFreeOptions(count, options);
    if (ours <= 0) {
        m_error = QStringLiteral("the printer \"%1\" did not take the job: %2")
                      .arg(m_printerName, lastCupsError());
        return false;
    }
    m_jobId = ours;
    return true;
}

} // namespace vellora
