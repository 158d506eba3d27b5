#pragma once

// What the opening and the recording side of the print ledger share: the
// connection, its cached statements, the transaction rule and the schema.

#include "core/SafeFile.h"
#include "ledger/PrintLedger.h"

#include <QDateTime>
#include <QString>

#include <sqlite3.h>

#include <functional>
#include <mutex>
#include <unordered_map>

namespace vellora {

namespace ledger {

// "Vlgr": a file whose header says otherwise is not ours.
inline constexpr int kApplicationId = 0x566C6772;
inline constexpr int kSchemaVersion = 2;
// Version 1 lacked the last columns of sheets (the job's own state, the
// resend and the operator's hold); opening such a file adds them.
inline constexpr int kSheetColumnsAddedIn2 = 4;
extern const char* const kUpgradeTo2Sql;
inline constexpr int kBusyTimeoutMs = 2000;

// Tables and their columns, in order: a file whose tables differ is not a
// ledger this program can read.
struct TableShape
{
    const char* name;
    std::initializer_list<const char*> columns;
};
extern const TableShape kTables[];
extern const int kTableCount;
extern const char* const kSchemaSql;

} // namespace ledger

struct PrintLedger::Impl
{
    std::mutex mutex;
    sqlite3* db = nullptr;
    PrintLedger::Mode mode = PrintLedger::Mode::Write;
    QString programFolder;
    FileDescriptor folder; // the real folder the file lives in
    QString folderPath;
    QByteArray name;
    QString path;
    bool damaged = false;
    int batchDepth = 0;
    bool batchFailed = false;
    bool batchSync = false;
    QString batchError;
    std::function<QDateTime()> clock;
    std::unordered_map<const char*, sqlite3_stmt*> statements;

    ~Impl() { closeDb(); }

    qint64 nowMs() const
    {
        return (clock ? clock() : QDateTime::currentDateTimeUtc()).toMSecsSinceEpoch();
    }
    void closeDb();
    // The statement for this literal, prepared once and kept.
    sqlite3_stmt* statement(const char* sql);
    // SQLite's words for the last failure; marks the ledger damaged when
    // SQLite says the file is.
    QString failure(const char* what);
    bool exec(const char* sql);
    // Brings what is committed to the disk.
    bool syncJournal();

    // One change: its own transaction, or a part of the open batch. sync:
    // the commit reaches the disk before returning.
    LedgerWrite write(bool sync, const std::function<LedgerWrite()>& change);
    LedgerWrite notOpen() const;

    LedgerOpening openFile();
    // Brings a ledger of the schema before this one up to date.
    bool upgrade();
    // Renames the file (and its -wal and -shm) aside; the new name, or empty
    // with *error.
    QString setAside(QString* error);
};

namespace ledger {

// A cached statement, reset and unbound when it goes.
class Query
{
public:
    Query(PrintLedger::Impl& impl, const char* sql) : m_stmt(impl.statement(sql)) {}
    ~Query()
    {
        if (m_stmt) {
            sqlite3_reset(m_stmt);
            sqlite3_clear_bindings(m_stmt);
        }
    }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    bool isValid() const { return m_stmt != nullptr; }
    Query& bind(int i, qint64 value)
    {
        sqlite3_bind_int64(m_stmt, i, value);
        return *this;
    }
    Query& bind(int i, const QString& text)
    {
        const QByteArray utf8 = text.toUtf8();
        sqlite3_bind_text(m_stmt, i, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Query& bindBlob(int i, const QByteArray& bytes)
    {
        // An empty blob is still a blob, never NULL.
        sqlite3_bind_blob(m_stmt, i, bytes.isEmpty() ? "" : bytes.constData(), int(bytes.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    Query& bindNull(int i)
    {
        sqlite3_bind_null(m_stmt, i);
        return *this;
    }
    int step() { return m_stmt ? sqlite3_step(m_stmt) : SQLITE_MISUSE; }
    // Runs a statement that returns no rows.
    bool run() { return step() == SQLITE_DONE; }

    bool isNull(int column) const { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }
    qint64 int64(int column) const { return sqlite3_column_int64(m_stmt, column); }
    QString text(int column) const
    {
        return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column)),
                                 sqlite3_column_bytes(m_stmt, column));
    }
    QByteArray blob(int column) const
    {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(m_stmt, column));
        return QByteArray(data, sqlite3_column_bytes(m_stmt, column));
    }
    QDateTime time(int column) const
    {
        return isNull(column) ? QDateTime()
                              : QDateTime::fromMSecsSinceEpoch(int64(column), Qt::UTC);
    }

private:
    sqlite3_stmt* m_stmt;
};

} // namespace ledger

} // namespace vellora
