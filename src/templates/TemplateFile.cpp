#include "templates/TemplateFile.h"

#include "core/TemplateValues.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>

#include <sqlite3.h>

#include <algorithm>
#include <limits>

namespace vellora {

namespace {

// The password never lands in the file: only a salted digest of it does, and a
// file without the digest, or with another one, is not ours.
constexpr const char* kSaltKey = "salt";
constexpr const char* kCheckKey = "password-check";
constexpr int kBusyTimeoutMs = 3000;

QByteArray passwordCheck(const QByteArray& salt, const char* password)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(salt);
    hash.addData(QByteArrayView("vellora-templates\0", 18));
    hash.addData(QByteArrayView(password));
    return hash.result();
}

QByteArray quoted(QStringView identifier)
{
    QByteArray out = identifier.toUtf8();
    out.replace('"', "\"\"");
    return '"' + out + '"';
}

QByteArray tableName()
{
    return quoted(QStringView(kTemplateTableName));
}

QByteArray columnList()
{
    QByteArray list;
    for (const TemplateColumn& column : kTemplateColumns) {
        if (!list.isEmpty())
            list += ", ";
        list += quoted(column.name);
    }
    return list;
}

// Absolute, so that no name is ever taken for an SQLite URI.
QByteArray sqlitePath(const QString& path)
{
    return QFile::encodeName(QFileInfo(path).absoluteFilePath());
}

QString sqliteMessage(sqlite3* db)
{
    return db ? QString::fromUtf8(sqlite3_errmsg(db)) : QStringLiteral("out of memory");
}

// Statements are finalised however a function leaves.
class Statement
{
public:
    Statement(sqlite3* db, const QByteArray& sql)
    {
        if (sqlite3_prepare_v2(db, sql.constData(), int(sql.size()), &m_stmt, nullptr) !=
            SQLITE_OK) {
            sqlite3_finalize(m_stmt);
            m_stmt = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool isValid() const { return m_stmt != nullptr; }
    sqlite3_stmt* get() const { return m_stmt; }
    int step() { return m_stmt ? sqlite3_step(m_stmt) : SQLITE_MISUSE; }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

bool exec(sqlite3* db, const char* sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A file from elsewhere is read as untrusted input.
void hardenConnection(sqlite3* db)
{
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
    exec(db, "PRAGMA cell_size_check = ON");
}

QByteArray metaValue(sqlite3* db, const char* key)
{
    Statement stmt(db, QByteArray("SELECT value FROM ") + kStoreMetaTable + " WHERE key = ?1");
    if (!stmt.isValid())
        return {};
    sqlite3_bind_text(stmt.get(), 1, key, -1, SQLITE_STATIC);
    if (stmt.step() != SQLITE_ROW || sqlite3_column_type(stmt.get(), 0) != SQLITE_BLOB)
        return {};
    const auto* data = static_cast<const char*>(sqlite3_column_blob(stmt.get(), 0));
    return QByteArray(data, sqlite3_column_bytes(stmt.get(), 0));
}

// Ours, made with this password, and the template table has our 29 columns in
// their order (a row is then always readable by name).
bool verifyStore(sqlite3* db, const char* password)
{
    const QByteArray salt = metaValue(db, kSaltKey);
    const QByteArray check = metaValue(db, kCheckKey);
    if (salt.isEmpty() || check.isEmpty() || check != passwordCheck(salt, password))
        return false;
    Statement info(db, "PRAGMA table_info(" + tableName() + ")");
    if (!info.isValid())
        return false;
    int index = 0;
    while (info.step() == SQLITE_ROW) {
        if (index >= kTemplateColumnCount)
            return false;
        const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(info.get(), 1));
        if (!name || QString::fromUtf8(name) != kTemplateColumns[index].name)
            return false;
        ++index;
    }
    return index == kTemplateColumnCount;
}

QByteArray declaredType(ColumnKind kind)
{
    switch (kind) {
    case ColumnKind::Text:
        return "TEXT NOT NULL";
    case ColumnKind::Number:
        return "INTEGER NOT NULL";
    case ColumnKind::Boolean:
        return "BOOLEAN NOT NULL";
    case ColumnKind::Bytes:
        return "BLOB NOT NULL";
    }
    return {};
}

// Inside an open write transaction on an empty file.
bool initialiseSchema(sqlite3* db, const char* password)
{
    QByteArray create = "CREATE TABLE " + tableName() + " (";
    for (int i = 0; i < kTemplateColumnCount; ++i) {
        if (i > 0)
            create += ", ";
        create += quoted(kTemplateColumns[i].name) + ' ' + declaredType(kTemplateColumns[i].kind);
    }
    create += ")";
    if (!exec(db, create.constData()))
        return false;
    const QByteArray meta = QByteArray("CREATE TABLE ") + kStoreMetaTable +
                            " (key TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL)";
    if (!exec(db, meta.constData()))
        return false;
    QByteArray salt(16, '\0');
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(salt.data()), salt.size() / 4);
    const QByteArray check = passwordCheck(salt, password);
    Statement insert(db, QByteArray("INSERT INTO ") + kStoreMetaTable + " VALUES (?1, ?2)");
    if (!insert.isValid())
        return false;
    const std::pair<const char*, const QByteArray*> rows[] = {{kSaltKey, &salt},
                                                              {kCheckKey, &check}};
    for (const auto& [key, value] : rows) {
        sqlite3_reset(insert.get());
        sqlite3_bind_text(insert.get(), 1, key, -1, SQLITE_STATIC);
        sqlite3_bind_blob(insert.get(), 2, value->constData(), int(value->size()),
                          SQLITE_TRANSIENT);
        if (insert.step() != SQLITE_DONE)
            return false;
    }
    return true;
}

void bindRow(sqlite3_stmt* stmt, const LayoutTemplate& row)
{
    for (int i = 0; i < kTemplateColumnCount; ++i) {
        const int slot = i + 1;
        switch (kTemplateColumns[i].kind) {
        case ColumnKind::Text: {
            const QByteArray name = row.name.toUtf8();
            sqlite3_bind_text(stmt, slot, name.constData(), int(name.size()), SQLITE_TRANSIENT);
            break;
        }
        case ColumnKind::Number:
            sqlite3_bind_int64(stmt, slot, *templateIntField(row, i));
            break;
        case ColumnKind::Boolean:
            sqlite3_bind_int64(stmt, slot, *templateIntField(row, i) != 0 ? 1 : 0);
            break;
        case ColumnKind::Bytes:
            // A null pointer would bind NULL, which no reader accepts as bytes.
            if (row.logoPicture.isEmpty())
                sqlite3_bind_zeroblob(stmt, slot, 0);
            else
                sqlite3_bind_blob(stmt, slot, row.logoPicture.constData(),
                                  int(row.logoPicture.size()), SQLITE_TRANSIENT);
            break;
        }
    }
}

// The rowid of the first row named name, 0 when there is none, -1 on error.
qint64 firstRowidNamed(sqlite3* db, const QString& name)
{
    Statement find(db, "SELECT rowid FROM " + tableName() + " WHERE " +
                           quoted(kTemplateColumns[0].name) + " = ?1 ORDER BY rowid LIMIT 1");
    if (!find.isValid())
        return -1;
    const QByteArray bytes = name.toUtf8();
    sqlite3_bind_text(find.get(), 1, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
    const int rc = find.step();
    if (rc == SQLITE_ROW)
        return sqlite3_column_int64(find.get(), 0);
    return rc == SQLITE_DONE ? 0 : -1;
}

// A connection for writing, closed and (when this call made the file and did
// not finish it) removed on the way out.
class WriteSession
{
public:
    ~WriteSession()
    {
        if (m_db) {
            if (m_inTransaction)
                exec(m_db, "ROLLBACK");
            sqlite3_close_v2(m_db);
        }
        if (m_created && !m_committed) {
            QFile::remove(m_path);
            QFile::remove(m_path + QStringLiteral("-journal"));
        }
    }

    bool open(const QString& path, bool createWhenMissing, QString* error)
    {
        m_path = path;
        const QFileInfo info(path);
        // An empty file holds nothing to lose: it is set up like a missing one.
        m_created = !info.exists();
        const bool fresh = m_created || (info.isFile() && info.size() == 0);
        if (info.exists() && !info.isFile())
            return fail(error, QStringLiteral("%1 is not a file").arg(path));
        if (fresh && !createWhenMissing)
            return fail(error, QStringLiteral("%1 holds no templates").arg(path));
        const int flags = SQLITE_OPEN_READWRITE | (m_created ? SQLITE_OPEN_CREATE : 0);
        if (sqlite3_open_v2(sqlitePath(path).constData(), &m_db, flags, nullptr) != SQLITE_OK)
            return fail(error, QStringLiteral("cannot open %1: %2").arg(path, sqliteMessage(m_db)));
        hardenConnection(m_db);
        if (!exec(m_db, "BEGIN IMMEDIATE"))
            return fail(error,
                        QStringLiteral("cannot write %1: %2").arg(path, sqliteMessage(m_db)));
        m_inTransaction = true;
        if (fresh) {
            if (!initialiseSchema(m_db, kStorePassword))
                return fail(error,
                            QStringLiteral("cannot set up %1: %2").arg(path, sqliteMessage(m_db)));
        } else if (!verifyStore(m_db, kStorePassword)) {
            // Someone else's file, or ours under another password: never overwrite.
            return fail(error,
                        QStringLiteral("%1 is not a template file of this program; left unchanged")
                            .arg(path));
        }
        return true;
    }

    bool commit(QString* error)
    {
        if (!exec(m_db, "COMMIT"))
            return fail(error,
                        QStringLiteral("cannot write %1: %2").arg(m_path, sqliteMessage(m_db)));
        m_inTransaction = false;
        m_committed = true;
        return true;
    }

    bool fail(QString* error, const QString& message)
    {
        if (error)
            *error = message;
        return false;
    }

    sqlite3* db() const { return m_db; }

private:
    QString m_path;
    sqlite3* m_db = nullptr;
    bool m_created = false;
    bool m_inTransaction = false;
    bool m_committed = false;
};

} // namespace

// ---------------------------------------------------------------------------
// TemplateFile

TemplateFile::~TemplateFile()
{
    close();
}

bool TemplateFile::open(const QString& path, const char* password)
{
    close();
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return false;
    if (openConnection(path, password, SQLITE_OPEN_READONLY))
        return true;
    // A save cut off mid-transaction leaves a hot journal that only a
    // connection able to write can roll back; until then a read-only one sees
    // no store at all although every row is still there.
    const QFileInfo journal(path + QStringLiteral("-journal"));
    if (!m_hotJournal && !journal.exists())
        return false;
    if (!QFileInfo(path).isWritable())
        return false;
    return openConnection(path, password, SQLITE_OPEN_READWRITE);
}

bool TemplateFile::openConnection(const QString& path, const char* password, int flags)
{
    m_hotJournal = false;
    if (sqlite3_open_v2(sqlitePath(path).constData(), &m_db, flags, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        return false;
    }
    hardenConnection(m_db);
    // Reading never writes; a journal is still rolled back when the file is
    // first read.
    exec(m_db, "PRAGMA query_only = ON");
    // One read transaction for the whole operation: the rows seen stay the same.
    bool ok = exec(m_db, "BEGIN") && verifyStore(m_db, password);
    if (!ok)
        m_hotJournal = sqlite3_extended_errcode(m_db) == SQLITE_READONLY_ROLLBACK;
    if (ok) {
        Statement rowids(m_db, "SELECT rowid FROM " + tableName() + " ORDER BY rowid");
        ok = rowids.isValid();
        int rc = SQLITE_ROW;
        while (ok && (rc = rowids.step()) == SQLITE_ROW)
            m_rowids.push_back(sqlite3_column_int64(rowids.get(), 0));
        ok = ok && rc == SQLITE_DONE;
    }
    if (ok) {
        const QByteArray sql =
            "SELECT " + columnList() + " FROM " + tableName() + " WHERE rowid = ?1";
        ok = sqlite3_prepare_v2(m_db, sql.constData(), int(sql.size()), &m_rowStatement, nullptr) ==
             SQLITE_OK;
    }
    if (!ok) {
        const bool hot = m_hotJournal;
        close();
        m_hotJournal = hot;
        return false;
    }
    m_current = 0;
    return true;
}

int TemplateFile::rowCount() const
{
    return int(qMin<qsizetype>(qsizetype(m_rowids.size()), std::numeric_limits<int>::max()));
}

void TemplateFile::first()
{
    m_current = 0;
}

void TemplateFile::skip()
{
    if (m_current < qsizetype(m_rowids.size()))
        ++m_current;
}

bool TemplateFile::atEnd() const
{
    return m_current >= qsizetype(m_rowids.size());
}

bool TemplateFile::loadRow() const
{
    if (!m_rowStatement || atEnd())
        return false;
    if (m_loaded == m_current)
        return true;
    m_loaded = -1;
    sqlite3_reset(m_rowStatement);
    sqlite3_bind_int64(m_rowStatement, 1, m_rowids[size_t(m_current)]);
    if (sqlite3_step(m_rowStatement) != SQLITE_ROW)
        return false;
    m_loaded = m_current;
    return true;
}

ColumnValue TemplateFile::readColumn(int number) const
{
    ColumnValue value;
    if (number < 1 || number > kTemplateColumnCount || !m_rowStatement || atEnd())
        return value;
    if (!loadRow()) {
        // The row is listed but its pages could not be read.
        value.kind = ColumnValue::Kind::Unreadable;
        return value;
    }
    sqlite3_stmt* stmt = m_rowStatement;
    const int index = number - 1;
    switch (sqlite3_column_type(stmt, index)) {
    case SQLITE_INTEGER:
        value.kind = ColumnValue::Kind::Integer;
        value.integer = sqlite3_column_int64(stmt, index);
        break;
    case SQLITE_FLOAT:
        value.kind = ColumnValue::Kind::Real;
        value.real = sqlite3_column_double(stmt, index);
        break;
    case SQLITE_TEXT: {
        value.kind = ColumnValue::Kind::Text;
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, index));
        value.text = QString::fromUtf8(text, sqlite3_column_bytes(stmt, index));
        break;
    }
    case SQLITE_BLOB: {
        value.kind = ColumnValue::Kind::Bytes;
        const auto* data = static_cast<const char*>(sqlite3_column_blob(stmt, index));
        value.bytes = QByteArray(data, sqlite3_column_bytes(stmt, index));
        break;
    }
    default:
        value.kind = ColumnValue::Kind::Null;
        break;
    }
    return value;
}

ColumnValue TemplateFile::readColumn(QStringView name) const
{
    const int index = templateColumnIndex(name);
    return index < 0 ? ColumnValue{} : readColumn(index + 1);
}

bool TemplateFile::findFirst(const std::function<bool(const TemplateFile&, bool*)>& predicate)
{
    const qsizetype start = m_current;
    for (qsizetype i = start; i < qsizetype(m_rowids.size()); ++i) {
        m_current = i;
        bool stop = false;
        if (predicate(*this, &stop))
            return true;
        if (stop)
            break;
    }
    m_current = start;
    return false;
}

void TemplateFile::close()
{
    sqlite3_finalize(m_rowStatement);
    m_rowStatement = nullptr;
    if (m_db)
        sqlite3_close_v2(m_db); // ends the read transaction
    m_db = nullptr;
    m_rowids.clear();
    m_current = 0;
    m_loaded = -1;
}

// ---------------------------------------------------------------------------
// Rows

bool readTemplateRow(const TemplateFile& query, bool logoAlways, LayoutTemplate& out,
                     ColumnKindError* error)
{
    LayoutTemplate row;
    auto mismatch = [error](int code, const char16_t* message, int column) {
        if (error)
            *error = {code, QString::fromUtf16(message), column};
        return false;
    };
    for (int i = 0; i < kTemplateColumnCount; ++i) {
        const TemplateColumn& column = kTemplateColumns[i];
        if (column.kind == ColumnKind::Bytes && !logoAlways && row.logo == 0)
            continue;
        const ColumnValue value = query.readColumn(column.name);
        if (value.kind == ColumnValue::Kind::Unreadable) {
            if (error) {
                *error = {0, QStringLiteral("row cannot be read (damaged file)"), i + 1};
                error->unreadable = true;
            }
            return false;
        }
        switch (column.kind) {
        case ColumnKind::Text:
            if (value.kind != ColumnValue::Kind::Text)
                return mismatch(5, kKindMismatchMessage, i + 1);
            row.name = value.text;
            break;
        case ColumnKind::Number:
            if (value.kind == ColumnValue::Kind::Integer)
                *templateIntField(row, i) =
                    qint32(std::clamp<qint64>(value.integer, std::numeric_limits<qint32>::min(),
                                              std::numeric_limits<qint32>::max()));
            else if (value.kind == ColumnValue::Kind::Real)
                *templateIntField(row, i) = truncToInt(value.real);
            else
                return mismatch(2, kNotNumericMessage, i + 1);
            break;
        case ColumnKind::Boolean:
            if (value.kind != ColumnValue::Kind::Integer)
                return mismatch(5, kKindMismatchMessage, i + 1);
            *templateIntField(row, i) = value.integer != 0 ? 1 : 0;
            break;
        case ColumnKind::Bytes:
            if (value.kind != ColumnValue::Kind::Bytes)
                return mismatch(5, kKindMismatchMessage, i + 1);
            row.logoPicture = value.bytes;
            break;
        }
    }
    out = row;
    return true;
}

FindResult findTemplateByName(const QString& path, const QString& name, LayoutTemplate& out,
                              ColumnKindError* error)
{
    if (name.isEmpty())
        return FindResult::NotFound;
    TemplateFile query;
    if (!query.open(path, kStorePassword))
        return FindResult::Unreadable;
    query.first();
    ColumnKindError kindError;
    bool unreadable = false;
    const bool found = query.findFirst([&](const TemplateFile& row, bool* stop) {
        const ColumnValue stored = row.readColumn(1);
        if (stored.kind == ColumnValue::Kind::Unreadable) {
            // A damaged page is not a value of another kind: the store is
            // unreadable, and nothing is fatal about that.
            unreadable = true;
            *stop = true;
            return false;
        }
        if (stored.kind != ColumnValue::Kind::Text) {
            kindError = {5, QString::fromUtf16(kKindMismatchMessage), 1};
            *stop = true;
            return false;
        }
        return stored.text == name; // QString equality is byte equality of the GBK texts
    });
    if (unreadable)
        return FindResult::Unreadable;
    if (!found && kindError.code == 0)
        return FindResult::NotFound;
    LayoutTemplate row;
    if (kindError.code != 0 || !readTemplateRow(query, false, row, &kindError)) {
        if (kindError.unreadable)
            return FindResult::Unreadable;
        if (error)
            *error = kindError;
        return FindResult::WrongKind;
    }
    out = row;
    return FindResult::Found;
}

bool createTemplateStore(const QString& path, const char* password, QString* error)
{
    if (QFileInfo::exists(path)) {
        if (error)
            *error = QStringLiteral("%1 already exists").arg(path);
        return false;
    }
    sqlite3* db = nullptr;
    bool ok = sqlite3_open_v2(sqlitePath(path).constData(), &db,
                              SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK;
    ok = ok && exec(db, "BEGIN IMMEDIATE") && initialiseSchema(db, password) && exec(db, "COMMIT");
    if (!ok && error)
        *error = QStringLiteral("cannot create %1: %2").arg(path, sqliteMessage(db));
    sqlite3_close_v2(db);
    if (!ok)
        QFile::remove(path);
    return ok;
}

bool writeTemplateRows(const QString& path, const QList<LayoutTemplate>& rows, QString* error,
                       WriteCounts* counts)
{
    if (counts)
        *counts = {};
    for (const LayoutTemplate& row : rows) {
        // A row with an empty name would hide every row stored after it.
        if (row.name.isEmpty()) {
            if (error)
                *error = QStringLiteral("a template needs a name (%1)")
                             .arg(kTemplateColumns[0].name.toString());
            return false;
        }
    }
    WriteSession session;
    if (!session.open(path, true, error))
        return false;
    sqlite3* db = session.db();
    QByteArray placeholders;
    QByteArray assignments;
    for (int i = 0; i < kTemplateColumnCount; ++i) {
        const QByteArray slot = '?' + QByteArray::number(i + 1);
        placeholders += (i ? ", " : "") + slot;
        assignments += (i ? ", " : "") + quoted(kTemplateColumns[i].name) + " = " + slot;
    }
    const QByteArray rowidSlot = '?' + QByteArray::number(kTemplateColumnCount + 1);
    // The rowid is bound NULL to append, or to the place a row must take.
    Statement insert(db, "INSERT INTO " + tableName() + " (rowid, " + columnList() + ") VALUES (" +
                             rowidSlot + ", " + placeholders + ")");
    Statement update(db, "UPDATE " + tableName() + " SET " + assignments +
                             " WHERE rowid = " + rowidSlot);
    // The list ends at the first row whose name is empty or not text.
    Statement listEnd(db, "SELECT rowid FROM " + tableName() + " WHERE typeof(" +
                              quoted(kTemplateColumns[0].name) + ") != 'text' OR " +
                              quoted(kTemplateColumns[0].name) + " = '' ORDER BY rowid LIMIT 1");
    Statement lastRowid(db, "SELECT max(rowid) FROM " + tableName());
    Statement shift(db, "UPDATE " + tableName() + " SET rowid = rowid + ?1 WHERE rowid >= ?2");
    Statement remove(db, "DELETE FROM " + tableName() + " WHERE rowid = ?1");
    if (!insert.isValid() || !update.isValid() || !listEnd.isValid() || !lastRowid.isValid() ||
        !shift.isValid() || !remove.isValid())
        return session.fail(error,
                            QStringLiteral("cannot write %1: %2").arg(path, sqliteMessage(db)));
    auto failed = [&] {
        return session.fail(error,
                            QStringLiteral("cannot write %1: %2").arg(path, sqliteMessage(db)));
    };
    // A rowid from a one-value query: 0 when there is none, -1 on error.
    auto queryRowid = [](Statement& stmt) -> qint64 {
        sqlite3_reset(stmt.get());
        const int rc = stmt.step();
        if (rc == SQLITE_ROW)
            return sqlite3_column_int64(stmt.get(), 0);
        return rc == SQLITE_DONE ? 0 : -1;
    };
    QSet<qint64> added;
    QSet<qint64> replaced;
    for (const LayoutTemplate& row : rows) {
        const qint64 rowid = firstRowidNamed(db, row.name);
        const qint64 end = queryRowid(listEnd);
        if (rowid < 0 || end < 0)
            return failed();
        if (rowid > 0 && (end == 0 || rowid < end)) {
            sqlite3_reset(update.get());
            sqlite3_clear_bindings(update.get());
            bindRow(update.get(), row);
            sqlite3_bind_int64(update.get(), kTemplateColumnCount + 1, rowid);
            if (update.step() != SQLITE_DONE)
                return failed();
            if (!added.contains(rowid))
                replaced.insert(rowid);
        } else {
            // New, or only found behind the end of the list: the row goes just
            // before the end, where the list will show it.
            if (rowid > 0) {
                sqlite3_reset(remove.get());
                sqlite3_bind_int64(remove.get(), 1, rowid);
                if (remove.step() != SQLITE_DONE)
                    return failed();
            }
            sqlite3_reset(insert.get());
            sqlite3_clear_bindings(insert.get());
            bindRow(insert.get(), row);
            if (end > 0) {
                // Move the end and everything after it above the last rowid,
                // keeping their order, to free the end's place.
                const qint64 last = queryRowid(lastRowid);
                if (last <= 0)
                    return failed();
                sqlite3_reset(shift.get());
                sqlite3_bind_int64(shift.get(), 1, last - end + 1);
                sqlite3_bind_int64(shift.get(), 2, end);
                if (shift.step() != SQLITE_DONE)
                    return failed();
                sqlite3_bind_int64(insert.get(), kTemplateColumnCount + 1, end);
            }
            if (insert.step() != SQLITE_DONE)
                return failed();
            const qint64 inserted = sqlite3_last_insert_rowid(db);
            if (rowid > 0)
                replaced.insert(inserted);
            else
                added.insert(inserted);
        }
    }
    if (!session.commit(error))
        return false;
    if (counts)
        *counts = {int(added.size()), int(replaced.size())};
    return true;
}

bool deleteTemplateRow(const QString& path, const QString& name, bool* found, QString* error)
{
    if (found)
        *found = false;
    WriteSession session;
    if (!session.open(path, false, error))
        return false;
    sqlite3* db = session.db();
    const qint64 rowid = firstRowidNamed(db, name);
    if (rowid < 0)
        return session.fail(error,
                            QStringLiteral("cannot read %1: %2").arg(path, sqliteMessage(db)));
    if (rowid == 0)
        return session.commit(error);
    Statement remove(db, "DELETE FROM " + tableName() + " WHERE rowid = ?1");
    sqlite3_bind_int64(remove.get(), 1, rowid);
    if (remove.step() != SQLITE_DONE)
        return session.fail(error,
                            QStringLiteral("cannot write %1: %2").arg(path, sqliteMessage(db)));
    if (!session.commit(error))
        return false;
    if (found)
        *found = true;
    return true;
}

bool readTemplateNames(const QString& path, QStringList& names, QString* error)
{
    names.clear();
    TemplateFile query;
    if (!query.open(path, kStorePassword)) {
        if (error)
            *error =
                QStringLiteral("%1 is missing or not a template file of this program").arg(path);
        return false;
    }
    query.first();
    const int n = query.rowCount();
    for (int i = 0; i < n; ++i, query.skip()) {
        const ColumnValue name = query.readColumn(1);
        if (name.kind == ColumnValue::Kind::Unreadable) {
            names.clear();
            if (error)
                *error =
                    QStringLiteral("%1 is damaged: row %2 cannot be read").arg(path).arg(i + 1);
            return false;
        }
        // An empty name ends the list; so does a name that is not text at all,
        // since filling a list has nobody to report the damage to.
        if (name.kind != ColumnValue::Kind::Text || name.text.isEmpty())
            break;
        names.append(name.text);
    }
    return true;
}

bool readVisibleTemplates(const QString& path, QList<LayoutTemplate>& rows, QString* error)
{
    rows.clear();
    TemplateFile query;
    if (!query.open(path, kStorePassword)) {
        if (error)
            *error = QStringLiteral("cannot open %1 as a template file").arg(path);
        return false;
    }
    QSet<QString> seen;
    const int n = query.rowCount();
    query.first();
    for (int i = 0; i < n; ++i, query.skip()) {
        const ColumnValue name = query.readColumn(1);
        if (name.kind == ColumnValue::Kind::Unreadable) {
            if (error)
                *error =
                    QStringLiteral("%1 is damaged: row %2 cannot be read").arg(path).arg(i + 1);
            rows.clear();
            return false;
        }
        if (name.kind != ColumnValue::Kind::Text || name.text.isEmpty())
            break;
        if (seen.contains(name.text))
            continue; // shadowed by the first row of that name
        seen.insert(name.text);
        LayoutTemplate row;
        ColumnKindError kindError;
        if (!readTemplateRow(query, true, row, &kindError)) {
            if (error)
                *error = QStringLiteral("template \"%1\": column %2: %3")
                             .arg(name.text, kTemplateColumns[kindError.column - 1].name.toString(),
                                  kindError.message);
            rows.clear();
            return false;
        }
        rows.append(row);
    }
    return true;
}

} // namespace vellora
