#pragma once

#include "core/LayoutTemplate.h"
#include "core/Messages.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <functional>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace vellora {

// The table of templates and the table that holds the password check.
inline constexpr const char16_t* kTemplateTableName = u"排版";
inline constexpr const char* kStoreMetaTable = "vellora_store";
// The password every file of ours is made with and opened with.
inline constexpr const char* kStorePassword = "Kq7#vR2mT9x!pLw";

// One stored value as the file holds it.
struct ColumnValue
{
    // Unreadable: the row exists but the file could not give it (a damaged
    // page), which says nothing about the kind of what is stored there.
    enum class Kind { Missing, Unreadable, Null, Integer, Real, Text, Bytes };
    Kind kind = Kind::Missing;
    qint64 integer = 0;
    double real = 0.0;
    QString text;
    QByteArray bytes;
};

// Record-level access to sj.edb for one operation, read only. A failed open
// leaves nothing open and every later call behaves as on an empty table.
class TemplateFile
{
public:
    TemplateFile() = default;
    ~TemplateFile();
    TemplateFile(const TemplateFile&) = delete;
    TemplateFile& operator=(const TemplateFile&) = delete;

    // Opens for reading (a missing file is not created) and checks that the
    // file is a template file made with this password. A save that was cut
    // off leaves a journal behind; it is rolled back here when the file can be
    // written, since a read-only connection cannot and the rows are still there.
    bool open(const QString& path, const char* password);
    bool isOpen() const { return m_db != nullptr; }
    int rowCount() const;
    void first();
    void skip();
    // True when the current row is past the last row.
    bool atEnd() const;
    // Column 1 … 29 of the current row; Missing when there is no current row,
    // Unreadable when the row could not be read from the file.
    ColumnValue readColumn(int number) const;
    ColumnValue readColumn(QStringView name) const;
    // From the current row on, the first row the predicate holds for becomes
    // current (true); otherwise the current row stays (false). A predicate may
    // ask to stop the search by setting *stop.
    bool findFirst(const std::function<bool(const TemplateFile&, bool* stop)>& predicate);
    void close();

private:
    bool openConnection(const QString& path, const char* password, int flags);
    bool loadRow() const;

    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_rowStatement = nullptr;
    std::vector<qint64> m_rowids; // storage order
    qsizetype m_current = 0;
    mutable qsizetype m_loaded = -1; // row the statement is stepped on
    bool m_hotJournal = false;       // the last open met a journal it could not roll back
};

// Why a stored value could not be taken as its column's kind.
struct ColumnKindError
{
    int code = 0; // 5: text/boolean/bytes column, 2: number column
    QString message;
    int column = 0; // 1-based
    // The row could not be read at all: the file is damaged, not of another kind.
    bool unreadable = false;
};

// Reads every column of the current row by name, in column order, into a
// template. 标志图片 is read when 加标志 is yes, or always with logoAlways.
// Returns false with the error of the first column whose stored kind does not
// match, or with unreadable set when the row could not be read.
bool readTemplateRow(const TemplateFile& query, bool logoAlways, LayoutTemplate& out,
                     ColumnKindError* error);

enum class FindResult { Found, NotFound, Unreadable, WrongKind };

// Opens the store at path, finds the first row named name (exact, case and
// all) and reads it as a load does (the logo only when 加标志 is yes). A name
// of the wrong kind met on the way, or a column of the wrong kind in the found
// row, gives WrongKind with *error set. The store is closed on return.
FindResult findTemplateByName(const QString& path, const QString& name, LayoutTemplate& out,
                              ColumnKindError* error);

// Creates an empty template file (schema and password check) at path, which
// must not exist yet.
bool createTemplateStore(const QString& path, const char* password, QString* error);

// What a write did to the file: rows added, rows that were there and were
// replaced. A row written twice in one call counts once.
struct WriteCounts
{
    int added = 0;
    int replaced = 0;
    int written() const { return added + replaced; }
};

// Writes rows into the store at path in one transaction: each replaces the
// first row of its name (keeping its place) or is added. Every row lands where
// the name list shows it: a new row, or a row of that name hidden behind an
// empty-name row, goes just before the first empty-name row. Creates the file
// when it is missing; refuses a file that is not a template file of this
// password. Empty names are refused (an empty name would end the list).
bool writeTemplateRows(const QString& path, const QList<LayoutTemplate>& rows, QString* error,
                       WriteCounts* counts = nullptr);

// Deletes the first row named name in one transaction. *found tells whether
// there was one.
bool deleteTemplateRow(const QString& path, const QString& name, bool* found, QString* error);

// The names listTemplateNames shows. False with a message when the file
// cannot be opened or a row cannot be read (names then empty).
bool readTemplateNames(const QString& path, QStringList& names, QString* error);

// The rows a program sees, in storage order: up to the first empty name, the
// first row of each name, logos as stored. False with a message on a file
// that cannot be opened or a value of the wrong kind.
bool readVisibleTemplates(const QString& path, QList<LayoutTemplate>& rows, QString* error);

} // namespace vellora
