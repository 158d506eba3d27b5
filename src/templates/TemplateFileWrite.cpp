#include "templates/TemplateFile.h"

#include "core/TemplateValues.h"
#include "templates/TemplateFileSql.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>

#include <sqlite3.h>

#include <algorithm>
#include <limits>

namespace vellora {

using namespace templatefile;

// Writing the template file: creating it, saving rows, deleting a row; each in
// one transaction.

namespace {

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
        if (!realStorePath(path, m_path, error))
            return false;
        const QFileInfo info(m_path);
        // An empty file holds nothing to lose: it is set up like a missing one.
        m_created = !info.exists();
        const bool fresh = m_created || (info.isFile() && info.size() == 0);
        if (info.exists() && !info.isFile())
            return fail(error, QStringLiteral("%1 is not a file").arg(path));
        if (fresh && !createWhenMissing)
            return fail(error, QStringLiteral("%1 holds no templates").arg(path));
        const int flags = SQLITE_OPEN_READWRITE | (m_created ? SQLITE_OPEN_CREATE : 0);
        if (sqlite3_open_v2(sqlitePath(m_path).constData(), &m_db, flags | SQLITE_OPEN_NOFOLLOW,
                            nullptr) != SQLITE_OK)
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

bool createTemplateStore(const QString& given, const char* password, QString* error)
{
    QString path;
    if (!realStorePath(given, path, error))
        return false;
    QFileInfo info(path);
    if (info.exists() || info.isSymLink()) {
        if (error)
            *error = QStringLiteral("%1 already exists").arg(path);
        return false;
    }
    sqlite3* db = nullptr;
    bool ok = sqlite3_open_v2(sqlitePath(path).constData(), &db,
                              SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW,
                              nullptr) == SQLITE_OK;
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

} // namespace vellora
