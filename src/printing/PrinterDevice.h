#pragma once

#include "printing/Printing.h"

#include <QByteArray>
#include <QHash>
#include <QIODevice>
#include <QImage>
#include <QList>
#include <QPageLayout>
#include <QRectF>
#include <QString>
#include <QStringList>

#include <functional>

namespace vellora {

// Whether a CUPS queue would take a job now. Asks the scheduler over its own
// connection with a short timeout, so a hung or absent scheduler costs seconds
// at most.
struct QueueCheck
{
    bool ready = false;
    QString reason; // when not ready
};
QueueCheck checkPrintQueue(const QString& printerName);

// Why a printer is in trouble, in the operator's words, from its
// printer-state-reasons keywords (media-empty-error → 缺纸, paused → 已暂停…);
// reasons it has no words for are given in the scheduler's message.
QString printerTroubleText(const QStringList& reasons, const QString& message);

// The default destination's name as the printing system reports it, empty
// when there is none, or when the scheduler did not answer within a few
// seconds (unanswered then says so).
QString defaultPrinterName(QString* unanswered = nullptr);

// Where a sheet goes on the page, in points from the page's top-left corner:
// its top-left at the printable area's corner plus (x, y), width × height
// tenths of a millimetre (one sheet pixel each). The one place a sheet is
// placed on paper.
QRectF sheetPlacementOnPage(const QPageLayout& page, const QRect& tenthsMm);

// The picture's pixels as one zlib stream of 8-bit RGB rows, top row first,
// as a PDF image carries them lossless. Deflated at the fastest level, the two
// halves on two threads: this is most of the time a sheet takes to reach the
// printing system, and it needs no printer, so callers may start it early.
QByteArray deflatedSheetPixels(const QImage& picture);

// Writes a one-page PDF: the page of the layout, the picture (its size and
// deflated pixels) at the given place, cut at the printable area, the title in
// its document information. False when it could not be written whole.
bool writeSheetPdf(QIODevice& out, QSize pictureSize, const QByteArray& pixels,
                   const QPageLayout& page, const QRectF& placement, const QString& title);

// What became of a recorded job, asked of the printing system after a
// restart (reconcileJob). documentSent is the ledger's flag: the document was
// known to have arrived whole.
struct JobReconciliation
{
    enum class Fate {
        // The scheduler has the job with its document and has not finished
        // it: pending, held (by job-hold-until or an operator), processing or
        // stopped; or the document was not known to be sent but in fact
        // arrived. Never send again; ask again later.
        AlreadyThere,
        // job-state completed: the only state that counts as printed.
        Printed,
        // Nothing came out and nothing will: cancelled or aborted with no
        // impression or sheet completed; or the document never arrived (the
        // job was still job-incoming, and was cancelled here first; or the
        // scheduler does not know the job and the document was never sent).
        SendAgain,
        // Something may have come out, or nobody can tell: cancelled or
        // aborted after pages completed, or the document was sent but the
        // scheduler no longer knows the job (its history was purged or lost).
        // Not sent again by itself; reason says why, for the operator.
        Failed,
        // The scheduler did not answer (not running, hung: a few seconds at
        // most), or a job-incoming job could not be cancelled. Nothing was
        // decided; ask again later.
        CannotTell,
    };
    Fate fate = Fate::CannotTell;
    QString reason;
    int jobState = 0;         // IPP job-state (3 pending … 9 completed); 0 unknown
    QStringList stateReasons; // job-state-reasons
    int pagesCompleted = 0;   // the larger of impressions and media sheets completed
};
// A job id that is not on printerName's queue (ids start again when the
// scheduler's state is lost) counts as unknown.
JobReconciliation reconcileJob(const QString& printerName, int jobId, bool documentSent);
// The same for jobs whose documents were all sent, with one request for the
// whole queue: what each of jobIds came to. Never cancels a job.
QHash<int, JobReconciliation> followPrintJobs(const QString& printerName, const QList<int>& jobIds);

// One print job on one page, drawn in 0.1 mm from the printable area's corner.
// Not thread-safe by itself: printSheet runs one job at a time.
class PrinterDevice
{
public:
    enum class Start {
        Started,
        Cancelled, // no default printer and the dialog was cancelled
        Failed,    // see error()
    };

    PrinterDevice();
    ~PrinterDevice();
    PrinterDevice(const PrinterDevice&) = delete;
    PrinterDevice& operator=(const PrinterDevice&) = delete;

    // The default printer, or the dialog's choice when there is none; portrait,
    // the printer's default paper, one copy, the fixed job name.
    Start startJob(const PrintDialogSeam& dialog);
    // The picture stretched to width × height tenths of a millimetre at
    // (x, y); whatever lies beyond the printable area is cut off. One picture
    // a page: a later call replaces an earlier one.
    void drawPicture(const QImage& picture, int x, int y, int width, int height);
    // The same with the pixels already deflated (deflatedSheetPixels).
    void drawPicture(QSize pictureSize, QByteArray deflatedPixels, int x, int y, int width,
                     int height);
    // Hands the page to the spooler. True once the printing system holds the
    // job; a job whose document could not be sent whole is cancelled.
    bool endJob();

    // Hands the page over so that it prints at most once, whatever dies when:
    // Create-Job, then recordJob(jobId), which must have made the id durable
    // before it returns true, and only then Send-Document (PDF, the job's last
    // document). Once it returns Sent the caller records that the document
    // was sent. A job without its document never prints, so a crash before
    // the record leaves nothing to print twice, and one after it leaves an id
    // that reconcileJob can ask about.
    enum class HandOff {
        Sent,    // the printing system holds the whole document of jobId()
        NotSent, // nothing will print: no job was made, or recordJob refused
                 // the job (it is then cancelled, its document never sent)
        Unsure,  // job jobId() was made and recorded but its document failed
                 // part-way (error()): reconcileJob(printer, jobId, false) tells
                 // whether it arrived, and cancels it when it did not
    };
    using JobRecorder = std::function<bool(int jobId)>;
    HandOff handOff(const JobRecorder& recordJob);

    QString printerName() const { return m_printerName; }
    // The printer startJob uses instead of the default one (no dialog then).
    void choosePrinter(const QString& name) { m_chosen = name; }
    QString error() const { return m_error; }
    int jobId() const { return m_jobId; }
    // The page of the open job: the printer's paper, portrait, its printable
    // area as margins.
    QPageLayout pageLayout() const { return m_page; }

private:
    bool m_started = false;
    QPageLayout m_page;
    QSize m_pictureSize;
    QByteArray m_pixels;
    QRectF m_placement;
    QString m_printerName;
    QString m_chosen;
    QString m_error;
    int m_jobId = 0;
};

} // namespace vellora
