#pragma once

#include "core/Messages.h"
#include "core/PrintReport.h"

#include <QImage>
#include <QString>
#include <QStringList>

#include <functional>

namespace vellora {

struct AppState;

inline constexpr const char16_t* kPrintJobName = u"未命名打印作业";

// One page on the default printer: portrait, one copy, job "未命名打印作业",
// the sheet at its true size (one pixel = 0.1 mm) from the printable area's
// corner, never scaled to fit.
PrintOutcome printSheet(const QImage& sheet, const QString& programFolder,
                        const PrintDialogSeam& dialog = {});

// What a recorded hand-off tells its record (the print ledger), each before
// the next step acts on it: the job made at the printing system (false
// refuses it: the job is cancelled before its document is sent), then the
// document sent whole.
struct HandOffRecord
{
    std::function<bool(const QString& printer, int jobId)> jobCreated;
    std::function<void()> documentSent;
    // A sheet already kept in 未打印 and sent again is not kept a second time.
    bool keepWhenNotSent = true;
    // The printers to try, in order: one that cannot take the job (stopped,
    // rejecting, unknown) is passed over before any job is made there, so a
    // sheet never goes to two. Empty: the default printer.
    QStringList printers;
};

// Keeps a sheet unprinted as a JPEG in 未打印 beside the program (outcome
// SavedUnprinted with savedPath, or Lost), reason its error.
PrintReport keepSheetUnprinted(const QImage& sheet, const QString& programFolder,
                               const QString& reason);

// With a record, the page is handed over at most once whatever dies when:
// the job is made, recorded, and only then given its document.
PrintReport printSheetWithReport(const QImage& sheet, const QString& programFolder,
                                 const PrintDialogSeam& dialog = {},
                                 const HandOffRecord* record = nullptr);

// The preview window's print button. Returns false when there is nothing to
// print (the caller shows kNothingToPrintMessage, caption "错误").
bool printPendingSheetNow(AppState& state);

} // namespace vellora
