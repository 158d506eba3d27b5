#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace vellora {

// The one durable record of the hot-folder loop (打印记录.db beside the
// program): every photo counted as written, every sheet, every print job, each
// state with its time. A change is committed before the call returns, so the
// next step may act on it; after a crash the ledger tells what was under way.

// Where a photo is. The numbers are stored and ordered: a photo on several
// sheets (copies left over by a full sheet go on the next one) is as far as
// the least advanced of its sheets, and a sheet state shares its number with
// the photo state of the same name.
enum class PhotoState : int {
    Queued = 0,     // counted as written, waiting for a layout pass
    OnSheet = 1,    // on a sheet being filled
    Kept = 2,       // its sheet was kept as a JPEG in 未打印
    Handed = 3,     // its sheet's job was created at the printing system
    Printed = 4,    // its sheet's job completed
    NotLaidOut = 5, // not a picture, unreadable, cut short, or already printed (reason)
    Discarded = 6,  // dropped without printing (reason)
};

enum class SheetState : int {
    Filling = 1,
    Kept = 2,
    Handed = 3,
    Printed = 4,
    Discarded = 6,
};

// What the file system said of a photo when its bytes were read, and a digest
// of those bytes (photoDigest).
struct PhotoIdentity
{
    qint64 size = -1;
    qint64 mtimeNs = 0;
    quint64 inode = 0;
    quint64 device = 0;
    QByteArray sha256;
};

// SHA-256 of a photo's bytes, as PhotoIdentity keeps it.
QByteArray photoDigest(const QByteArray& bytes);

// Cells first … first + count − 1 of a sheet, counted from 1 as the sheet
// fills them (the photo's run starts after the cells already filled).
struct CellRun
{
    int first = 0;
    int count = 0;
    friend bool operator==(const CellRun&, const CellRun&) = default;
};

struct LedgerPlacement
{
    qint64 sheetId = 0;
    qint64 photoId = 0;
    CellRun cells;
};

struct LedgerPhoto
{
    qint64 id = 0;
    QString hotFolder;
    QByteArray path; // relative to the hot folder, the file system's bytes
    QString number;  // the file name up to its first dot
    int copies = 0;
    PhotoState state = PhotoState::Queued;
    QString reason;
    bool reprint = false;
    PhotoIdentity identity; // size -1 and no digest until it was read
    QDateTime queuedAt, onSheetAt, keptAt, handedAt, printedAt, notLaidOutAt, discardedAt;
    QList<LedgerPlacement> placements; // in the order they were made
};

struct LedgerSheet
{
    qint64 id = 0;
    QString templateName;
    int capacity = 0; // cells the template has
    SheetState state = SheetState::Filling;
    QString printer;
    int jobId = 0;             // 0: no job created yet
    bool documentSent = false; // the printing system holds the job's whole document
    QString keptPath;          // the JPEG in 未打印, when kept
    QString reason;
    QDateTime createdAt, handedAt, sentAt, keptAt, printedAt, discardedAt;
    // The job as the printing system last told it: its IPP job-state (0: not
    // asked yet) and job-state-reasons.
    int jobState = 0;
    QString jobReasons;
    int resent = 0; // times handed over again after the printing system gave the job up
    // Handed over, and the job came to nothing or may have printed in part:
    // it waits for the operator (重新打印 or 放弃), never sent again by itself.
    bool held = false;
    QList<LedgerPlacement> placements; // in cell order
};

// One run of monitoring.
struct LedgerSession
{
    qint64 id = 0;
    QString hotFolder;
    QString templateName;
    qint64 pid = 0;
    QDateTime startedAt, heartbeatAt, stoppedAt;
    bool clean = false; // stopped by the program, not cut off
    // Monitoring was on and never stopped: the process died or the machine went off.
    bool crashed() const { return !clean; }
};

// What a restart takes up again, oldest first.
struct UnfinishedWork
{
    QList<LedgerSheet> filling; // normally one: the pending sheet with its photos
    QList<LedgerPhoto> queued;  // in the order they were counted
    QList<LedgerSheet> handed;  // job created, not known to be printed: reconcile by job id
    QList<LedgerSheet> kept;    // could not be handed over; waiting for the printer
    QList<LedgerSheet> held;    // handed, and waiting for the operator's decision
};

struct HistoryQuery
{
    // Photos counted at or after it; invalid: any time. Found by walking back
    // from the newest photo, whose ids follow the clock.
    QDateTime since;
    QString number;   // only photos of this number; empty: any
    int limit = 1000; // at most this many, most recent first
};

struct HistoryEntry
{
    LedgerPhoto photo;
    QList<LedgerSheet> sheets; // the sheets of its placements, without their placements
};

enum class Vacuum {
    None,
    Incremental, // gives the freed pages back to the file system (cheap)
    Full,        // rewrites the whole file, also packing half-empty pages
};

struct PruneReport
{
    qint64 photos = 0;
    qint64 sheets = 0;
    qint64 sessions = 0;
    qint64 bytesBefore = 0;
    qint64 bytesAfter = 0;
};

// A value, or why there is none. Nothing here throws.
template <typename T> struct LedgerResult
{
    T value{};
    QString error;
    bool ok() const { return error.isEmpty(); }
};
// A change: the new row's id where one was made, else 0.
using LedgerWrite = LedgerResult<qint64>;

// How opening went. notice, when set, is for the operator: the old file could
// not be used and was set aside (setAsidePath), and a fresh ledger started.
struct LedgerOpening
{
    bool ok = false;
    QString notice;
    QString setAsidePath;
    QString error; // when !ok: why there is no ledger (a planted link, no room, …)
};

class PrintLedger
{
public:
    enum class Mode {
        Write, // the monitor, holding the MonitorLock: creates, repairs, writes
        Read,  // a history window beside it: never creates, never sets aside
    };

    PrintLedger();
    ~PrintLedger();
    PrintLedger(const PrintLedger&) = delete;
    PrintLedger& operator=(const PrintLedger&) = delete;

    // Opens (or, in Write mode, creates) kLedgerFileName in programFolder. The
    // name is resolved by resolveTrusted and never followed as a link; a new
    // file is 0660. A file that is not a ledger of ours, or that SQLite finds
    // damaged, is renamed aside in Write mode (打印记录.db.damaged-<time>, with
    // its -wal and -shm) and a fresh ledger starts; in Read mode it is an
    // error. A zero-byte file is a ledger whose creation was cut off: it is
    // taken as new.
    LedgerOpening open(const QString& programFolder, Mode mode = Mode::Write);
    // Sets the open file aside as damaged and starts afresh, for a ledger
    // that reported SQLite's corruption (isDamaged) while in use.
    LedgerOpening recover();
    void close();
    bool isOpen() const;
    // A statement found the file damaged; recover() starts a new one.
    bool isDamaged() const;
    QString filePath() const;

    // Several changes in one commit (nested calls count): everything between
    // begin and commit is kept, or after a crash none of it.
    LedgerWrite beginBatch();
    LedgerWrite commitBatch();
    void rollbackBatch();

    // Photos.
    LedgerWrite recordPhotoQueued(const QString& hotFolder, const QByteArray& relativePath,
                                  int copies, bool reprint = false);
    // The photo (Queued, or OnSheet with copies left over) takes cells of a
    // Filling sheet; identity, when it has a digest, is what was read.
    LedgerWrite photoOnSheet(qint64 photoId, qint64 sheetId, CellRun cells,
                             const PhotoIdentity& identity = {});
    LedgerWrite photoNotLaidOut(qint64 photoId, const QString& reason,
                                const PhotoIdentity& identity = {});
    LedgerWrite photoDiscarded(qint64 photoId, const QString& reason);

    // Sheets. Each change also moves the photos on the sheet.
    LedgerWrite newSheet(const QString& templateName, int capacity);
    // The job exists at the printing system; its document is not sent yet.
    // Also after a reconciliation said to send again (a Kept or Handed sheet
    // gets its new job, its sent flag cleared). Synced to disk before it
    // returns: losing it to a power cut would print the sheet twice.
    // resend: the printing system gave up the sheet's earlier job and this
    // is the one automatic new attempt (counted in resent).
    LedgerWrite sheetJobCreated(qint64 sheetId, const QString& printer, int jobId,
                                bool resend = false);
    // What the printing system says of a handed sheet's job now.
    LedgerWrite sheetJobState(qint64 sheetId, int jobState, const QString& reasons);
    // A handed sheet left to the operator, reason why.
    LedgerWrite sheetHeld(qint64 sheetId, const QString& reason);
    LedgerWrite sheetDocumentSent(qint64 sheetId);
    LedgerWrite sheetPrinted(qint64 sheetId);
    LedgerWrite sheetKept(qint64 sheetId, const QString& keptPath, const QString& reason);
    LedgerWrite sheetDiscarded(qint64 sheetId, const QString& reason);

    // Sessions.
    LedgerWrite beginSession(const QString& hotFolder, const QString& templateName, qint64 pid);
    LedgerWrite heartbeat(qint64 sessionId);
    LedgerWrite endSession(qint64 sessionId, bool clean = true);
    LedgerResult<std::optional<LedgerSession>> lastSession();

    // Reading.
    LedgerResult<UnfinishedWork> unfinishedWork();
    LedgerResult<std::optional<LedgerPhoto>> photo(qint64 id);
    LedgerResult<std::optional<LedgerSheet>> sheet(qint64 id);
    // Whether a photo at the same place with the same bytes is already on its
    // way (on a sheet, handed, kept) or printed: a file rewritten with
    // identical bytes is not printed again. Reprints and photos not laid out
    // or discarded do not count; nor does exceptPhotoId.
    LedgerResult<bool> hasPrintedSameBytes(const QString& hotFolder, const QByteArray& relativePath,
                                           const QByteArray& sha256, qint64 exceptPhotoId = 0);
    // Photos on their way with fewer cells than copies: the pass that laid
    // them out filled a sheet and was cut off before the copies left over
    // were placed on the next one. Oldest first.
    LedgerResult<QList<LedgerPhoto>> cutShort();
    // Sheets whose job holds its whole document and is not known to have
    // ended, oldest first, without their placements.
    LedgerResult<QList<LedgerSheet>> sheetsAtThePrinter();
    // Reprints (加印) waiting to be laid out, oldest first: asked for by
    // another program while a monitor runs.
    LedgerResult<QList<LedgerPhoto>> queuedReprints();
    // Whether the photo at that place was counted at or after sinceMs (ms
    // since the epoch): a file not written since it was counted is known.
    LedgerResult<bool> countedSince(const QString& hotFolder, const QByteArray& relativePath,
                                    qint64 sinceMs);
    LedgerResult<QList<HistoryEntry>> history(const HistoryQuery& query);

    // Forgets finished work older than olderThanDays: printed and discarded
    // sheets, photos that are printed, not laid out or discarded and on no
    // remaining sheet, and sessions (the latest stays). Unfinished work is kept
    // however old.
    LedgerResult<PruneReport> prune(int olderThanDays = 180, Vacuum vacuum = Vacuum::Incremental);

    // The clock the times come from (tests, benchmarks).
    void setClock(std::function<QDateTime()> clock);

    struct Impl; // ledger/LedgerImpl.h, for the ledger's own files

private:
    std::unique_ptr<Impl> d;
};

} // namespace vellora
