#pragma once

#include <QString>

#include <functional>

namespace vellora {

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

// What printSheetWithReport tells: which printer, the CUPS job id when printed,
// why not when not, and the file kept in 未打印.
struct PrintReport
{
    PrintOutcome outcome = PrintOutcome::Lost;
    QString printerName;
    int jobId = 0;
    QString error;
    QString savedPath;
    // Lost with a job made: the printing system may hold the document of
    // jobId after all. Not sent again until it is asked.
    bool unsure = false;
};
} // namespace vellora
