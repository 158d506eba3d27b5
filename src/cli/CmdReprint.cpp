#include "cli/CommandLine.h"
#include "cli/Commands.h"

#include "core/FileNames.h"
#include "core/ProgramFolder.h"
#include "ledger/PrintLedger.h"
#include "monitor/MonitorJournal.h"

#include <QDir>
#include <QFileInfo>

namespace vellora::cli {

// Copies more of a photo the print ledger knows (加印), by its number (the
// latest photo of that number) or its path: queued as a reprint for the
// monitor of its hot folder.
int runReprint(const QStringList& args)
{
    CommandLine line({QCommandLineOption(QStringLiteral("copies"), QString(), QStringLiteral("N")),
                      QCommandLineOption(QStringLiteral("sheet"), QString(), QStringLiteral("ID"))},
                     1);
    const bool parsed = line.parse(args);
    const bool bySheet = parsed && line.isSet(QStringLiteral("sheet"));
    if (!parsed || line.positional().isEmpty() == !bySheet ||
        (bySheet && line.isSet(QStringLiteral("copies")))) {
        printError(QStringLiteral("reprint: usage: vellora-cli reprint PHOTO-OR-NUMBER [--copies "
                                  "N] | vellora-cli reprint --sheet ID"));
        return 2;
    }
    if (bySheet) {
        bool numeric = false;
        const qint64 sheetId = line.value(QStringLiteral("sheet")).toLongLong(&numeric);
        if (!numeric || sheetId < 1) {
            printError(QStringLiteral("reprint: --sheet takes a sheet number of the print record"));
            return 2;
        }
        PrintLedger ledger;
        const LedgerOpening opened = ledger.open(executableFolder());
        const LedgerWrite queued =
            opened.ok ? reprintSheet(ledger, sheetId) : LedgerWrite{0, opened.error};
        if (!queued.ok()) {
            printError(QStringLiteral("reprint: ") + queued.error);
            return 1;
        }
        printError(QStringLiteral("reprint: the photos of sheet %1 are queued again with their "
                                  "copies; the monitor of their hot folder lays them out (at once "
                                  "when it runs, else when it next starts)")
                       .arg(sheetId));
        return 0;
    }
    bool numeric = true;
    const int copies = line.isSet(QStringLiteral("copies"))
                           ? line.value(QStringLiteral("copies")).toInt(&numeric)
                           : 1;
    if (!numeric || copies < 1 || copies > 999) {
        printError(QStringLiteral("reprint: --copies takes a number from 1 to 999"));
        return 2;
    }
    const QString wanted = line.positional().value(0);
    const bool byPath = wanted.contains(u'/');
    const QString absolute =
        byPath ? QDir::cleanPath(QFileInfo(wanted).absoluteFilePath()) : QString();
    // A photo's number is its file name up to the first dot.
    const QString fileName = byPath ? wanted.section(u'/', -1) : wanted;
    HistoryQuery query;
    query.number = fileName.section(u'.', 0, 0);
    query.limit = 1000;

    PrintLedger ledger;
    const LedgerOpening opened = ledger.open(executableFolder());
    if (!opened.ok) {
        printError(QStringLiteral("reprint: ") + opened.error);
        return 1;
    }
    const LedgerResult<QList<HistoryEntry>> found = ledger.history(query);
    if (!found.ok()) {
        printError(QStringLiteral("reprint: ") + found.error);
        return 1;
    }
    const LedgerPhoto* photo = nullptr;
    for (const HistoryEntry& entry : found.value) {
        const QString path =
            QDir::cleanPath(entry.photo.hotFolder + u'/' + decodeFileName(entry.photo.path));
        if (!byPath || path == absolute) {
            photo = &entry.photo;
            break;
        }
    }
    if (!photo) {
        printError(QStringLiteral("reprint: 打印记录里没有照片“%1”").arg(wanted));
        return 1;
    }
    const LedgerWrite queued = queueReprint(ledger, photo->id, copies);
    if (!queued.ok()) {
        printError(QStringLiteral("reprint: ") + queued.error);
        return 1;
    }
    printError(QStringLiteral("reprint: %1 more copies of %2 queued; the monitor of %3 lays them "
                              "out (at once when it runs, else when it next starts)")
                   .arg(copies)
                   .arg(photo->hotFolder + u'/' + decodeFileName(photo->path), photo->hotFolder));
    return 0;
}

} // namespace vellora::cli
