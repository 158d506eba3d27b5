#include "printing/PrinterDevice.h"

#include <QDir>
#include <QFile>
#include <QPageLayout>
#include <QPrinter>
#include <QPrinterInfo>
#include <QSet>
#include <QStringList>

#include <cups/cups.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

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

QString printerTroubleText(const QStringList& reasons, const QString& message)
{
    // The printer's keywords carry a severity suffix (media-empty-error).
    static const QList<std::pair<QLatin1StringView, const char16_t*>> known = {
        {QLatin1StringView("media-empty"), u"缺纸"},
        {QLatin1StringView("media-needed"), u"缺纸"},
        {QLatin1StringView("media-jam"), u"卡纸"},
        {QLatin1StringView("marker-supply-empty"), u"色带/墨盒用完"},
        {QLatin1StringView("marker-supply-low"), u"色带/墨盒将尽"},
        {QLatin1StringView("door-open"), u"盖板打开"},
        {QLatin1StringView("offline"), u"打印机未连接"},
        {QLatin1StringView("connecting-to-device"), u"打印机未连接"},
        {QLatin1StringView("paused"), u"已暂停"},
    };
    QStringList texts;
    bool unknown = false;
    for (QString reason : reasons) {
        for (const char* suffix : {"-error", "-warning", "-report"})
            if (reason.endsWith(QLatin1StringView(suffix))) {
                reason.chop(int(qstrlen(suffix)));
                break;
            }
        if (reason.isEmpty() || reason == u"none")
            continue;
        const auto it = std::find_if(known.begin(), known.end(),
                                     [&](const auto& k) { return reason == k.first; });
        if (it == known.end()) {
            unknown = true;
            continue;
        }
        const QString text = QString::fromUtf16(it->second);
        if (!texts.contains(text))
            texts << text;
    }
    // Anything else in the scheduler's own words: its message, or the keywords.
    if (unknown || texts.isEmpty()) {
        QString own = message.trimmed();
        if (own.isEmpty() && unknown) {
            QStringList rest;
            for (const QString& reason : reasons)
                if (!reason.isEmpty() && reason != u"none")
                    rest << reason;
            own = rest.join(QStringLiteral(", "));
        }
        if (!own.isEmpty() && !texts.contains(own))
            texts << own;
    }
    return texts.join(QStringLiteral("，"));
}

QueueCheck checkPrintQueue(const QString& printerName)
{
    QueueCheck check;
    const Connection http = connectToScheduler();
    if (!http) {
        check.reason = QStringLiteral("打印系统（CUPS）没有运行");
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
            check.reason = QStringLiteral("打印机“%1”不存在").arg(printerName);
        else
            check.reason =
                QStringLiteral("打印机“%1”没有回答：%2").arg(printerName, lastCupsError());
        return check;
    }
    const QString message = QString::fromUtf8(ippGetString(
        ippFindAttribute(response.get(), "printer-state-message", IPP_TAG_TEXT), 0, nullptr));
    QStringList reasons;
    ipp_attribute_t* reasonList =
        ippFindAttribute(response.get(), "printer-state-reasons", IPP_TAG_KEYWORD);
    for (int i = 0; reasonList != nullptr && i < ippGetCount(reasonList); ++i)
        reasons << QString::fromUtf8(ippGetString(reasonList, i, nullptr));
    const QString why = printerTroubleText(reasons, message);
    ipp_attribute_t* state = ippFindAttribute(response.get(), "printer-state", IPP_TAG_ENUM);
    if (state != nullptr && ippGetInteger(state, 0) == IPP_PSTATE_STOPPED) {
        check.reason = QStringLiteral("打印机“%1”已停止").arg(printerName);
        if (!why.isEmpty())
            check.reason += QStringLiteral("：") + why;
        return check;
    }
    ipp_attribute_t* accepting =
        ippFindAttribute(response.get(), "printer-is-accepting-jobs", IPP_TAG_BOOLEAN);
    if (accepting != nullptr && !ippGetBoolean(accepting, 0)) {
        check.reason = QStringLiteral("打印机“%1”不接受作业").arg(printerName);
        if (!why.isEmpty())
            check.reason += QStringLiteral("：") + why;
        return check;
    }
    check.ready = true;
    return check;
}

QString defaultPrinterName(QString* unanswered)
{
    // Asked over a connection of our own with its deadline, not through Qt's
    // printer list: this is looked up every few seconds while monitoring,
    // and a hung scheduler must not hang the caller.
    const Connection http = connectToScheduler();
    if (!http) {
        if (unanswered)
            *unanswered = QStringLiteral("打印系统（CUPS）没有运行");
        return {};
    }
    cups_dest_t* dest = cupsGetNamedDest(http.get(), nullptr, nullptr);
    if (dest == nullptr) {
        // None at all, or no answer: not the same thing to an operator.
        // CUPS reports both as "not found"; the connection tells them apart.
        if (unanswered && httpError(http.get()) != 0)
            *unanswered =
                httpError(http.get()) == ETIMEDOUT
                    ? QStringLiteral("打印系统没有回答（等了 %1 秒）").arg(kReplyTimeoutSeconds)
                    : QStringLiteral("打印系统没有回答：") +
                          QString::fromLocal8Bit(std::strerror(httpError(http.get())));
        return {};
    }
    QString name = QString::fromUtf8(dest->name);
    if (dest->instance != nullptr)
        name += u'/' + QString::fromUtf8(dest->instance);
    cupsFreeDests(1, dest);
    return name;
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

// Rows y0 … y1 − 1 of the picture as 8-bit RGB, raw-deflated at the fastest
// level (the printing system's own filters recompress the page anyway). A
// part that is not the last ends on a byte boundary without a final block,
// so the parts can simply follow one another.
struct DeflatedPart
{
    QByteArray data;
    uLong adler = 1; // adler32 of the part's raw bytes
    uLong rawBytes = 0;
    bool ok = false;
};

DeflatedPart deflateRows(const QImage& image, int y0, int y1, bool last)
{
    DeflatedPart part;
    z_stream zs{};
    if (deflateInit2(&zs, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return part;
    const int width = image.width();
    const uLong rowBytes = uLong(width) * 3;
    constexpr int kBatchRows = 32;
    std::vector<Bytef> rgb(size_t(rowBytes) * kBatchRows);
    part.data.resize(qsizetype(deflateBound(&zs, rowBytes * uLong(std::max(y1 - y0, 0))) + 64));
    zs.next_out = reinterpret_cast<Bytef*>(part.data.data());
    zs.avail_out = uInt(part.data.size());
    int y = y0;
    do {
        const int rows = std::min(kBatchRows, y1 - y);
        Bytef* out = rgb.data();
        for (int r = 0; r < rows; ++r) {
            const auto* in = reinterpret_cast<const QRgb*>(image.constScanLine(y + r));
            for (int x = 0; x < width; ++x) {
                *out++ = Bytef(qRed(in[x]));
                *out++ = Bytef(qGreen(in[x]));
                *out++ = Bytef(qBlue(in[x]));
            }
        }
        y += std::max(rows, 0);
        const uLong bytes = rowBytes * uLong(std::max(rows, 0));
        part.adler = adler32(part.adler, rgb.data(), uInt(bytes));
        part.rawBytes += bytes;
        zs.next_in = rgb.data();
        zs.avail_in = uInt(bytes);
        const int flush = y < y1 ? Z_NO_FLUSH : last ? Z_FINISH : Z_SYNC_FLUSH;
        const int status = deflate(&zs, flush);
        if (status == Z_STREAM_ERROR || zs.avail_in != 0 || zs.avail_out == 0) {
            deflateEnd(&zs);
            return part;
        }
    } while (y < y1);
    part.data.resize(qsizetype(zs.total_out));
    deflateEnd(&zs);
    part.ok = true;
    return part;
}

} // namespace

QByteArray deflatedSheetPixels(const QImage& picture)
{
    const QImage image = picture.convertToFormat(QImage::Format_RGB32);
    const int middle = image.height() / 2;
    DeflatedPart top;
    std::thread topThread([&] { top = deflateRows(image, 0, middle, false); });
    const DeflatedPart bottom = deflateRows(image, middle, image.height(), true);
    topThread.join();
    if (!top.ok || !bottom.ok)
        return {};
    const uLong adler = adler32_combine(top.adler, bottom.adler, z_off_t(bottom.rawBytes));
    QByteArray stream;
    stream.reserve(2 + top.data.size() + bottom.data.size() + 4);
    stream += "\x78\x01"; // deflate, 32 KiB window, fastest level
    stream += top.data;
    stream += bottom.data;
    for (int shift = 24; shift >= 0; shift -= 8)
        stream += char((adler >> shift) & 0xFF);
    return stream;
}

bool writeSheetPdf(QIODevice& out, QSize pictureSize, const QByteArray& pixels,
                   const QPageLayout& page, const QRectF& placement, const QString& title)
{
    const QRectF paper = page.fullRect(QPageLayout::Point);
    const QRectF printable = page.paintRect(QPageLayout::Point);
    const double pageHeight = paper.height();
    QByteArray content = "q\n";
    // PDF space has its origin at the bottom-left corner, y upward.
    content += pdfNumber(printable.left()) + ' ' + pdfNumber(pageHeight - printable.bottom()) +
               ' ' + pdfNumber(printable.width()) + ' ' + pdfNumber(printable.height()) +
               " re W n\n";
    const bool drawn = !pictureSize.isEmpty() && !pixels.isEmpty() && !placement.isEmpty();
    if (drawn) {
        content += pdfNumber(placement.width()) + " 0 0 " + pdfNumber(placement.height()) + ' ' +
                   pdfNumber(placement.left()) + ' ' + pdfNumber(pageHeight - placement.bottom()) +
                   " cm\n/Im0 Do\n";
    }
    content += "Q\n";

    // Written piece by piece: the pixels are never copied into one buffer.
    qint64 written = 0;
    bool ok = true;
    const auto put = [&](const QByteArray& bytes) {
        ok = ok && out.write(bytes) == bytes.size();
        written += bytes.size();
    };
    QList<qint64> offsets;
    const auto object = [&](const QByteArray& head, const QByteArray* stream = nullptr) {
        offsets.append(written);
        put(QByteArray::number(offsets.size()) + " 0 obj\n" + head);
        if (stream) {
            put("\nstream\n");
            put(*stream);
            put("\nendstream");
        }
        put("\nendobj\n");
    };
    put("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n");
    object("<< /Type /Catalog /Pages 2 0 R >>");
    object("<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    object("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + pdfNumber(paper.width()) + ' ' +
           pdfNumber(pageHeight) + "] /Resources << " +
           (drawn ? QByteArray("/XObject << /Im0 5 0 R >> ") : QByteArray()) +
           ">> /Contents 4 0 R >>");
    object("<< /Length " + QByteArray::number(content.size()) + " >>", &content);
    object("<< /Type /XObject /Subtype /Image /Width " + QByteArray::number(pictureSize.width()) +
               " /Height " + QByteArray::number(pictureSize.height()) +
               " /ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter /FlateDecode /Length " +
               QByteArray::number(pixels.size()) + " >>",
           &pixels);
    object("<< /Title " + pdfTextString(title) + " /Creator (Vellora) >>");
    const qint64 xref = written;
    QByteArray tail =
        "xref\n0 " + QByteArray::number(offsets.size() + 1) + "\n0000000000 65535 f \n";
    for (qint64 offset : std::as_const(offsets))
        tail += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    tail += "trailer\n<< /Size " + QByteArray::number(offsets.size() + 1) +
            " /Root 1 0 R /Info 6 0 R >>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
    put(tail);
    return ok;
}

PrinterDevice::PrinterDevice() = default;

PrinterDevice::~PrinterDevice() = default;

PrinterDevice::Start PrinterDevice::startJob(const PrintDialogSeam& dialog)
{
    // Without a scheduler there is neither a default printer nor anything the
    // dialog could offer; that is a failure to print, not a choice.
    if (!connectToScheduler()) {
        m_error = QStringLiteral("打印系统（CUPS）没有运行");
        return Start::Failed;
    }
    QString unanswered;
    m_printerName = m_chosen.isEmpty() ? defaultPrinterName(&unanswered) : m_chosen;
    if (!unanswered.isEmpty()) {
        m_error = unanswered;
        return Start::Failed;
    }
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
        m_error = QStringLiteral("打印机“%1”无法打开").arg(m_printerName);
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
        m_error = QStringLiteral("打印机“%1”没有可用的纸张").arg(m_printerName);
        return Start::Failed;
    }
    m_started = true;
    return Start::Started;
}

void PrinterDevice::drawPicture(const QImage& picture, int x, int y, int width, int height)
{
    drawPicture(picture.size(), deflatedSheetPixels(picture), x, y, width, height);
}

void PrinterDevice::drawPicture(QSize pictureSize, QByteArray deflatedPixels, int x, int y,
                                int width, int height)
{
    if (!m_started || pictureSize.isEmpty() || deflatedPixels.isEmpty())
        return;
    m_pictureSize = pictureSize;
    m_pixels = std::move(deflatedPixels);
    m_placement = sheetPlacementOnPage(m_page, QRect(x, y, width, height));
}

bool PrinterDevice::endJob()
{
    return handOff({}) == HandOff::Sent;
}

namespace {

// The document goes straight into the Send-Document request: no copy of the
// sheet is left in a temporary folder.
class RequestBody : public QIODevice
{
public:
    explicit RequestBody(http_t* http) : m_http(http) {}
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override
    {
        return cupsWriteRequestData(m_http, data, size_t(size)) == HTTP_STATUS_CONTINUE ? size : -1;
    }

private:
    http_t* m_http;
};

bool cancelJob(http_t* http, const QByteArray& queue, int jobId)
{
    return cupsCancelJob2(http, queue.constData(), jobId, 0) == IPP_STATUS_OK;
}

} // namespace

PrinterDevice::HandOff PrinterDevice::handOff(const JobRecorder& recordJob)
{
    if (!m_started) {
        if (m_error.isEmpty())
            m_error = QStringLiteral("no job is open");
        return HandOff::NotSent;
    }
    m_started = false;
    const Connection http = connectToScheduler();
    if (!http) {
        m_error = QStringLiteral("打印系统（CUPS）没有运行");
        return HandOff::NotSent;
    }
    const QByteArray queue = queueOf(m_printerName);
    const QByteArray title = QString::fromUtf16(kPrintJobName).toUtf8();
    cups_option_t* options = nullptr;
    const int count = cupsAddOption("copies", "1", 0, &options);
    const int job = cupsCreateJob(http.get(), queue.constData(), title.constData(), count, options);
    cupsFreeOptions(count, options);
    if (job <= 0) {
        m_error = QStringLiteral("the printer \"%1\" did not take the job: %2")
                      .arg(m_printerName, lastCupsError());
        return HandOff::NotSent;
    }
    m_jobId = job;
    if (recordJob && !recordJob(job)) {
        cancelJob(http.get(), queue, job);
        m_error = QStringLiteral("job %1 could not be recorded, so it was not sent").arg(job);
        return HandOff::NotSent;
    }
    bool sent = cupsStartDocument(http.get(), queue.constData(), job, title.constData(),
                                  CUPS_FORMAT_PDF, 1) == HTTP_STATUS_CONTINUE;
    if (sent) {
        RequestBody body(http.get());
        body.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
        const bool written = writeSheetPdf(body, m_pictureSize, m_pixels, m_page, m_placement,
                                           QString::fromUtf16(kPrintJobName));
        // Finished even when writing failed: the scheduler then drops the
        // document rather than wait for the rest.
        sent = cupsFinishDocument(http.get(), queue.constData()) <= IPP_STATUS_OK_CONFLICTING &&
               written;
    }
    if (sent)
        return HandOff::Sent;
    m_error = QStringLiteral("the printer \"%1\" did not take the document of job %2: %3")
                  .arg(m_printerName)
                  .arg(job)
                  .arg(lastCupsError());
    if (recordJob)
        return HandOff::Unsure;
    // Nobody recorded the job to ask about it later: it must not print
    // behind the caller's back once the caller has kept the sheet instead.
    cancelJob(http.get(), queue, job);
    return HandOff::NotSent;
}

namespace {

// What a job's state tells, for a job whose document the scheduler has (or
// that is past waiting for it).
JobReconciliation judgeJob(int jobId, int jobState, const QStringList& reasons, int pages)
{
    using Fate = JobReconciliation::Fate;
    JobReconciliation answer;
    answer.jobState = jobState;
    answer.stateReasons = reasons;
    answer.pagesCompleted = pages;
    const QString said = reasons.join(QStringLiteral(", "));
    switch (jobState) {
    case IPP_JSTATE_HELD:
    case IPP_JSTATE_PENDING:
    case IPP_JSTATE_PROCESSING:
    case IPP_JSTATE_STOPPED:
        answer.fate = Fate::AlreadyThere;
        answer.reason = said;
        return answer;
    case IPP_JSTATE_COMPLETED:
        answer.fate = Fate::Printed;
        return answer;
    case IPP_JSTATE_CANCELED:
    case IPP_JSTATE_ABORTED:
        if (pages == 0) {
            answer.fate = Fate::SendAgain;
            answer.reason = QStringLiteral("作业 %1 未打印就结束了（%2）").arg(jobId).arg(said);
        } else {
            answer.fate = Fate::Failed;
            answer.reason =
                QStringLiteral("作业 %1 打印了 %2 页后结束（%3）").arg(jobId).arg(pages).arg(said);
        }
        return answer;
    default:
        answer.reason = QStringLiteral("作业 %1 处于未知状态 %2").arg(jobId).arg(jobState);
        return answer;
    }
}

JobReconciliation unknownJob(const QString& printerName, int jobId, bool documentSent)
{
    JobReconciliation answer;
    if (documentSent) {
        answer.fate = JobReconciliation::Fate::Failed;
        answer.reason =
            QStringLiteral("打印系统已不知道打印机“%2”上的作业 %1，无法判断它是否已打印")
                .arg(jobId)
                .arg(printerName);
    } else {
        answer.fate = JobReconciliation::Fate::SendAgain;
        answer.reason = QStringLiteral("作业 %1 没有到达打印机“%2”").arg(jobId).arg(printerName);
    }
    return answer;
}

const char* const kJobAttributes[] = {"job-id",
                                      "job-state",
                                      "job-state-reasons",
                                      "job-impressions-completed",
                                      "job-media-sheets-completed",
                                      "job-printer-uri"};

struct JobAttributes
{
    int id = 0;
    int state = 0;
    QStringList reasons;
    int pages = 0; // the larger of impressions and media sheets completed
};

// The jobs of a response, one per job group (groups end at a separator).
QList<JobAttributes> readJobs(ipp_t* response)
{
    QList<JobAttributes> jobs;
    JobAttributes job;
    bool inJob = false;
    const auto finish = [&] {
        if (inJob)
            jobs << job;
        job = JobAttributes{};
        inJob = false;
    };
    for (ipp_attribute_t* a = ippFirstAttribute(response); a != nullptr;
         a = ippNextAttribute(response)) {
        const char* name = ippGetName(a);
        if (name == nullptr || ippGetGroupTag(a) != IPP_TAG_JOB) {
            finish();
            continue;
        }
        inJob = true;
        if (qstrcmp(name, "job-id") == 0)
            job.id = ippGetInteger(a, 0);
        else if (qstrcmp(name, "job-state") == 0)
            job.state = ippGetInteger(a, 0);
        else if (qstrcmp(name, "job-state-reasons") == 0)
            for (int i = 0; i < ippGetCount(a); ++i)
                job.reasons << QString::fromUtf8(ippGetString(a, i, nullptr));
        else if (qstrcmp(name, "job-impressions-completed") == 0 ||
                 qstrcmp(name, "job-media-sheets-completed") == 0)
            job.pages = std::max(job.pages, ippGetInteger(a, 0));
    }
    finish();
    return jobs;
}

} // namespace

JobReconciliation reconcileJob(const QString& printerName, int jobId, bool documentSent)
{
    using Fate = JobReconciliation::Fate;
    JobReconciliation answer;
    const Connection http = connectToScheduler();
    if (!http) {
        answer.reason = QStringLiteral("打印系统（CUPS）没有运行");
        return answer;
    }
    const QByteArray queue = queueOf(printerName);
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0,
                     "/jobs/%d", jobId);
    ipp_t* request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  int(std::size(kJobAttributes)), nullptr, kJobAttributes);
    const IppMessage response(cupsDoRequest(http.get(), request, "/"));
    const ipp_status_t status = cupsLastError();
    bool known = true;
    if (status == IPP_STATUS_ERROR_NOT_FOUND) {
        known = false;
    } else if (!response || status > IPP_STATUS_OK_CONFLICTING) {
        answer.reason = QStringLiteral("无法询问作业 %1：%2").arg(jobId).arg(lastCupsError());
        return answer;
    } else {
        const char* printerUri = ippGetString(
            ippFindAttribute(response.get(), "job-printer-uri", IPP_TAG_URI), 0, nullptr);
        const QByteArray path(printerUri ? printerUri : "");
        known = path.mid(path.lastIndexOf('/') + 1) == queue;
    }
    if (!known)
        return unknownJob(printerName, jobId, documentSent);
    const JobAttributes job = readJobs(response.get()).value(0);
    const int state = job.state;
    const QStringList& reasons = job.reasons;
    if (state == IPP_JSTATE_HELD && reasons.contains(QStringLiteral("job-incoming"))) {
        answer.jobState = state;
        answer.stateReasons = reasons;
        // Created, its document never arrived: it cannot print as it is,
        // and once cancelled it never will.
        if (cancelJob(http.get(), queue, jobId)) {
            answer.fate = Fate::SendAgain;
            answer.reason = QStringLiteral("作业 %1 没有收到文档，已取消").arg(jobId);
        } else {
            answer.reason = QStringLiteral("作业 %1 没有收到文档，也无法取消：%2")
                                .arg(jobId)
                                .arg(lastCupsError());
        }
        return answer;
    }
    return judgeJob(jobId, state, reasons, job.pages);
}

QHash<int, JobReconciliation> followPrintJobs(const QString& printerName, const QList<int>& jobIds)
{
    QHash<int, JobReconciliation> answers;
    if (jobIds.isEmpty())
        return answers;
    const auto cannotTell = [&](const QString& why) {
        for (int id : jobIds) {
            JobReconciliation answer;
            answer.reason = why;
            answers.insert(id, answer);
        }
        return answers;
    };
    const Connection http = connectToScheduler();
    if (!http)
        return cannotTell(QStringLiteral("打印系统（CUPS）没有运行"));
    const QByteArray queue = queueOf(printerName);
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0,
                     "/printers/%s", queue.constData());
    ipp_t* request = ippNewRequest(IPP_OP_GET_JOBS);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
    // From the oldest job followed on: the queue's history before it is
    // not read at all.
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "first-job-id",
                  *std::min_element(jobIds.begin(), jobIds.end()));
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  int(std::size(kJobAttributes)), nullptr, kJobAttributes);
    const IppMessage response(cupsDoRequest(http.get(), request, "/"));
    if (!response || cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
        if (cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND) {
            for (int id : jobIds)
                answers.insert(id, unknownJob(printerName, id, true));
            return answers;
        }
        return cannotTell(
            QStringLiteral("无法询问打印机“%1”的作业：%2").arg(printerName, lastCupsError()));
    }
    const QSet<int> wanted(jobIds.begin(), jobIds.end());
    // A job whose document is sent never waits for it: job-incoming here is
    // the scheduler catching up, not a job to cancel.
    for (const JobAttributes& job : readJobs(response.get()))
        if (wanted.contains(job.id))
            answers.insert(job.id, judgeJob(job.id, job.state, job.reasons, job.pages));
    for (int id : jobIds)
        if (!answers.contains(id))
            answers.insert(id, unknownJob(printerName, id, true));
    return answers;
}

} // namespace vellora
