#include "ledger/HistoryText.h"

namespace vellora {

namespace {

QString withReason(const QString& state, const QString& reason)
{
    return reason.isEmpty() ? state : state + QStringLiteral("：") + reason;
}

} // namespace

QString photoStateText(const LedgerPhoto& photo)
{
    switch (photo.state) {
    case PhotoState::Queued:
        return QStringLiteral("排队中");
    case PhotoState::OnSheet:
        return QStringLiteral("在待打印版面上");
    case PhotoState::Kept:
        return QStringLiteral("未打印（已保存）");
    case PhotoState::Handed:
        return QStringLiteral("已交给打印机");
    case PhotoState::Printed:
        return QStringLiteral("已打印");
    case PhotoState::NotLaidOut:
        return withReason(QStringLiteral("未排版"), photo.reason);
    case PhotoState::Discarded:
        return withReason(QStringLiteral("已放弃"), photo.reason);
    }
    return QString::number(int(photo.state));
}

QString photoStateKey(PhotoState state)
{
    switch (state) {
    case PhotoState::Queued:
        return QStringLiteral("queued");
    case PhotoState::OnSheet:
        return QStringLiteral("on_sheet");
    case PhotoState::Kept:
        return QStringLiteral("kept");
    case PhotoState::Handed:
        return QStringLiteral("handed");
    case PhotoState::Printed:
        return QStringLiteral("printed");
    case PhotoState::NotLaidOut:
        return QStringLiteral("not_laid_out");
    case PhotoState::Discarded:
        return QStringLiteral("discarded");
    }
    return QString::number(int(state));
}

} // namespace vellora
