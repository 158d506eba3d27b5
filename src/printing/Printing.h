#pragma once

#include <QImage>
#include <QString>

#include <functional>

namespace vellora {

struct AppState;

inline constexpr const char16_t* kPrintJobName = u"未命名打印作业";
inline constexpr const char16_t* kNothingToPrintMessage = u"不能打印，可能排版张数为0";

// What became of a sheet handed to printSheet.
enum class PrintOutcome {
    Printed,        // accepted by the printing system
    Cancelled,      // no default printer and the user cancelled the dialog
    SavedUnprinted, // could not be printed; saved as JPEG in 未打印 beside the program
    Lost,           // could not be printed nor saved
};

// Shown when there is no default printer; returns the chosen printer's name,
// or an empty string when the user cancels. The windows fill it; headless it
// is unset and counts as cancelled.
using PrintDialogSeam = std::function<QString()>;

// One page on the default printer: portrait, one copy, job "未命名打印作业",
// the sheet at its true size (one pixel = 0.1 mm) from the printable area's
// corner, never scaled to fit.
PrintOutcome printSheet(const QImage& sheet, const QString& programFolder,
                        const PrintDialogSeam& dialog = {});

// printSheet with the details: which printer, the CUPS job id when printed,
// why not when not, and the file kept in 未打印.
struct PrintReport
{
    PrintOutcome outcome = PrintOutcome::Lost;
    QString printerName;
    int jobId = 0;
    QString error;
    QString savedPath;
};
PrintReport printSheetWithReport(const QImage& sheet, const QString& programFolder,
                                 const PrintDialogSeam& dialog = {});

// The preview window's print button. Returns false when there is nothing to
// print (the caller shows kNothingToPrintMessage, caption "错误").
bool printPendingSheetNow(AppState& state);

} // namespace vellora
