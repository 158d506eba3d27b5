#pragma once

// What the reading and the writing side of the template file share: the
// password check, the table's names and columns, statements and the checks a
// connection to a file from elsewhere needs.

#include "templates/TemplateFile.h"

#include "core/SafeFile.h"
#include <QCryptographicHash>

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <sqlite3.h>

namespace vellora::templatefile {

// The password never lands in the file: only a salted digest of it does, and a
// file without the digest, or with another one, is not ours.
constexpr const char* kSaltKey = "salt";
constexpr const char* kCheckKey = "password-check";
constexpr int kBusyTimeoutMs = 3000;

inline QByteArray passwordCheck(const QByteArray& salt, const char* password)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(salt);
    hash.addData(QByteArrayView("vellora-templates\0", 18));
    hash.addData(QByteArrayView(password));
    return hash.result();
}

inline QByteArray quoted(QStringView identifier)
{
    QByteArray out = identifier.toUtf8();
    out.replace('"', "\"\"");
    return '"' + out + '"';
}

inline QByteArray tableName()
{
    return quoted(QStringView(kTemplateTableName));
}

inline QByteArray columnList()
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
inline QByteArray sqlitePath(const QString& path)
{
    return QFile::encodeName(QFileInfo(path).absoluteFilePath());
}

// The store's real file: the package's own link beside the program is
// followed, any other link refused (error names it). SQLite is then given
// this path with SQLITE_OPEN_NOFOLLOW, so a link planted since is refused too
// and a dangling one never makes SQLite create a file in its target.
inline bool realStorePath(const QString& path, QString& real, QString* error)
{
    const TrustedLocation where = resolveTrusted(path);
    if (!where.ok()) {
        if (error)
            *error = where.error;
        return false;
    }
    real = where.path();
    return true;
}

inline QString sqliteMessage(sqlite3* db)
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

inline bool exec(sqlite3* db, const char* sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A file from elsewhere is read as untrusted input.
inline void hardenConnection(sqlite3* db)
{
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
    exec(db, "PRAGMA cell_size_check = ON");
}

inline QByteArray metaValue(sqlite3* db, const char* key)
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
inline bool verifyStore(sqlite3* db, const char* password)
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

} // namespace vellora::templatefile
