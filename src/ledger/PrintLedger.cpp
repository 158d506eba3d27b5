#include "ledger/LedgerImpl.h"

#include "core/Messages.h"
#include "core/ProgramFolder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellora {

namespace ledger {

// Times are milliseconds since 1970 (UTC); names are the file system's bytes,
// a photo's path being its folder's subfolder (relative to the hot folder, a
// day's folder typically, kept once) and its own name. A photo's cells live in placements: copies
// left over by a full sheet continue on the next one, so a photo can have two.
// Indexes cost a fifth of the file each: photos are found by number (a path
// has one number, a number few photos), and by time through their ids, which
// follow the clock. Template and printer names, the same on every sheet, are
// kept once in names.
const char* const kSchemaSql = R"sql(
CREATE TABLE folders (
    id INTEGER PRIMARY KEY,
    hot_folder TEXT NOT NULL,
    subfolder BLOB NOT NULL,
    UNIQUE (hot_folder, subfolder)
);
CREATE TABLE photos (
    id INTEGER PRIMARY KEY,
    folder INTEGER NOT NULL REFERENCES folders(id),
    name BLOB NOT NULL,
    number TEXT NOT NULL,
    copies INTEGER NOT NULL,
    state INTEGER NOT NULL,
    reason TEXT,
    reprint INTEGER NOT NULL DEFAULT 0,
    size INTEGER,
    mtime_ns INTEGER,
    inode INTEGER,
    device INTEGER,
    sha256 BLOB,
    queued_at INTEGER NOT NULL,
    on_sheet_at INTEGER,
    kept_at INTEGER,
    handed_at INTEGER,
    printed_at INTEGER,
    not_laid_out_at INTEGER,
    discarded_at INTEGER
);
CREATE INDEX photos_by_number ON photos(number);
CREATE INDEX photos_unfinished ON photos(state) WHERE state < 4;
CREATE TABLE names (
    id INTEGER PRIMARY KEY,
    text TEXT NOT NULL UNIQUE
);
CREATE TABLE sheets (
    id INTEGER PRIMARY KEY,
    template INTEGER NOT NULL REFERENCES names(id),
    capacity INTEGER NOT NULL,
    state INTEGER NOT NULL,
    printer INTEGER REFERENCES names(id),
    job_id INTEGER,
    document_sent INTEGER NOT NULL DEFAULT 0,
    kept_path TEXT,
    reason TEXT,
    created_at INTEGER NOT NULL,
    handed_at INTEGER,
    sent_at INTEGER,
    kept_at INTEGER,
    printed_at INTEGER,
    discarded_at INTEGER,
    job_state INTEGER,
    job_reasons TEXT,
    resent INTEGER NOT NULL DEFAULT 0,
    held INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX sheets_unfinished ON sheets(state) WHERE state < 4;
CREATE TABLE placements (
    sheet INTEGER NOT NULL REFERENCES sheets(id),
    first_cell INTEGER NOT NULL,
    cell_count INTEGER NOT NULL,
    photo INTEGER NOT NULL REFERENCES photos(id),
    PRIMARY KEY (sheet, first_cell)
) WITHOUT ROWID;
CREATE INDEX placements_by_photo ON placements(photo);
CREATE TABLE sessions (
    id INTEGER PRIMARY KEY,
    hot_folder TEXT NOT NULL,
    template TEXT NOT NULL,
    pid INTEGER NOT NULL,
    started_at INTEGER NOT NULL,
    heartbeat_at INTEGER NOT NULL,
    stopped_at INTEGER,
    clean INTEGER NOT NULL DEFAULT 0
);
)sql";

const char* const kUpgradeTo2Sql = R"sql(
ALTER TABLE sheets ADD COLUMN job_state INTEGER;
ALTER TABLE sheets ADD COLUMN job_reasons TEXT;
ALTER TABLE sheets ADD COLUMN resent INTEGER NOT NULL DEFAULT 0;
ALTER TABLE sheets ADD COLUMN held INTEGER NOT NULL DEFAULT 0;
PRAGMA user_version = 2;
)sql";

const TableShape kTables[] = {
    {"folders", {"id", "hot_folder", "subfolder"}},
    {"names", {"id", "text"}},
    {"photos", {"id",
                "folder",
                "name",
                "number",
                "copies",
                "state",
                "reason",
                "reprint",
                "size",
                "mtime_ns",
                "inode",
                "device",
                "sha256",
                "queued_at",
                "on_sheet_at",
                "kept_at",
                "handed_at",
                "printed_at",
                "not_laid_out_at",
                "discarded_at"}},
    {"sheets",
     {"id", "template", "capacity", "state", "printer", "job_id", "document_sent", "kept_path",
      "reason", "created_at", "handed_at", "sent_at", "kept_at", "printed_at", "discarded_at",
      "job_state", "job_reasons", "resent", "held"}},
    {"placements", {"sheet", "first_cell", "cell_count", "photo"}},
    {"sessions",
     {"id", "hot_folder", "template", "pid", "started_at", "heartbeat_at", "stopped_at", "clean"}},
};
const int kTableCount = int(std::size(kTables));

} // namespace ledger

using ledger::Query;

namespace {

bool isDamageCode(int code)
{
    const int primary = code & 0xFF;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// What looking at a file found.
enum class Verdict {
    Ours,    // a ledger of this schema (or a new one, now made)
    Damaged, // not SQLite, someone else's SQLite file, or SQLite says damaged
    Newer,   // a ledger of a later schema
    Older,   // a ledger of the schema before this one: upgraded in place
    Failed,  // could not be looked at (no permission, busy, …): left alone
};

// Ours: the header's mark, our version, every table with our columns in order.
Verdict inspect(sqlite3* db, QString* error)
{
    const auto pragmaInt = [&](const char* sql, int& out) {
        sqlite3_stmt* stmt = nullptr;
        int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
        if (rc == SQLITE_OK) {
            rc = sqlite3_step(stmt);
            if (rc == SQLITE_ROW) {
                out = sqlite3_column_int(stmt, 0);
                rc = SQLITE_OK;
            }
        }
        sqlite3_finalize(stmt);
        return rc;
    };
    int applicationId = 0, version = 0, objects = 0;
    int rc = pragmaInt("PRAGMA application_id", applicationId);
    if (rc == SQLITE_OK)
        rc = pragmaInt("PRAGMA user_version", version);
    if (rc == SQLITE_OK)
        rc = pragmaInt("SELECT count(*) FROM sqlite_schema", objects);
    if (rc != SQLITE_OK) {
        if (isDamageCode(sqlite3_extended_errcode(db)) || isDamageCode(rc))
            return Verdict::Damaged;
        *error = QString::fromUtf8(sqlite3_errmsg(db));
        return Verdict::Failed;
    }
    if (applicationId == 0 && version == 0 && objects == 0)
        return Verdict::Ours; // empty: the schema is made next
    if (applicationId != ledger::kApplicationId)
        return Verdict::Damaged;
    if (version > ledger::kSchemaVersion)
        return Verdict::Newer;
    if (version < 1 || version < ledger::kSchemaVersion - 1)
        return Verdict::Damaged;
    const bool older = version < ledger::kSchemaVersion;
    for (const ledger::TableShape& table : ledger::kTables) {
        const int missing =
            older && std::strcmp(table.name, "sheets") == 0 ? ledger::kSheetColumnsAddedIn2 : 0;
        const auto columnsEnd = table.columns.end() - missing;
        const QByteArray sql = QByteArray("PRAGMA table_info(") + table.name + ')';
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql.constData(), -1, &stmt, nullptr) != SQLITE_OK) {
            sqlite3_finalize(stmt);
            return Verdict::Damaged;
        }
        auto expected = table.columns.begin();
        bool same = true;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
            if (expected == columnsEnd || !name || std::strcmp(name, *expected) != 0)
                same = false;
            else
                ++expected;
        }
        sqlite3_finalize(stmt);
        if (rc != SQLITE_DONE || !same || expected != columnsEnd)
            return Verdict::Damaged;
    }
    // A page-level check of the whole file: cheap next to a day's printing
    // (see bench_ledger), and a damaged ledger is better found now than by a
    // write in the middle of monitoring.
    sqlite3_stmt* check = nullptr;
    bool fine = sqlite3_prepare_v2(db, "PRAGMA quick_check(1)", -1, &check, nullptr) == SQLITE_OK &&
                sqlite3_step(check) == SQLITE_ROW &&
                qstrcmp(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok") == 0;
    sqlite3_finalize(check);
    if (!fine)
        return Verdict::Damaged;
    return older ? Verdict::Older : Verdict::Ours;
}

} // namespace

QByteArray photoDigest(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

void PrintLedger::Impl::closeDb()
{
    for (auto& [sql, stmt] : statements)
        sqlite3_finalize(stmt);
    statements.clear();
    if (db)
        sqlite3_close_v2(db);
    db = nullptr;
    batchDepth = 0;
    batchFailed = batchSync = false;
}

sqlite3_stmt* PrintLedger::Impl::statement(const char* sql)
{
    if (!db)
        return nullptr;
    const auto found = statements.find(sql);
    if (found != statements.end())
        return found->second;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return nullptr;
    }
    statements.emplace(sql, stmt);
    return stmt;
}

QString PrintLedger::Impl::failure(const char* what)
{
    if (!db)
        return QStringLiteral("打印记录未打开");
    const int code = sqlite3_extended_errcode(db);
    if (isDamageCode(code))
        damaged = true;
    return QStringLiteral("打印记录：%1失败：%2")
        .arg(QString::fromUtf8(what), QString::fromUtf8(sqlite3_errmsg(db)));
}

bool PrintLedger::Impl::exec(const char* sql)
{
    return db && sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

LedgerWrite PrintLedger::Impl::notOpen() const
{
    LedgerWrite result;
    result.error = db ? QStringLiteral("打印记录以只读方式打开") : QStringLiteral("打印记录未打开");
    return result;
}

// Durability: WAL with synchronous=NORMAL makes a commit survive the process
// being killed (the frames are in the kernel before COMMIT returns); a power
// cut can lose the last commits, but only as a tail: the WAL's checksums
// chain, so what comes back is a prefix of what was committed. The one change
// whose loss would print twice is a created job (the sheet would be sent
// again), so after that commit the WAL itself is synced before the call
// returns, which makes everything before it durable too; everything else
// costs no disk flush. (synchronous=FULL would sync every commit, and cannot
// be switched on for one commit once its transaction has begun.)
bool PrintLedger::Impl::syncJournal()
{
    sqlite3_file* journal = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &journal) != SQLITE_OK ||
        journal == nullptr || journal->pMethods == nullptr)
        return true; // no WAL open: the commit itself synced the file
    if (journal->pMethods->xSync(journal, SQLITE_SYNC_NORMAL) == SQLITE_OK)
        return true;
    errno = EIO;
    return false;
}

LedgerWrite PrintLedger::Impl::write(bool sync, const std::function<LedgerWrite()>& change)
{
    if (!db || mode != PrintLedger::Mode::Write)
        return notOpen();
    if (batchDepth > 0) {
        if (batchFailed) {
            LedgerWrite result;
            result.error = batchError;
            return result;
        }
        LedgerWrite result = change();
        if (!result.ok()) {
            batchFailed = true;
            batchError = result.error;
        }
        batchSync = batchSync || sync;
        return result;
    }
    if (!exec("BEGIN IMMEDIATE")) {
        LedgerWrite result;
        result.error = failure("开始记录");
        return result;
    }
    LedgerWrite result = change();
    if (!result.ok()) {
        exec("ROLLBACK");
        return result;
    }
    if (!exec("COMMIT")) {
        result.error = failure("提交记录");
        result.value = 0;
        exec("ROLLBACK");
    } else if (sync && !syncJournal()) {
        result.error = QStringLiteral("打印记录：无法写入磁盘：%1").arg(systemError(errno));
    }
    return result;
}

QString PrintLedger::Impl::setAside(QString* error)
{
    closeDb();
    const QDateTime now = (clock ? clock() : QDateTime::currentDateTimeUtc()).toLocalTime();
    const QByteArray stem =
        name + ".damaged-" + now.toString(QStringLiteral("yyyyMMdd-HHmmss")).toLatin1();
    QByteArray aside = stem;
    for (int n = 2;; ++n) {
        if (::renameat2(folder.get(), name.constData(), folder.get(), aside.constData(),
                        RENAME_NOREPLACE) == 0)
            break;
        if (errno != EEXIST || n > 99) {
            *error =
                QStringLiteral("无法把损坏的打印记录“%1”改名：%2").arg(path, systemError(errno));
            return {};
        }
        aside = stem + '-' + QByteArray::number(n);
    }
    // A WAL left beside a new file would be replayed into it.
    for (const char* suffix : {"-wal", "-shm"}) {
        const QByteArray from = name + suffix;
        const QByteArray to = aside + suffix;
        if (::renameat2(folder.get(), from.constData(), folder.get(), to.constData(),
                        RENAME_NOREPLACE) != 0 &&
            errno != ENOENT)
            ::unlinkat(folder.get(), from.constData(), 0);
    }
    return joinPath(folderPath, QFile::decodeName(aside));
}

bool PrintLedger::Impl::upgrade()
{
    // Under the write lock, and again asked: another process may have
    // upgraded the file since it was looked at.
    if (!exec("BEGIN IMMEDIATE"))
        return false;
    int version = 0;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        version = sqlite3_column_int(stmt, 0);
    sqlite3_finalize(stmt);
    if (version < ledger::kSchemaVersion && !exec(ledger::kUpgradeTo2Sql)) {
        exec("ROLLBACK");
        return false;
    }
    return exec("COMMIT");
}

LedgerOpening PrintLedger::Impl::openFile()
{
    LedgerOpening opening;
    const bool writing = mode == PrintLedger::Mode::Write;
    // A reader too brings an older ledger up to date: it only adds columns.
    bool upgrading = false;
    QString noticeFormat;
    for (int attempt = 0; attempt < 3; ++attempt) {
        struct stat st
        {
        };
        const bool exists =
            ::fstatat(folder.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (!exists && errno != ENOENT) {
            opening.error =
                QStringLiteral("无法查看打印记录“%1”：%2").arg(path, systemError(errno));
            return opening;
        }
        if (exists && S_ISLNK(st.st_mode)) {
            opening.error = QStringLiteral("“%1”是一个链接，为安全起见不予跟随").arg(path);
            return opening;
        }
        if (!exists && !writing) {
            opening.error = QStringLiteral("还没有打印记录“%1”").arg(path);
            return opening;
        }
        Verdict verdict = Verdict::Ours;
        QString why;
        if (!exists) {
            // Made here, 0660 whatever the umask: SQLite gives its -wal and
            // -shm the mode of the file, and the folder's group its group.
            FileDescriptor created(
                openNoFollow(folder.get(), name, O_RDWR | O_CREAT | O_EXCL, 0660));
            if (!created.isValid() && errno != EEXIST) {
                opening.error =
                    QStringLiteral("无法新建打印记录“%1”：%2").arg(path, systemError(errno));
                return opening;
            }
            if (created.isValid())
                ::fchmod(created.get(), 0660);
        } else if (!S_ISREG(st.st_mode)) {
            verdict = Verdict::Damaged;
        }
        if (verdict == Verdict::Ours) {
            const int flags =
                (writing || upgrading ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) |
                SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX;
            const QByteArray file = QFile::encodeName(QFileInfo(path).absoluteFilePath());
            const int rc = sqlite3_open_v2(file.constData(), &db, flags, nullptr);
            if (rc != SQLITE_OK) {
                verdict = isDamageCode(rc) ? Verdict::Damaged : Verdict::Failed;
                why = failure("打开");
                closeDb();
            } else {
                sqlite3_extended_result_codes(db, 1);
                sqlite3_busy_timeout(db, ledger::kBusyTimeoutMs);
                // The file sits in a folder a whole group can write: its
                // schema is data, never code.
                sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
                sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
                sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
                sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
                exec("PRAGMA cell_size_check = ON");
                verdict = inspect(db, &why);
            }
        }
        if (verdict == Verdict::Failed) {
            closeDb();
            opening.error = QStringLiteral("无法打开打印记录“%1”：%2").arg(path, why);
            return opening;
        }
        if (verdict == Verdict::Older) {
            if (!writing && !upgrading) {
                closeDb();
                upgrading = true;
                continue;
            }
            if (!upgrade()) {
                opening.error =
                    QStringLiteral("无法更新打印记录“%1”：%2").arg(path, failure("更新"));
                closeDb();
                return opening;
            }
            verdict = Verdict::Ours;
        }
        if (verdict == Verdict::Damaged || verdict == Verdict::Newer) {
            if (!writing || attempt > 0) {
                closeDb();
                opening.error = QStringLiteral("打印记录“%1”无法读取").arg(path);
                return opening;
            }
            QString error;
            const QString aside = setAside(&error);
            if (aside.isEmpty()) {
                opening.error = error;
                return opening;
            }
            opening.setAsidePath = aside;
            noticeFormat = QString::fromUtf16(verdict == Verdict::Newer ? kLedgerNewerNotice
                                                                        : kLedgerDamagedNotice);
            opening.notice = noticeFormat.arg(aside);
            continue;
        }
        break;
    }
    if (writing) {
        bool ok = exec("PRAGMA foreign_keys = ON");
        // Set on an empty file only: it must come before the first table.
        bool empty = false;
        {
            Query tables(*this, "SELECT count(*) FROM sqlite_schema");
            empty = tables.step() == SQLITE_ROW && tables.int64(0) == 0;
        }
        if (empty)
            ok = ok && exec("PRAGMA auto_vacuum = INCREMENTAL");
        ok = ok && exec("PRAGMA journal_mode = WAL") && exec("PRAGMA synchronous = NORMAL") &&
             exec("PRAGMA journal_size_limit = 4194304");
        if (ok && empty) {
            const QByteArray create =
                QByteArray("BEGIN IMMEDIATE;") + ledger::kSchemaSql +
                "PRAGMA application_id = " + QByteArray::number(ledger::kApplicationId) +
                "; PRAGMA user_version = " + QByteArray::number(ledger::kSchemaVersion) +
                "; COMMIT;";
            ok = exec(create.constData());
            if (!ok)
                exec("ROLLBACK");
        }
        if (!ok) {
            opening.error = failure("准备");
            closeDb();
            return opening;
        }
    } else {
        exec("PRAGMA query_only = ON");
    }
    damaged = false;
    opening.ok = true;
    return opening;
}

PrintLedger::PrintLedger() : d(std::make_unique<Impl>()) {}

PrintLedger::~PrintLedger() = default;

LedgerOpening PrintLedger::open(const QString& programFolder, Mode mode)
{
    const std::lock_guard lock(d->mutex);
    d->closeDb();
    d->mode = mode;
    d->programFolder = QFileInfo(programFolder).absoluteFilePath();
    TrustedLocation where =
        resolveTrusted(joinPath(d->programFolder, QString::fromUtf16(kLedgerFileName)));
    if (!where.ok()) {
        LedgerOpening opening;
        opening.error = where.error;
        return opening;
    }
    d->folder = std::move(where.folder);
    d->folderPath = where.folderPath;
    d->name = where.name;
    d->path = joinPath(d->folderPath, QFile::decodeName(d->name));
    return d->openFile();
}

LedgerOpening PrintLedger::recover()
{
    const std::lock_guard lock(d->mutex);
    LedgerOpening opening;
    if (!d->folder.isValid() || d->mode != Mode::Write) {
        opening.error = QStringLiteral("打印记录未打开");
        return opening;
    }
    const QString aside = d->setAside(&opening.error);
    if (aside.isEmpty())
        return opening;
    opening = d->openFile();
    opening.setAsidePath = aside;
    opening.notice = QString::fromUtf16(kLedgerDamagedNotice).arg(aside);
    return opening;
}

void PrintLedger::close()
{
    const std::lock_guard lock(d->mutex);
    d->closeDb();
}

bool PrintLedger::isOpen() const
{
    const std::lock_guard lock(d->mutex);
    return d->db != nullptr;
}

bool PrintLedger::isDamaged() const
{
    const std::lock_guard lock(d->mutex);
    return d->damaged;
}

QString PrintLedger::filePath() const
{
    const std::lock_guard lock(d->mutex);
    return d->path;
}

void PrintLedger::setClock(std::function<QDateTime()> clock)
{
    const std::lock_guard lock(d->mutex);
    d->clock = std::move(clock);
}

LedgerWrite PrintLedger::beginBatch()
{
    const std::lock_guard lock(d->mutex);
    if (!d->db || d->mode != Mode::Write)
        return d->notOpen();
    LedgerWrite result;
    if (d->batchDepth == 0) {
        if (!d->exec("BEGIN IMMEDIATE")) {
            result.error = d->failure("开始记录");
            return result;
        }
        d->batchFailed = d->batchSync = false;
        d->batchError.clear();
    }
    ++d->batchDepth;
    return result;
}

LedgerWrite PrintLedger::commitBatch()
{
    const std::lock_guard lock(d->mutex);
    LedgerWrite result;
    if (d->batchDepth == 0) {
        result.error = QStringLiteral("打印记录：没有打开的批次");
        return result;
    }
    if (--d->batchDepth > 0)
        return result;
    if (d->batchFailed) {
        d->exec("ROLLBACK");
        result.error = d->batchError;
        return result;
    }
    if (!d->exec("COMMIT")) {
        result.error = d->failure("提交记录");
        d->exec("ROLLBACK");
    } else if (d->batchSync && !d->syncJournal()) {
        result.error = QStringLiteral("打印记录：无法写入磁盘：%1").arg(systemError(errno));
    }
    return result;
}

void PrintLedger::rollbackBatch()
{
    const std::lock_guard lock(d->mutex);
    if (d->batchDepth == 0)
        return;
    d->batchDepth = 0;
    d->exec("ROLLBACK");
}

} // namespace vellora
