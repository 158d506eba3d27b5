#include "cli/CommandLine.h"
#include "cli/Commands.h"

#include "core/FileNames.h"
#include "core/ProgramFolder.h"
#include "ledger/HistoryText.h"
#include "ledger/PrintLedger.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <limits>

namespace vellora::cli {

namespace {

int usageError(const QString& message)
{
    printError(QStringLiteral("history: ") + message);
    printError(QStringLiteral("usage: vellora-cli history [--since DATE] [--number N] [--json]\n"
                              "  DATE: YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS], local time"));
    return 2;
}

void writeOut(const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

// The start of the day, or the moment, in local time; invalid when it is
// neither form.
QDateTime parseSince(const QString& text)
{
    if (text.size() == 10)
        return QDate::fromString(text, Qt::ISODate).startOfDay();
    return QDateTime::fromString(text, Qt::ISODate);
}

QJsonValue jsonTime(const QDateTime& time)
{
    // Local time with its offset, so that a script elsewhere reads the same moment.
    if (!time.isValid())
        return QJsonValue();
    const QDateTime local = time.toLocalTime();
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}

QString sheetStateKey(SheetState state)
{
    switch (state) {
    case SheetState::Filling:
        return QStringLiteral("filling");
    case SheetState::Kept:
        return QStringLiteral("kept");
    case SheetState::Handed:
        return QStringLiteral("handed");
    case SheetState::Printed:
        return QStringLiteral("printed");
    case SheetState::Discarded:
        return QStringLiteral("discarded");
    }
    return QString::number(int(state));
}

QJsonObject jsonEntry(const HistoryEntry& entry)
{
    const LedgerPhoto& photo = entry.photo;
    QJsonArray sheets;
    for (const LedgerSheet& sheet : entry.sheets) {
        sheets.append(QJsonObject{
            {QStringLiteral("id"), sheet.id},
            {QStringLiteral("template"), sheet.templateName},
            {QStringLiteral("state"), sheetStateKey(sheet.state)},
            {QStringLiteral("printer"),
             sheet.printer.isEmpty() ? QJsonValue() : QJsonValue(sheet.printer)},
            {QStringLiteral("job"), sheet.jobId > 0 ? QJsonValue(sheet.jobId) : QJsonValue()},
            {QStringLiteral("kept_as"),
             sheet.keptPath.isEmpty() ? QJsonValue() : QJsonValue(sheet.keptPath)},
            {QStringLiteral("printed_at"), jsonTime(sheet.printedAt)},
            // The job as the printing system last told it (IPP job-state).
            {QStringLiteral("job_state"),
             sheet.jobState > 0 ? QJsonValue(sheet.jobState) : QJsonValue()},
            {QStringLiteral("resent"), sheet.resent},
            {QStringLiteral("held_for_operator"), sheet.held && sheet.state == SheetState::Handed},
            {QStringLiteral("reason"),
             sheet.reason.isEmpty() ? QJsonValue() : QJsonValue(sheet.reason)},
        });
    }
    return QJsonObject{
        {QStringLiteral("id"), photo.id},
        {QStringLiteral("counted_at"), jsonTime(photo.queuedAt)},
        {QStringLiteral("number"), photo.number},
        {QStringLiteral("hot_folder"), photo.hotFolder},
        {QStringLiteral("path"), decodeFileName(photo.path)},
        {QStringLiteral("state"), photoStateKey(photo.state)},
        {QStringLiteral("reason"),
         photo.reason.isEmpty() ? QJsonValue() : QJsonValue(photo.reason)},
        {QStringLiteral("copies"), photo.copies},
        {QStringLiteral("reprint"), photo.reprint},
        {QStringLiteral("printed_at"), jsonTime(photo.printedAt)},
        {QStringLiteral("sheets"), sheets},
    };
}

// One field of a tab-separated line: never empty, never breaking the line.
QByteArray field(QByteArray bytes)
{
    if (bytes.isEmpty())
        return QByteArrayLiteral("-");
    return bytes.replace('\t', ' ').replace('\n', ' ').replace('\r', ' ');
}

QByteArray plainLine(const HistoryEntry& entry)
{
    const LedgerPhoto& photo = entry.photo;
    QStringList sheets, printers, jobs;
    for (const LedgerSheet& sheet : entry.sheets) {
        sheets << QString::number(sheet.id);
        if (!sheet.printer.isEmpty() && !printers.contains(sheet.printer))
            printers << sheet.printer;
        if (sheet.jobId > 0)
            jobs << QString::number(sheet.jobId);
    }
    // The path as the file system spells it, ready for `reprint`.
    const QByteArray path = QFile::encodeName(photo.hotFolder) + '/' + photo.path;
    const QList<QByteArray> fields{
        field(
            photo.queuedAt.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toUtf8()),
        field(photo.number.toUtf8()),
        field(path),
        field(photoStateText(photo).toUtf8()),
        field(QByteArray::number(photo.copies)),
        field(sheets.join(u',').toUtf8()),
        field(printers.join(u',').toUtf8()),
        field(jobs.join(u',').toUtf8()),
        field(photo.reprint ? QByteArrayLiteral("加印") : QByteArray()),
    };
    QByteArray line;
    for (const QByteArray& part : fields)
        line += (line.isEmpty() ? QByteArray() : QByteArrayLiteral("\t")) + part;
    return line + '\n';
}

} // namespace

// The print history: every photo the monitors of this program folder counted,
// newest first, with what became of it.
int runHistory(const QStringList& args)
{
    CommandLine line(
        {QCommandLineOption(QStringLiteral("since"), QString(), QStringLiteral("DATE")),
         QCommandLineOption(QStringLiteral("number"), QString(), QStringLiteral("N")),
         QCommandLineOption(QStringLiteral("json"))},
        0);
    if (!line.parse(args))
        return usageError(line.missingValue()
                              ? QStringLiteral("'%1' needs a value").arg(line.unexpected())
                              : QStringLiteral("unexpected argument '%1'").arg(line.unexpected()));
    HistoryQuery query;
    query.limit = std::numeric_limits<int>::max();
    if (line.isSet(QStringLiteral("since"))) {
        const QString since = line.value(QStringLiteral("since"));
        query.since = parseSince(since);
        if (!query.since.isValid())
            return usageError(QStringLiteral("--since takes a date, not '%1'").arg(since));
    }
    if (line.isSet(QStringLiteral("number"))) {
        // A file name finds the photos of its number.
        query.number = line.value(QStringLiteral("number")).section(u'.', 0, 0);
        if (query.number.isEmpty())
            return usageError(QStringLiteral("--number takes a photo's number"));
    }
    const bool json = line.isSet(QStringLiteral("json"));

    const QString folder = executableFolder();
    PrintLedger ledger;
    const LedgerOpening opened = ledger.open(folder, PrintLedger::Mode::Read);
    if (!opened.ok) {
        const QFileInfo file(joinPath(folder, QString::fromUtf16(kLedgerFileName)));
        if (file.exists() || file.isSymLink()) {
            printError(QStringLiteral("history: ") + opened.error);
            return 1;
        }
        if (json)
            writeOut(QByteArrayLiteral("[]\n"));
        else
            printError(QStringLiteral("history: 还没有打印记录 (no %1)").arg(file.filePath()));
        return 0;
    }
    const LedgerResult<QList<HistoryEntry>> found = ledger.history(query);
    if (!found.ok()) {
        printError(QStringLiteral("history: ") + found.error);
        return 1;
    }
    if (json) {
        QJsonArray entries;
        for (const HistoryEntry& entry : found.value)
            entries.append(jsonEntry(entry));
        writeOut(QJsonDocument(entries).toJson(QJsonDocument::Indented));
    } else {
        for (const HistoryEntry& entry : found.value)
            writeOut(plainLine(entry));
    }
    std::fflush(stdout);
    return 0;
}

} // namespace vellora::cli
