#pragma once

#include "ledger/PrintLedger.h"

#include <QString>

namespace vellora {

// Where a photo is, as the print history tells the operator (the window and
// the command line's plain listing say it the same way): 排队中, 已打印,
// 未排版：<reason>, …
QString photoStateText(const LedgerPhoto& photo);

// The same as a fixed English word for scripts (queued, on_sheet, kept,
// handed, printed, not_laid_out, discarded).
QString photoStateKey(PhotoState state);

} // namespace vellora
