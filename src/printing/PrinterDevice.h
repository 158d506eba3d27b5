#pragma once

#include "printing/Printing.h"

#include <QImage>
#include <QString>

#include <memory>

class QPainter;
class QPrinter;
class QTemporaryFile;

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
    // (x, y); whatever lies beyond the printable area is cut off.
    void drawPicture(const QImage& picture, int x, int y, int width, int height);
    // Hands the page to the spooler. True once the printing system holds the job.
    bool endJob();

    QString printerName() const { return m_printerName; }
    QString error() const { return m_error; }
    int jobId() const { return m_jobId; }
    // Device pixels per inch of the open job.
    int resolution() const;

private:
    std::unique_ptr<QPrinter> m_printer;
    std::unique_ptr<QPainter> m_painter;
    // The page is rendered into this PDF, then submitted as one job; CUPS
    // answers the submission with the job's id, which is the confirmation.
    std::unique_ptr<QTemporaryFile> m_document;
    QString m_printerName;
    QString m_error;
    int m_jobId = 0;
};

} // namespace vellora
