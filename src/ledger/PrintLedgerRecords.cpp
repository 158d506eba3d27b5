#include "ledger/LedgerImpl.h"

#include <QFile>

#include <limits>

#include <fcntl.h>
#include <sys/stat.h>

namespace vellora {

using ledger::Query;

namespace {

constexpr int kQueuedAtColumn = 14;

LedgerPhoto readPhoto(const Query& q)
{
    LedgerPhoto photo;
    photo.id = q.int64(0);
    photo.hotFolder = q.text(1);
    const QByteArray subfolder = q.blob(2);
    photo.path = subfolder.isEmpty() ? q.blob(3) : subfolder + '/' + q.blob(3);
    photo.number = q.text(4);
    photo.copies = int(q.int64(5));
    photo.state = PhotoState(q.int64(6));
    photo.reason = q.text(7);
    photo.reprint = q.int64(8) != 0;
    photo.identity.size = q.isNull(9) ? -1 : q.int64(9);
    photo.identity.mtimeNs = q.int64(10);
    photo.identity.inode = quint64(q.int64(11));
    photo.identity.device = quint64(q.int64(12));
    photo.identity.sha256 = q.blob(13);
    photo.queuedAt = q.time(14);
    photo.onSheetAt = q.time(15);
    photo.keptAt = q.time(16);
    photo.handedAt = q.time(17);
    photo.printedAt = q.time(18);
    photo.notLaidOutAt = q.time(19);
    photo.discardedAt = q.time(20);
    return photo;
}

LedgerSheet readSheet(const Query& q)
{
    LedgerSheet sheet;
    sheet.id = q.int64(0);
    sheet.templateName = q.text(1);
    sheet.capacity = int(q.int64(2));
    sheet.state = SheetState(q.int64(3));
    sheet.printer = q.text(4);
    sheet.jobId = int(q.int64(5));
    sheet.documentSent = q.int64(6) != 0;
    sheet.keptPath = q.text(7);
    sheet.reason = q.text(8);
    sheet.createdAt = q.time(9);
    sheet.handedAt = q.time(10);
    sheet.sentAt = q.time(11);
    sheet.keptAt = q.time(12);
    sheet.printedAt = q.time(13);
    sheet.discardedAt = q.time(14);
    sheet.jobState = int(q.int64(15));
    sheet.jobReasons = q.text(16);
    sheet.resent = int(q.int64(17));
    sheet.held = q.int64(18) != 0;
    return sheet;
}

// The file name up to its first dot, as the studio numbers its photos.
QString photoNumber(const QByteArray& relativePath)
{
    QByteArray name = relativePath.mid(relativePath.lastIndexOf('/') + 1);
    const qsizetype dot = name.indexOf('.');
    if (dot >= 0)
        name.truncate(dot);
    return QFile::decodeName(name);
}

LedgerWrite failed(const QString& error)
{
    LedgerWrite result;
    result.error = error;
    return result;
}

QString refused(const char* what, qint64 id)
{
    return QStringLiteral("打印记录：%1 %2 不在允许此变化的状态")
        .arg(QString::fromUtf8(what))
        .arg(id);
}

} // namespace

// Each photo on the sheet is as far as the least advanced of its sheets, with
// the time it got there.
// The id of a template's or printer's name, made on first use; 0 on failure.
static qint64 nameId(PrintLedger::Impl& d, const QString& text)
{
    {
        Query known(d, "SELECT id FROM names WHERE text = ?1");
        const int rc = known.bind(1, text).step();
        if (rc == SQLITE_ROW)
            return known.int64(0);
        if (rc != SQLITE_DONE)
            return 0;
    }
    Query add(d, "INSERT INTO names (text) VALUES (?1)");
    return add.bind(1, text).run() ? sqlite3_last_insert_rowid(d.db) : 0;
}

static bool followSheet(PrintLedger::Impl& d, qint64 sheetId, qint64 now)
{
    Query q(d, "UPDATE photos SET state = m.low, "
               "on_sheet_at = CASE WHEN m.low = 1 THEN ?2 ELSE on_sheet_at END, "
               "kept_at = CASE WHEN m.low = 2 THEN ?2 ELSE kept_at END, "
               "handed_at = CASE WHEN m.low = 3 THEN ?2 ELSE handed_at END, "
               "printed_at = CASE WHEN m.low = 4 THEN ?2 ELSE printed_at END, "
               "discarded_at = CASE WHEN m.low = 6 THEN ?2 ELSE discarded_at END "
               "FROM (SELECT p.photo AS photo, MIN(s.state) AS low FROM placements p "
               "JOIN sheets s ON s.id = p.sheet WHERE p.photo IN "
               "(SELECT photo FROM placements WHERE sheet = ?1) GROUP BY p.photo) AS m "
               "WHERE photos.id = m.photo AND photos.state <> m.low");
    return q.bind(1, sheetId).bind(2, now).run();
}

static bool recordIdentity(PrintLedger::Impl& d, qint64 photoId, const PhotoIdentity& identity)
{
    if (identity.sha256.isEmpty())
        return true;
    Query q(d, "UPDATE photos SET size = ?2, mtime_ns = ?3, inode = ?4, device = ?5, sha256 = ?6 "
               "WHERE id = ?1");
    return q.bind(1, photoId)
        .bind(2, identity.size)
        .bind(3, identity.mtimeNs)
        .bind(4, qint64(identity.inode))
        .bind(5, qint64(identity.device))
        .bindBlob(6, identity.sha256)
        .run();
}

LedgerWrite PrintLedger::recordPhotoQueued(const QString& hotFolder, const QByteArray& relativePath,
                                           int copies, bool reprint)
{
    const std::lock_guard lock(d->mutex);
    return d->write(false, [&] {
        const qsizetype slash = relativePath.lastIndexOf('/');
        const QByteArray subfolder = slash < 0 ? QByteArray() : relativePath.left(slash);
        const QByteArray name = relativePath.mid(slash + 1);
        qint64 folderId = 0;
        {
            Query known(*d, "SELECT id FROM folders WHERE hot_folder = ?1 AND subfolder = ?2");
            const int rc = known.bind(1, hotFolder).bindBlob(2, subfolder).step();
            if (rc == SQLITE_ROW)
                folderId = known.int64(0);
            else if (rc != SQLITE_DONE)
                return failed(d->failure("记录文件夹"));
        }
        if (folderId == 0) {
            Query add(*d, "INSERT INTO folders (hot_folder, subfolder) VALUES (?1, ?2)");
            if (!add.bind(1, hotFolder).bindBlob(2, subfolder).run())
                return failed(d->failure("记录文件夹"));
            folderId = sqlite3_last_insert_rowid(d->db);
        }
        Query q(*d, "INSERT INTO photos (folder, name, number, copies, state, reprint, queued_at) "
                    "VALUES (?1, ?2, ?3, ?4, 0, ?5, ?6)");
        if (!q.bind(1, folderId)
                 .bindBlob(2, name)
                 .bind(3, photoNumber(relativePath))
                 .bind(4, copies)
                 .bind(5, reprint ? 1 : 0)
                 .bind(6, d->nowMs())
                 .run())
            return failed(d->failure("记录照片"));
        LedgerWrite result;
        result.value = sqlite3_last_insert_rowid(d->db);
        return result;
    });
}

LedgerWrite PrintLedger::photoOnSheet(qint64 photoId, qint64 sheetId, CellRun cells,
                                      const PhotoIdentity& identity)
{
    const std::lock_guard lock(d->mutex);
    return d->write(false, [&] {
        if (cells.first < 1 || cells.count < 1)
            return failed(
                QStringLiteral("打印记录：格子 %1+%2 无效").arg(cells.first).arg(cells.count));
        Query check(*d, "SELECT (SELECT state FROM photos WHERE id = ?1), "
                        "(SELECT state FROM sheets WHERE id = ?2), "
                        "(SELECT capacity FROM sheets WHERE id = ?2), "
                        "(SELECT MAX(first_cell + cell_count) FROM placements WHERE sheet = ?2)");
        if (check.bind(1, photoId).bind(2, sheetId).step() != SQLITE_ROW)
            return failed(d->failure("查看照片"));
        if (check.isNull(0) || check.int64(0) >= int(PhotoState::NotLaidOut))
            return failed(refused("照片", photoId));
        if (check.isNull(1) || check.int64(1) != int(SheetState::Filling))
            return failed(refused("排版", sheetId));
        // A sheet fills in order: a run starts after the cells already taken.
        if (cells.first + cells.count - 1 > check.int64(2) ||
            (!check.isNull(3) && cells.first < check.int64(3)))
            return failed(QStringLiteral("打印记录：格子 %1+%2 不在排版 %3 的空格子里")
                              .arg(cells.first)
                              .arg(cells.count)
                              .arg(sheetId));
        Query q(*d, "INSERT INTO placements (sheet, first_cell, cell_count, photo) "
                    "VALUES (?1, ?2, ?3, ?4)");
        const qint64 now = d->nowMs();
        if (!q.bind(1, sheetId).bind(2, cells.first).bind(3, cells.count).bind(4, photoId).run() ||
            !recordIdentity(*d, photoId, identity) || !followSheet(*d, sheetId, now))
            return failed(d->failure("记录排版"));
        return LedgerWrite{};
    });
}

// A photo that is queued and goes no further.
static LedgerWrite endPhoto(PrintLedger::Impl& d, qint64 photoId, PhotoState state,
                            const QString& reason, const PhotoIdentity& identity)
{
    const char* sql = state == PhotoState::NotLaidOut
                          ? "UPDATE photos SET state = 5, reason = ?2, not_laid_out_at = ?3 "
                            "WHERE id = ?1 AND state = 0"
                          : "UPDATE photos SET state = 6, reason = ?2, discarded_at = ?3 "
                            "WHERE id = ?1 AND state = 0";
    Query q(d, sql);
    if (!q.bind(1, photoId).bind(2, reason).bind(3, d.nowMs()).run())
        return failed(d.failure("记录照片"));
    if (sqlite3_changes(d.db) == 0)
        return failed(refused("照片", photoId));
    if (!recordIdentity(d, photoId, identity))
        return failed(d.failure("记录照片"));
    return LedgerWrite{};
}

LedgerWrite PrintLedger::photoNotLaidOut(qint64 photoId, const QString& reason,
                                         const PhotoIdentity& identity)
{
    const std::lock_guard lock(d->mutex);
    return d->write(
        false, [&] { return endPhoto(*d, photoId, PhotoState::NotLaidOut, reason, identity); });
}

LedgerWrite PrintLedger::photoDiscarded(qint64 photoId, const QString& reason)
{
    const std::lock_guard lock(d->mutex);
    return d->write(false,
                    [&] { return endPhoto(*d, photoId, PhotoState::Discarded, reason, {}); });
}

LedgerWrite PrintLedger::newSheet(const QString& templateName, int capacity)
{
    const std::lock_guard lock(d->mutex);
    return d->write(false, [&] {
        const qint64 name = nameId(*d, templateName);
        if (name == 0)
            return failed(d->failure("记录排版"));
        Query q(*d, "INSERT INTO sheets (template, capacity, state, created_at) "
                    "VALUES (?1, ?2, 1, ?3)");
        if (!q.bind(1, name).bind(2, capacity).bind(3, d->nowMs()).run())
            return failed(d->failure("记录排版"));
        LedgerWrite result;
        result.value = sqlite3_last_insert_rowid(d->db);
        return result;
    });
}

// One sheet change: sql updates sheet ?1 at time ?2 (binding more through
// bindMore) only from the states it allows; then its photos follow.
static LedgerWrite changeSheet(PrintLedger::Impl& d, qint64 sheetId, const char* sql,
                               const std::function<void(Query&)>& bindMore = {})
{
    const qint64 now = d.nowMs();
    Query q(d, sql);
    q.bind(1, sheetId).bind(2, now);
    if (bindMore)
        bindMore(q);
    if (!q.run())
        return failed(d.failure("记录排版"));
    if (sqlite3_changes(d.db) == 0)
        return failed(refused("排版", sheetId));
    if (!followSheet(d, sheetId, now))
        return failed(d.failure("记录照片"));
    return LedgerWrite{};
}

LedgerWrite PrintLedger::sheetJobCreated(qint64 sheetId, const QString& printer, int jobId,
                                         bool resend)
{
    const std::lock_guard lock(d->mutex);
    return d->write(true, [&] {
        if (jobId <= 0)
            return failed(QStringLiteral("打印记录：作业号 %1 无效").arg(jobId));
        const qint64 name = nameId(*d, printer);
        if (name == 0)
            return failed(d->failure("记录排版"));
        return changeSheet(
            *d, sheetId,
            "UPDATE sheets SET state = 3, printer = ?3, job_id = ?4, "
            "document_sent = 0, sent_at = NULL, handed_at = ?2, "
            "job_state = NULL, job_reasons = NULL, held = 0, "
            "resent = resent + ?5 WHERE id = ?1 AND state IN (1, 2, 3)",
            [&](Query& q) { q.bind(3, name).bind(4, jobId).bind(5, resend ? 1 : 0); });
    });
}

LedgerWrite PrintLedger::sheetJobState(qint64 sheetId, int jobState, const QString& reasons)
{
    const std::lock_guard lock(d->mutex);
    return d->write(false, [&] {
        Query q(*d,
                "UPDATE sheets SET job_state = ?2, job_reasons = ?3 WHERE id = ?1 AND state = 3");
        if (!q.bind(1, sheetId).bind(2, jobState).bind(3, reasons).run())
            return failed(d->failure("记录打印作业"));
        if (sqlite3_changes(d->db) == 0)
            return failed(refused("打印作业", sheetId));
        return LedgerWrite{};
    });
}

LedgerWrite PrintLedger::sheetHeld(qint64 sheetId, const QString& reason)
{
    const std::lock_guard lock(d->mutex);
    return d->write(false, [&] {
        Query q(*d, "UPDATE sheets SET held = 1, reason = ?2 WHERE id = ?1 AND state = 3");
        if (!q.bind(1, sheetId).bind(2, reason).run())
            return failed(d->failure("记录打印作业"));
        if (sqlite3_changes(d->db) == 0)
            return failed(refused("打印作业", sheetId));
        return LedgerWrite{};
    });
}

LedgerWrite PrintLedger::sheetDocumentSent(qint64 sheetId)
{
    const std::lock_guard lock(d->mutex);
    return d->write(false, [&] {
        return changeSheet(*d, sheetId,
                           "UPDATE sheets SET document_sent = 1, sent_at = ?2 "
                           "WHERE id = ?1 AND state = 3");
    });
}

LedgerWrite PrintLedger::sheetPrinted(qint64 sheetId)
{
    const std::lock_guard lock(d->mutex);
    return d->write(false, [&] {
        return changeSheet(*d, sheetId,
                           "UPDATE sheets SET state = 4, printed_at = ?2 "
                           "WHERE id = ?1 AND state = 3");
    });
}

LedgerWrite PrintLedger::sheetKept(qint64 sheetId, const QString& keptPath, const QString& reason)
{
    const std::lock_guard lock(d->mutex);
    return d->write(false, [&] {
        return changeSheet(*d, sheetId,
                           "UPDATE sheets SET state = 2, kept_path = ?3, reason = ?4, "
                           "kept_at = ?2 WHERE id = ?1 AND state IN (1, 2, 3)",
                           [&](Query& q) { q.bind(3, keptPath).bind(4, reason); });
    });
}

LedgerWrite PrintLedger::sheetDiscarded(qint64 sheetId, const QString& reason)
{
    const std::lock_guard lock(d->mutex);
    return d->write(false, [&] {
        return changeSheet(*d, sheetId,
                           "UPDATE sheets SET state = 6, reason = ?3, discarded_at = ?2 "
                           "WHERE id = ?1 AND state IN (1, 2, 3)",
                           [&](Query& q) { q.bind(3, reason); });
    });
}

LedgerWrite PrintLedger::beginSession(const QString& hotFolder, const QString& templateName,
                                      qint64 pid)
{
    const std::lock_guard lock(d->mutex);
    return d->write(false, [&] {
        const qint64 now = d->nowMs();
        Query q(*d, "INSERT INTO sessions (hot_folder, template, pid, started_at, heartbeat_at) "
                    "VALUES (?1, ?2, ?3, ?4, ?4)");
        if (!q.bind(1, hotFolder).bind(2, templateName).bind(3, pid).bind(4, now).run())
            return failed(d->failure("记录监控"));
        LedgerWrite result;
        result.value = sqlite3_last_insert_rowid(d->db);
        return result;
    });
}

LedgerWrite PrintLedger::heartbeat(qint64 sessionId)
{
    const std::lock_guard lock(d->mutex);
    return d->write(false, [&] {
        Query q(*d, "UPDATE sessions SET heartbeat_at = ?2 WHERE id = ?1 AND stopped_at IS NULL");
        if (!q.bind(1, sessionId).bind(2, d->nowMs()).run())
            return failed(d->failure("记录监控"));
        if (sqlite3_changes(d->db) == 0)
            return failed(refused("监控", sessionId));
        return LedgerWrite{};
    });
}

LedgerWrite PrintLedger::endSession(qint64 sessionId, bool clean)
{
    const std::lock_guard lock(d->mutex);
    return d->write(false, [&] {
        Query q(*d, "UPDATE sessions SET heartbeat_at = ?2, stopped_at = ?2, clean = ?3 "
                    "WHERE id = ?1 AND stopped_at IS NULL");
        if (!q.bind(1, sessionId).bind(2, d->nowMs()).bind(3, clean ? 1 : 0).run())
            return failed(d->failure("记录监控"));
        if (sqlite3_changes(d->db) == 0)
            return failed(refused("监控", sessionId));
        return LedgerWrite{};
    });
}

LedgerResult<std::optional<LedgerSession>> PrintLedger::lastSession()
{
    const std::lock_guard lock(d->mutex);
    LedgerResult<std::optional<LedgerSession>> result;
    Query q(*d, "SELECT id, hot_folder, template, pid, started_at, heartbeat_at, stopped_at, "
                "clean FROM sessions ORDER BY id DESC LIMIT 1");
    const int rc = q.step();
    if (rc == SQLITE_ROW) {
        LedgerSession session;
        session.id = q.int64(0);
        session.hotFolder = q.text(1);
        session.templateName = q.text(2);
        session.pid = q.int64(3);
        session.startedAt = q.time(4);
        session.heartbeatAt = q.time(5);
        session.stoppedAt = q.time(6);
        session.clean = q.int64(7) != 0;
        result.value = session;
    } else if (rc != SQLITE_DONE) {
        result.error = d->failure("读取监控");
    }
    return result;
}

// Reading, under the lock.
namespace {

bool placementsOf(PrintLedger::Impl& d, const char* sql, qint64 id, QList<LedgerPlacement>& out)
{
    Query q(d, sql);
    q.bind(1, id);
    int rc;
    while ((rc = q.step()) == SQLITE_ROW)
        out.append({q.int64(0), q.int64(1), {int(q.int64(2)), int(q.int64(3))}});
    return rc == SQLITE_DONE;
}

bool completePhoto(PrintLedger::Impl& d, LedgerPhoto& photo)
{
    return placementsOf(d,
                        "SELECT sheet, photo, first_cell, cell_count FROM placements "
                        "WHERE photo = ?1 ORDER BY sheet, first_cell",
                        photo.id, photo.placements);
}

bool completeSheet(PrintLedger::Impl& d, LedgerSheet& sheet)
{
    return placementsOf(d,
                        "SELECT sheet, photo, first_cell, cell_count FROM placements "
                        "WHERE sheet = ?1 ORDER BY first_cell",
                        sheet.id, sheet.placements);
}

// Rows come newest first when stopBeforeMs is given, and the first photo
// counted before it ends the list.
bool readPhotos(PrintLedger::Impl& d, const char* sql, const std::function<void(Query&)>& bind,
                QList<LedgerPhoto>& out, qint64 stopBeforeMs = std::numeric_limits<qint64>::min())
{
    QList<LedgerPhoto> photos;
    {
        Query q(d, sql);
        if (!q.isValid())
            return false;
        if (bind)
            bind(q);
        int rc;
        while ((rc = q.step()) == SQLITE_ROW) {
            if (q.int64(kQueuedAtColumn) < stopBeforeMs) {
                rc = SQLITE_DONE;
                break;
            }
            photos.append(readPhoto(q));
        }
        if (rc != SQLITE_DONE)
            return false;
    }
    for (LedgerPhoto& photo : photos) {
        if (!completePhoto(d, photo))
            return false;
    }
    out += photos;
    return true;
}

bool readSheets(PrintLedger::Impl& d, const char* sql, const std::function<void(Query&)>& bind,
                QList<LedgerSheet>& out, bool withPlacements = true)
{
    QList<LedgerSheet> sheets;
    {
        Query q(d, sql);
        if (!q.isValid())
            return false;
        if (bind)
            bind(q);
        int rc;
        while ((rc = q.step()) == SQLITE_ROW)
            sheets.append(readSheet(q));
        if (rc != SQLITE_DONE)
            return false;
    }
    for (LedgerSheet& sheet : sheets) {
        if (withPlacements && !completeSheet(d, sheet))
            return false;
    }
    out += sheets;
    return true;
}

// Statement texts are kept by address: each must be one literal.
#define PHOTO_SELECT                                                                               \
    "SELECT p.id, f.hot_folder, f.subfolder, p.name, p.number, p.copies, p.state, p.reason, "      \
    "p.reprint, p.size, "                                                                          \
    "p.mtime_ns, p.inode, p.device, p.sha256, p.queued_at, p.on_sheet_at, p.kept_at, "             \
    "p.handed_at, p.printed_at, p.not_laid_out_at, p.discarded_at "                                \
    "FROM photos p JOIN folders f ON f.id = p.folder "
#define SHEET_SELECT                                                                               \
    "SELECT s.id, t.text, s.capacity, s.state, p.text, s.job_id, s.document_sent, s.kept_path, "   \
    "s.reason, s.created_at, s.handed_at, s.sent_at, s.kept_at, s.printed_at, s.discarded_at, "    \
    "s.job_state, s.job_reasons, s.resent, s.held "                                                \
    "FROM sheets s JOIN names t ON t.id = s.template LEFT JOIN names p ON p.id = s.printer "

} // namespace

LedgerResult<UnfinishedWork> PrintLedger::unfinishedWork()
{
    const std::lock_guard lock(d->mutex);
    LedgerResult<UnfinishedWork> result;
    UnfinishedWork& work = result.value;
    // state < 4 lets SQLite use the small indexes of unfinished rows.
    const auto sheetsIn = [&](int state, bool held, QList<LedgerSheet>& out) {
        return readSheets(
            *d, SHEET_SELECT "WHERE s.state < 4 AND s.state = ?1 AND s.held = ?2 ORDER BY s.id",
            [&](Query& q) { q.bind(1, state).bind(2, held ? 1 : 0); }, out);
    };
    if (!sheetsIn(int(SheetState::Filling), false, work.filling) ||
        !readPhotos(*d, PHOTO_SELECT "WHERE p.state < 4 AND p.state = 0 ORDER BY p.id", {},
                    work.queued) ||
        !sheetsIn(int(SheetState::Handed), false, work.handed) ||
        !sheetsIn(int(SheetState::Kept), false, work.kept) ||
        !sheetsIn(int(SheetState::Handed), true, work.held)) {
        result.error = d->failure("读取未完成的工作");
        result.value = {};
    }
    return result;
}

LedgerResult<QList<LedgerPhoto>> PrintLedger::cutShort()
{
    const std::lock_guard lock(d->mutex);
    LedgerResult<QList<LedgerPhoto>> result;
    // Only unfinished photos: until a restart has asked the printing system,
    // the sheet of a pass cut off is handed over at most.
    if (!readPhotos(*d,
                    PHOTO_SELECT "WHERE p.state < 4 AND p.state BETWEEN 1 AND 3 AND p.copies > "
                                 "(SELECT COALESCE(SUM(cell_count), 0) FROM placements "
                                 "WHERE photo = p.id) ORDER BY p.id",
                    {}, result.value))
        result.error = d->failure("读取未排完的照片");
    return result;
}

LedgerResult<QList<LedgerSheet>> PrintLedger::sheetsAtThePrinter()
{
    const std::lock_guard lock(d->mutex);
    LedgerResult<QList<LedgerSheet>> result;
    if (!readSheets(*d,
                    SHEET_SELECT "WHERE s.state < 4 AND s.state = 3 AND s.held = 0 AND "
                                 "s.document_sent = 1 ORDER BY s.id",
                    {}, result.value, false))
        result.error = d->failure("读取打印中的相纸");
    return result;
}

LedgerResult<QList<LedgerPhoto>> PrintLedger::queuedReprints()
{
    const std::lock_guard lock(d->mutex);
    LedgerResult<QList<LedgerPhoto>> result;
    if (!readPhotos(
            *d, PHOTO_SELECT "WHERE p.state < 4 AND p.state = 0 AND p.reprint = 1 ORDER BY p.id",
            {}, result.value))
        result.error = d->failure("读取加印");
    return result;
}

LedgerResult<std::optional<LedgerPhoto>> PrintLedger::photo(qint64 id)
{
    const std::lock_guard lock(d->mutex);
    LedgerResult<std::optional<LedgerPhoto>> result;
    QList<LedgerPhoto> found;
    if (!readPhotos(
            *d, PHOTO_SELECT "WHERE p.id = ?1", [&](Query& q) { q.bind(1, id); }, found))
        result.error = d->failure("读取照片");
    else if (!found.isEmpty())
        result.value = found.first();
    return result;
}

LedgerResult<std::optional<LedgerSheet>> PrintLedger::sheet(qint64 id)
{
    const std::lock_guard lock(d->mutex);
    LedgerResult<std::optional<LedgerSheet>> result;
    QList<LedgerSheet> found;
    if (!readSheets(
            *d, SHEET_SELECT "WHERE s.id = ?1", [&](Query& q) { q.bind(1, id); }, found))
        result.error = d->failure("读取排版");
    else if (!found.isEmpty())
        result.value = found.first();
    return result;
}

LedgerResult<bool> PrintLedger::hasPrintedSameBytes(const QString& hotFolder,
                                                    const QByteArray& relativePath,
                                                    const QByteArray& sha256, qint64 exceptPhotoId)
{
    const std::lock_guard lock(d->mutex);
    LedgerResult<bool> result;
    if (sha256.isEmpty())
        return result;
    Query q(*d, "SELECT 1 FROM photos p JOIN folders f ON f.id = p.folder "
                "WHERE p.number = ?5 AND p.name = ?2 AND f.hot_folder = ?1 AND f.subfolder = ?6 "
                "AND p.sha256 = ?3 AND p.reprint = 0 AND p.state BETWEEN 1 AND 4 AND p.id <> ?4 "
                "LIMIT 1");
    const qsizetype slash = relativePath.lastIndexOf('/');
    const int rc = q.bind(1, hotFolder)
                       .bindBlob(2, relativePath.mid(slash + 1))
                       .bindBlob(6, slash < 0 ? QByteArray() : relativePath.left(slash))
                       .bindBlob(3, sha256)
                       .bind(4, exceptPhotoId)
                       .bind(5, photoNumber(relativePath))
                       .step();
    if (rc == SQLITE_ROW)
        result.value = true;
    else if (rc != SQLITE_DONE)
        result.error = d->failure("查找照片");
    return result;
}

LedgerResult<bool> PrintLedger::countedSince(const QString& hotFolder,
                                             const QByteArray& relativePath, qint64 sinceMs)
{
    const std::lock_guard lock(d->mutex);
    LedgerResult<bool> result;
    Query q(*d, "SELECT 1 FROM photos p JOIN folders f ON f.id = p.folder "
                "WHERE p.number = ?4 AND p.name = ?2 AND f.hot_folder = ?1 AND f.subfolder = ?5 "
                "AND p.queued_at >= ?3 LIMIT 1");
    const qsizetype slash = relativePath.lastIndexOf('/');
    const int rc = q.bind(1, hotFolder)
                       .bindBlob(2, relativePath.mid(slash + 1))
                       .bindBlob(5, slash < 0 ? QByteArray() : relativePath.left(slash))
                       .bind(3, sinceMs)
                       .bind(4, photoNumber(relativePath))
                       .step();
    if (rc == SQLITE_ROW)
        result.value = true;
    else if (rc != SQLITE_DONE)
        result.error = d->failure("查找照片");
    return result;
}

LedgerResult<QList<HistoryEntry>> PrintLedger::history(const HistoryQuery& query)
{
    const std::lock_guard lock(d->mutex);
    LedgerResult<QList<HistoryEntry>> result;
    const bool byTime = query.since.isValid();
    const bool byNumber = !query.number.isEmpty();
    const char* sql =
        byNumber ? (byTime ? PHOTO_SELECT "WHERE p.number = ?2 AND p.queued_at >= ?1 "
                                          "ORDER BY p.id DESC LIMIT ?3"
                           : PHOTO_SELECT "WHERE p.number = ?2 ORDER BY p.id DESC LIMIT ?3")
                 : PHOTO_SELECT "ORDER BY p.id DESC LIMIT ?3";
    QList<LedgerPhoto> photos;
    bool ok = readPhotos(
        *d, sql,
        [&](Query& q) {
            if (byTime && byNumber)
                q.bind(1, query.since.toMSecsSinceEpoch());
            if (byNumber)
                q.bind(2, query.number);
            q.bind(3, qMax(query.limit, 0));
        },
        photos,
        byTime && !byNumber ? query.since.toMSecsSinceEpoch() : std::numeric_limits<qint64>::min());
    for (qsizetype i = 0; ok && i < photos.size(); ++i) {
        HistoryEntry entry;
        entry.photo = photos[i];
        for (const LedgerPlacement& placement : std::as_const(entry.photo.placements)) {
            if (!entry.sheets.isEmpty() && entry.sheets.last().id == placement.sheetId)
                continue;
            ok = ok && readSheets(
                           *d, SHEET_SELECT "WHERE s.id = ?1",
                           [&](Query& q) { q.bind(1, placement.sheetId); }, entry.sheets, false);
        }
        result.value.append(entry);
    }
    if (!ok) {
        result.error = d->failure("读取打印历史");
        result.value.clear();
    }
    return result;
}

namespace {

qint64 fileBytes(PrintLedger::Impl& d)
{
    struct stat st
    {
    };
    return ::fstatat(d.folder.get(), d.name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
               ? qint64(st.st_size)
               : 0;
}

} // namespace

LedgerResult<PruneReport> PrintLedger::prune(int olderThanDays, Vacuum vacuum)
{
    const std::lock_guard lock(d->mutex);
    LedgerResult<PruneReport> result;
    PruneReport& report = result.value;
    d->exec("PRAGMA wal_checkpoint(TRUNCATE)");
    report.bytesBefore = fileBytes(*d);
    const qint64 cutoff = d->nowMs() - qint64(olderThanDays) * 24 * 3600 * 1000;
    const LedgerWrite pruned = d->write(false, [&] {
        const auto run = [&](const char* sql, qint64* count, bool atCutoff = true) {
            Query q(*d, sql);
            if (atCutoff)
                q.bind(1, cutoff);
            if (!q.run())
                return false;
            if (count)
                *count = sqlite3_changes(d->db);
            return true;
        };
        const bool ok =
            run("DELETE FROM placements WHERE sheet IN (SELECT id FROM sheets WHERE state IN "
                "(4, 6) AND COALESCE(printed_at, discarded_at, created_at) < ?1)",
                nullptr) &&
            run("DELETE FROM sheets WHERE state IN (4, 6) AND "
                "COALESCE(printed_at, discarded_at, created_at) < ?1",
                &report.sheets) &&
            run("DELETE FROM photos WHERE state >= 4 AND queued_at < ?1 AND NOT EXISTS "
                "(SELECT 1 FROM placements WHERE photo = photos.id)",
                &report.photos) &&
            run("DELETE FROM sessions WHERE started_at < ?1 AND id <> "
                "(SELECT MAX(id) FROM sessions)",
                &report.sessions) &&
            run("DELETE FROM folders WHERE NOT EXISTS "
                "(SELECT 1 FROM photos WHERE folder = folders.id)",
                nullptr, false) &&
            run("DELETE FROM names WHERE NOT EXISTS (SELECT 1 FROM sheets WHERE template = "
                "names.id OR printer = names.id)",
                nullptr, false);
        return ok ? LedgerWrite{} : failed(d->failure("清理打印记录"));
    });
    if (!pruned.ok()) {
        result.error = pruned.error;
        return result;
    }
    bool ok = true;
    if (vacuum == Vacuum::Incremental)
        ok = d->exec("PRAGMA incremental_vacuum");
    else if (vacuum == Vacuum::Full)
        ok = d->exec("VACUUM");
    if (!ok) {
        result.error = d->failure("压缩打印记录");
        return result;
    }
    d->exec("PRAGMA wal_checkpoint(TRUNCATE)");
    report.bytesAfter = fileBytes(*d);
    return result;
}

} // namespace vellora
