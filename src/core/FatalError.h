#pragma once

#include <QString>

namespace vellora {

struct AppState;

// "运行时出错!", an empty line, "错误代码：" code, an empty line, "错误信息：" message.
QString fatalErrorReport(int code, const QString& message);

// Hands the error to state.fatalError when set (the program shows the report
// and ends; tests record it) and returns. Without a hook the report goes to
// stderr and the process ends with a non-zero status.
void raiseFatalError(AppState& state, int code, const QString& message);

} // namespace vellora
