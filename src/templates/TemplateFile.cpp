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

// ---------------------------------------------------------------------------
// TemplateFile

TemplateFile::~TemplateFile()
{
    close();
}

bool TemplateFile::open(const QString& path, const char* password)
{
    close();
    QString real;
    if (path.isEmpty() || !realStorePath(path, real, nullptr) || !QFileInfo(real).isFile())
        return false;
    if (openConnection(real, password, SQLITE_OPEN_READONLY))
        return true;
    // A save cut off mid-transaction leaves a hot journal that only a
    // connection able to write can roll back; until then a read-only one sees
    // no store at all although every row is still there.
    const QFileInfo journal(real + QStringLiteral("-journal"));
    if (!m_hotJournal && !journal.exists())
        return false;
    if (!QFileInfo(real).isWritable())
        return false;
    return openConnection(real, password, SQLITE_OPEN_READWRITE);
}

bool TemplateFile::openConnection(const QString& path, const char* password, int flags)
{
    m_hotJournal = false;
    if (sqlite3_open_v2(sqlitePath(path).constData(), &m_db, flags | SQLITE_OPEN_NOFOLLOW,
                        nullptr) != SQLITE_OK) {
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
