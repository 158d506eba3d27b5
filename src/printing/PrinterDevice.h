#pragma once

#include "printing/Printing.h"

#include <QByteArray>
#include <QIODevice>
#include <QImage>
#include <QPageLayout>
#include <QRectF>
#include <QString>

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

// The default destination's name as the printing system reports it, empty
// when there is none.
QString defaultPrinterName();

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
    // Hands the page to the spooler. True once the printing system holds the job.
    bool endJob();

    QString printerName() const { return m_printerName; }
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
    QString m_error;
    int m_jobId = 0;
};

} // namespace vellora
