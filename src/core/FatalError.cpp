#include "core/FatalError.h"

#include "core/AppState.h"

#include <cstdio>
#include <cstdlib>

namespace vellora {

QString fatalErrorReport(int code, const QString& message)
{
    return QStringLiteral("运行时出错!\n\n错误代码：%1\n\n错误信息：%2").arg(code).arg(message);
}

void raiseFatalError(AppState& state, int code, const QString& message)
{
    if (state.fatalError) {
        state.fatalError(code, message);
        return;
    }
    const QByteArray report = fatalErrorReport(code, message).toLocal8Bit();
    std::fprintf(stderr, "%s\n", report.constData());
    std::fflush(stderr);
    // Nothing is open for writing here (the store is read in its own read-only
    // operation), so the process ends at once rather than unwinding Qt objects.
    std::_Exit(code > 0 ? code : EXIT_FAILURE);
}

} // namespace vellora
