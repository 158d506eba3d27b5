#include "printing/PrinterDevice.h"

#include <QDir>
#include <QFile>
#include <QPageLayout>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>
#include <QStringList>
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
                                         "printer-state-message", "printer-state-reasons"};
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
    QString message = QString::fromUtf8(ippGetString(
        ippFindAttribute(response.get(), "printer-state-message", IPP_TAG_TEXT), 0, nullptr));
    // The printer's own words for why (media-empty, offline-report, paused…).
    QStringList reasons;
    ipp_attribute_t* reasonList =
        ippFindAttribute(response.get(), "printer-state-reasons", IPP_TAG_KEYWORD);
    for (int i = 0; reasonList != nullptr && i < ippGetCount(reasonList); ++i) {
        const QString reason = QString::fromUtf8(ippGetString(reasonList, i, nullptr));
        if (!reason.isEmpty() && reason != u"none")
            reasons << reason;
    }
    if (!reasons.isEmpty())
        message += (message.isEmpty() ? QString() : QStringLiteral(" ")) + u'(' +
                   reasons.join(QStringLiteral(", ")) + u')';
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
        if (!message.isEmpty())
            check.reason += QStringLiteral(": ") + message;
        return check;
    }
    check.ready = true;
    return check;
}

QString defaultPrinterName()
{
    return QPrinterInfo::defaultPrinter().printerName();
}

PrinterDevice::PrinterDevice() = default;

PrinterDevice::~PrinterDevice()
{
    if (m_painter && m_painter->isActive())
        m_painter->end();
}

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
    // The printer's own description gives the paper, its unprintable margins
    // and the resolution; the page itself is made as a PDF of exactly that
    // paper and handed to the queue, as Qt's own CUPS path does, but keeping
    // the id the scheduler gives the job.
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
    QPageLayout layout = device.pageLayout();
    layout.setOrientation(QPageLayout::Portrait);
    layout.setMargins(layout.minimumMargins());

    m_document = std::make_unique<QTemporaryFile>(
        QDir::temp().filePath(QStringLiteral("vellora-sheet-XXXXXX.pdf")));
    if (!m_document->open()) {
        m_error = QStringLiteral("no room for the print job: %1").arg(m_document->errorString());
        return Start::Failed;
    }
    m_document->close();
    m_printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
    m_printer->setOutputFormat(QPrinter::PdfFormat);
    m_printer->setOutputFileName(m_document->fileName());
    m_printer->setResolution(device.resolution());
    m_printer->setFullPage(false);
    if (!m_printer->setPageLayout(layout)) {
        m_error = QStringLiteral("the printer \"%1\" refuses portrait").arg(m_printerName);
        return Start::Failed;
    }
    m_printer->setCopyCount(1);
    m_printer->setDocName(QString::fromUtf16(kPrintJobName));
    m_printer->setCreator(QStringLiteral("Vellora"));

    m_painter = std::make_unique<QPainter>();
    if (!m_painter->begin(m_printer.get())) {
        m_error = QStringLiteral("the job on \"%1\" cannot be started").arg(m_printerName);
        return Start::Failed;
    }
    // Otherwise the sheet travels as a lossy JPEG inside the job.
    m_painter->setRenderHint(QPainter::LosslessImageRendering, true);
    m_painter->setRenderHint(QPainter::SmoothPixmapTransform, false);
    // The device cannot mark beyond its printable area: what lies there is cut.
    m_painter->setClipRect(
        QRectF(QPointF(0, 0), m_printer->pageRect(QPrinter::DevicePixel).size()));
    return Start::Started;
}

int PrinterDevice::resolution() const
{
    return m_printer ? m_printer->resolution() : 0;
}

void PrinterDevice::drawPicture(const QImage& picture, int x, int y, int width, int height)
{
    if (!m_painter || !m_painter->isActive() || picture.isNull())
        return;
    const double perTenthMm = m_printer->resolution() / 254.0;
    m_painter->drawImage(
        QRectF(x * perTenthMm, y * perTenthMm, width * perTenthMm, height * perTenthMm), picture);
}

bool PrinterDevice::endJob()
{
    if (!m_painter || !m_painter->isActive()) {
        if (m_error.isEmpty())
            m_error = QStringLiteral("no job is open");
        return false;
    }
    if (!m_painter->end()) {
        m_error = QStringLiteral("the page could not be finished");
        return false;
    }
    const Connection http = connectToScheduler();
    if (!http) {
        m_error = QStringLiteral("the printing system (CUPS) is not running");
        return false;
    }
    cups_option_t* options = nullptr;
    int count = cupsAddOption("copies", "1", 0, &options);
    const QByteArray file = QFile::encodeName(m_document->fileName());
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
