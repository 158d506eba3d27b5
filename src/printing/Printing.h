#pragma once

#include "core/Messages.h"
#include "core/PrintReport.h"

#include <QImage>
#include <QString>

#include <functional>

namespace vellora {

struct AppState;

inline constexpr const char16_t* kPrintJobName = u"未命名打印作业";

// One page on the default printer: portrait, one copy, job "未命名打印作业",
// the sheet at its true size (one pixel = 0.1 mm) from the printable area's
// corner, never scaled to fit.
PrintOutcome printSheet(const QImage& sheet, const QString& programFolder,
                        const PrintDialogSeam& dialog = {});

PrintReport printSheetWithReport(const QImage& sheet, const QString& programFolder,
                                 const PrintDialogSeam& dialog = {});

// The preview window's print button. Returns false when there is nothing to
// print (the caller shows kNothingToPrintMessage, caption "错误").
bool printPendingSheetNow(AppState& state);

} // namespace vellora
