#include "app/Startup.h"
#include "core/AppState.h"
#include "core/Config.h"
#include "core/FatalError.h"
#include "sheet/SheetGeometry.h"
#include "sheet/TemplateLoader.h"
#include "templates/TemplateFile.h"
#include "testutils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sqlite3.h>

#include <limits>

using namespace vellora;

namespace {

// Every column a different value derived from seed, logo included.
LayoutTemplate sampleTemplate(const QString& name, int seed = 1)
{
    LayoutTemplate t;
    t.name = name;
    for (int i = 1; i < kTemplateColumnCount - 1; ++i) {
        const bool boolean = kTemplateColumns[i].kind == ColumnKind::Boolean;
        // Counts stay small: a load lays out a sheet of them.
        const bool count = kTemplateColumns[i].name.endsWith(u"张数");
        *templateIntField(t, i) = boolean ? ((i + seed) % 2)
                                  : count ? 1 + (i + seed) % 3
                                          : seed * 100 + i;
    }
    t.logo = 1;
    t.logoPicture = QByteArray("BM\0\x01\xfe", 5) + QByteArray::number(seed);
    return t;
}

bool runSql(const QString& path, const QByteArray& sql)
{
    sqlite3* db = nullptr;
    bool ok = sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE,
                              nullptr) == SQLITE_OK;
    char* message = nullptr;
    ok = ok && sqlite3_exec(db, sql.constData(), nullptr, nullptr, &message) == SQLITE_OK;
    if (message)
        qWarning("%s", message);
    sqlite3_free(message);
    sqlite3_close(db);
    return ok;
}

// A store of ours whose template table has no declared types, so that any
// kind of value stays as inserted.
void makeUntypedStore(const QString& path)
{
    QString error;
    QVERIFY2(createTemplateStore(path, kStorePassword, &error), qPrintable(error));
    QByteArray columns;
    for (const TemplateColumn& column : kTemplateColumns)
        columns += (columns.isEmpty() ? "\"" : ", \"") + column.name.toUtf8() + '"';
    QVERIFY(runSql(path, "DROP TABLE \"排版\"; CREATE TABLE \"排版\" (" + columns + ");"));
}

// One row of SQL literals: a template's values with some columns overridden.
QByteArray rowLiterals(const LayoutTemplate& t, const QMap<QString, QByteArray>& overrides = {})
{
    QByteArray values;
    for (int i = 0; i < kTemplateColumnCount; ++i) {
        const QString column = kTemplateColumns[i].name.toString();
        QByteArray literal;
        if (overrides.contains(column))
            literal = overrides.value(column);
        else if (i == 0)
            literal = "'" + t.name.toUtf8().replace("'", "''") + "'";
        else if (i == kTemplateColumnCount - 1)
            literal = "X'" + t.logoPicture.toHex() + "'";
        else
            literal = QByteArray::number(*templateIntField(t, i));
        values += (i ? ", " : "") + literal;
    }
    return values;
}

bool insertRow(const QString& path, const QByteArray& literals)
{
    return runSql(path, "INSERT INTO \"排版\" VALUES (" + literals + ");");
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Points the chain of one full overflow page of the first blob made of `fill`
// bytes at a page past the end of the file, as a damaged disk would.
bool damageOverflowPage(const QString& path, char fill)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    QByteArray bytes = file.readAll();
    const int pageSize = (quint8(bytes[16]) << 8) | quint8(bytes[17]);
    const QByteArray content(pageSize - 4, fill);
    for (qsizetype page = pageSize; page + pageSize <= bytes.size(); page += pageSize) {
        if (bytes.mid(page + 4, pageSize - 4) == content) {
            bytes.replace(page, 4, QByteArray(4, '\x7f'));
            file.seek(0);
            return file.write(bytes) == bytes.size();
        }
    }
    return false;
}

struct FatalRecord
{
    int calls = 0;
    int code = 0;
    QString message;
};

// A state on a throw-away program folder whose fatal hook records the call.
struct Fixture
{
    test::TempProgramFolder folder;
    AppState state;
    FatalRecord fatal;

    Fixture()
    {
        initialiseAppState(state, folder.path());
        state.fatalError = [this](int code, const QString& message) {
            ++fatal.calls;
            fatal.code = code;
            fatal.message = message;
        };
    }
    QString store() const { return state.storePath(); }
    void save(const QList<LayoutTemplate>& rows)
    {
        QString error;
        QVERIFY2(writeTemplateRows(store(), rows, &error), qPrintable(error));
    }
};

} // namespace

class TestTemplateFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void missingFile()
    {
        Fixture f;
        const LayoutTemplate before = f.state.currentTemplate;
        QVERIFY(listTemplateNames(f.store()).isEmpty());
        QVERIFY(!loadTemplateByName(f.state, QStringLiteral("A")));
        QCOMPARE(f.state.currentTemplate, before);
        QVERIFY(f.state.loadedTemplateName.isEmpty());
        QVERIFY(!f.state.templateLoading);
        // Reading never creates the file.
        QVERIFY(!QFile::exists(f.store()));
        TemplateFile query;
        QVERIFY(!query.open(f.store(), kStorePassword));
        QCOMPARE(query.rowCount(), 0);
        QCOMPARE(query.readColumn(1).kind, ColumnValue::Kind::Missing);
    }

    void emptyTable()
    {
        Fixture f;
        QString error;
        QVERIFY(createTemplateStore(f.store(), kStorePassword, &error));
        QVERIFY(listTemplateNames(f.store()).isEmpty());
        QVERIFY(!loadTemplateByName(f.state, QStringLiteral("A")));
        TemplateFile query;
        QVERIFY(query.open(f.store(), kStorePassword));
        QCOMPARE(query.rowCount(), 0);
        QVERIFY(query.atEnd());
    }

    void queryWalksStorageOrder()
    {
        Fixture f;
        f.save({sampleTemplate(QStringLiteral("甲"), 1), sampleTemplate(QStringLiteral("乙"), 2),
                sampleTemplate(QStringLiteral("丙"), 3)});
        TemplateFile query;
        QVERIFY(query.open(f.store(), kStorePassword));
        QCOMPARE(query.rowCount(), 3);
        query.first();
        QCOMPARE(query.readColumn(1).text, QStringLiteral("甲"));
        query.skip();
        QCOMPARE(query.readColumn(u"名称").text, QStringLiteral("乙"));
        QCOMPARE(query.readColumn(u"尺寸1高度").integer, 201);
        QCOMPARE(query.readColumn(29).bytes, sampleTemplate(QString(), 2).logoPicture);
        // findFirst starts at the current row and leaves it alone on a miss.
        auto named = [](const QString& name) {
            return
                [name](const TemplateFile& row, bool*) { return row.readColumn(1).text == name; };
        };
        QVERIFY(!query.findFirst(named(QStringLiteral("甲"))));
        QCOMPARE(query.readColumn(1).text, QStringLiteral("乙"));
        QVERIFY(query.findFirst(named(QStringLiteral("丙"))));
        QCOMPARE(query.readColumn(1).text, QStringLiteral("丙"));
        query.skip();
        QVERIFY(query.atEnd());
        QCOMPARE(query.readColumn(1).kind, ColumnValue::Kind::Missing);
        query.close();
        QCOMPARE(query.rowCount(), 0);
    }

    void emptyNameEndsTheList()
    {
        Fixture f;
        f.save({sampleTemplate(QStringLiteral("A"))});
        QVERIFY(insertRow(f.store(), rowLiterals(sampleTemplate(QStringLiteral("x")),
                                                 {{QStringLiteral("名称"), "''"}})));
        QVERIFY(insertRow(f.store(), rowLiterals(sampleTemplate(QStringLiteral("B"), 2))));
        QCOMPARE(listTemplateNames(f.store()), QStringList{QStringLiteral("A")});
        // The row is still in the file and can be loaded by its name.
        QVERIFY(loadTemplateByName(f.state, QStringLiteral("B")));
        QCOMPARE(f.state.currentTemplate.size1.height, 201);

        // A save lands where the list shows it: a new name, and a name found
        // only behind the empty one, go before it; a name written twice is one row.
        WriteCounts counts;
        QString error;
        QVERIFY(writeTemplateRows(f.store(),
                                  {sampleTemplate(QStringLiteral("C"), 3),
                                   sampleTemplate(QStringLiteral("C"), 4),
                                   sampleTemplate(QStringLiteral("B"), 5)},
                                  &error, &counts));
        QCOMPARE(counts.added, 1);
        QCOMPARE(counts.replaced, 1);
        QCOMPARE(listTemplateNames(f.store()),
                 QStringList({QStringLiteral("A"), QStringLiteral("C"), QStringLiteral("B")}));
        QVERIFY(loadTemplateByName(f.state, QStringLiteral("C")));
        QCOMPARE(f.state.currentTemplate, sampleTemplate(QStringLiteral("C"), 4));
        QVERIFY(loadTemplateByName(f.state, QStringLiteral("B")));
        QCOMPARE(f.state.currentTemplate, sampleTemplate(QStringLiteral("B"), 5));
        TemplateFile query;
        QVERIFY(query.open(f.store(), kStorePassword));
        QCOMPARE(query.rowCount(), 4); // the hidden B was moved, not copied
    }

    void firstOfTwoRowsWins()
    {
        Fixture f;
        f.save({sampleTemplate(QStringLiteral("A"), 1)});
        QVERIFY(insertRow(f.store(), rowLiterals(sampleTemplate(QStringLiteral("A"), 2))));
        QCOMPARE(listTemplateNames(f.store()),
                 QStringList({QStringLiteral("A"), QStringLiteral("A")}));
        QVERIFY(loadTemplateByName(f.state, QStringLiteral("A")));
        QCOMPARE(f.state.currentTemplate, sampleTemplate(QStringLiteral("A"), 1));
    }

    void namesMatchExactly()
    {
        Fixture f;
        f.save({sampleTemplate(QStringLiteral("A"), 1), sampleTemplate(QStringLiteral("一寸"), 2)});
        QVERIFY(loadTemplateByName(f.state, QStringLiteral("一寸")));
        const LayoutTemplate loaded = f.state.currentTemplate;
        f.state.templateModified = true;
        for (const QString& name : {QStringLiteral("a"), QStringLiteral(" A"), QStringLiteral("A "),
                                    QStringLiteral("一寸 "), QString()}) {
            QVERIFY2(!loadTemplateByName(f.state, name), qPrintable(name));
            QCOMPARE(f.state.currentTemplate, loaded);
            QCOMPARE(f.state.loadedTemplateName, QStringLiteral("一寸"));
            QVERIFY(f.state.templateModified); // untouched by a failed load
        }
        QCOMPARE(f.fatal.calls, 0);
    }

    // A damaged page in a logo is a store that cannot be read, never a value
    // of the wrong kind: no fatal error, nothing listed, the CLI says why.
    void damagedPageIsUnreadable()
    {
        Fixture f;
        LayoutTemplate big = sampleTemplate(QStringLiteral("大标志"), 2);
        big.logoPicture = QByteArray(40000, 'Q');
        f.save({sampleTemplate(QStringLiteral("甲"), 1), big,
                sampleTemplate(QStringLiteral("乙"), 3)});
        QVERIFY(damageOverflowPage(f.store(), 'Q'));

        QVERIFY(listTemplateNames(f.store()).isEmpty());
        QVERIFY(!loadTemplateByName(f.state, QStringLiteral("乙")));
        QVERIFY(!loadTemplateByName(f.state, QStringLiteral("大标志")));
        QCOMPARE(f.fatal.calls, 0);
        QCOMPARE(f.state.currentTemplate, LayoutTemplate{});
        QList<LayoutTemplate> rows;
        QString error;
        QVERIFY(!readVisibleTemplates(f.store(), rows, &error));
        QVERIFY(error.contains(QStringLiteral("damaged")));

        const QString cli =
            QDir(test::builtProgramFolder()).filePath(QStringLiteral("vellora-cli"));
        if (!QFileInfo(cli).isExecutable())
            QSKIP("vellora-cli is not built");
        QProcess process;
        process.start(cli, {QStringLiteral("templates"), QStringLiteral("list"),
                            QStringLiteral("--store"), f.store()});
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 1);
        QVERIFY(process.readAllStandardOutput().isEmpty());
        QVERIFY(
            QString::fromUtf8(process.readAllStandardError()).contains(QStringLiteral("damaged")));
    }

    // A save killed mid-transaction leaves a hot journal: the next read rolls
    // it back and finds every row as it was before the save.
    void interruptedSaveIsRolledBack()
    {
        Fixture f;
        f.save({sampleTemplate(QStringLiteral("甲"), 1), sampleTemplate(QStringLiteral("乙"), 2)});
        sqlite3* db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(f.store()).constData(), &db), SQLITE_OK);
        QCOMPARE(sqlite3_exec(db,
                              "BEGIN IMMEDIATE; UPDATE \"排版\" SET \"尺寸1高度\" = 7; "
                              "DELETE FROM \"排版\" WHERE rowid = 2;",
                              nullptr, nullptr, nullptr),
                 SQLITE_OK);
        QCOMPARE(sqlite3_db_cacheflush(db), SQLITE_OK); // the file holds the half-done save
        // The files as a killed process leaves them: no lock, the journal beside.
        test::TempProgramFolder crashed;
        AppState state;
        initialiseAppState(state, crashed.path());
        QVERIFY(QFile::copy(f.store(), state.storePath()));
        QVERIFY(QFile::copy(f.store() + QStringLiteral("-journal"),
                            state.storePath() + QStringLiteral("-journal")));
        sqlite3_close(db);
        QVERIFY(fileBytes(state.storePath()) != fileBytes(f.store()));

        QCOMPARE(listTemplateNames(state.storePath()),
                 QStringList({QStringLiteral("甲"), QStringLiteral("乙")}));
        QVERIFY(loadTemplateByName(state, QStringLiteral("乙")));
        QCOMPARE(state.currentTemplate, sampleTemplate(QStringLiteral("乙"), 2));
        QVERIFY(!QFileInfo::exists(state.storePath() + QStringLiteral("-journal")));
    }

    void foreignFilesAreNotOpened_data()
    {
        QTest::addColumn<QByteArray>("kind");
        QTest::newRow("another password") << QByteArray("password");
        QTest::newRow("not SQLite") << QByteArray("text");
        QTest::newRow("foreign SQLite") << QByteArray("foreign");
        QTest::newRow("our table, no check") << QByteArray("nocheck");
        QTest::newRow("column missing") << QByteArray("columns");
    }
    void foreignFilesAreNotOpened()
    {
        QFETCH(QByteArray, kind);
        Fixture f;
        const QString path = f.store();
        QString error;
        if (kind == "password") {
            QVERIFY(createTemplateStore(path, "another password", &error));
            QVERIFY(insertRow(path, rowLiterals(sampleTemplate(QStringLiteral("A")))));
        } else if (kind == "text") {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("[排版]\n名称=A\n");
        } else if (kind == "foreign") {
            sqlite3* db = nullptr;
            sqlite3_open(QFile::encodeName(path).constData(), &db);
            sqlite3_exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES (1);", nullptr, nullptr,
                         nullptr);
            sqlite3_close(db);
        } else if (kind == "nocheck") {
            f.save({sampleTemplate(QStringLiteral("A"))});
            QVERIFY(runSql(path, "DELETE FROM vellora_store"));
        } else if (kind == "columns") {
            f.save({sampleTemplate(QStringLiteral("A"))});
            QVERIFY(runSql(path, "ALTER TABLE \"排版\" DROP COLUMN \"间隔\""));
        }
        const QByteArray before = fileBytes(path);
        QVERIFY(!before.isEmpty());

        QVERIFY(listTemplateNames(path).isEmpty());
        QVERIFY(!loadTemplateByName(f.state, QStringLiteral("A")));
        QCOMPARE(f.state.currentTemplate, LayoutTemplate{});
        // Saving refuses rather than overwrite what is not ours.
        f.state.currentTemplate = sampleTemplate(QStringLiteral("B"));
        f.state.templateModified = true;
        QVERIFY(!saveTemplate(f.state, QStringLiteral("B"), &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(f.state.templateModified);
        QVERIFY(!deleteTemplate(path, QStringLiteral("A"), &error));
        QCOMPARE(fileBytes(path), before);
        QCOMPARE(f.fatal.calls, 0);
    }

    void truncatedFile_data()
    {
        QTest::addColumn<int>("keep");
        QTest::addColumn<bool>("unreadable");
        QTest::newRow("header only") << 100 << true;
        QTest::newRow("first page") << 4096 << true;
        QTest::newRow("half") << -2 << true;
        QTest::newRow("one byte short") << -1 << false;
    }
    void truncatedFile()
    {
        QFETCH(int, keep);
        QFETCH(bool, unreadable);
        Fixture f;
        QList<LayoutTemplate> rows;
        QStringList names;
        for (int i = 0; i < 40; ++i) {
            rows.append(sampleTemplate(QStringLiteral("模板%1").arg(i), i));
            names.append(rows.last().name);
        }
        f.save(rows);
        QByteArray bytes = fileBytes(f.store());
        bytes.truncate(keep == -2 ? bytes.size() / 2 : keep == -1 ? bytes.size() - 1 : keep);
        QFile file(f.store());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
        file.close();
        const QStringList listed = listTemplateNames(f.store());
        if (unreadable)
            QVERIFY(listed.isEmpty());
        else
            QCOMPARE(listed, names.first(listed.size())); // never a wrong name
        const bool loaded = loadTemplateByName(f.state, QStringLiteral("模板39"));
        if (loaded)
            QCOMPARE(f.state.currentTemplate, rows.last());
        else
            QCOMPARE(f.state.currentTemplate, LayoutTemplate{});
        QCOMPARE(f.fatal.calls, 0);
    }

    void wrongKindIsFatal_data()
    {
        QTest::addColumn<QString>("column");
        QTest::addColumn<QByteArray>("literal");
        QTest::addColumn<int>("code");
        const QString five = QStringLiteral("数据或数组类型不匹配");
        QTest::newRow("name as integer") << QStringLiteral("名称") << QByteArray("5") << 5;
        QTest::newRow("name as bytes") << QStringLiteral("名称") << QByteArray("X'41'") << 5;
        QTest::newRow("name NULL") << QStringLiteral("名称") << QByteArray("NULL") << 5;
        QTest::newRow("number as text") << QStringLiteral("尺寸1高度") << QByteArray("'abc'") << 2;
        QTest::newRow("number NULL") << QStringLiteral("纸宽度") << QByteArray("NULL") << 2;
        QTest::newRow("number as bytes")
            << QStringLiteral("字体颜色值") << QByteArray("X'00'") << 2;
        QTest::newRow("boolean as text")
            << QStringLiteral("同底照片不同规格") << QByteArray("'yes'") << 5;
        QTest::newRow("boolean as real") << QStringLiteral("居中打印") << QByteArray("1.5") << 5;
        QTest::newRow("boolean NULL") << QStringLiteral("加标志") << QByteArray("NULL") << 5;
        QTest::newRow("logo as text") << QStringLiteral("标志图片") << QByteArray("'BM'") << 5;
        QTest::newRow("logo NULL") << QStringLiteral("标志图片") << QByteArray("NULL") << 5;
    }
    void wrongKindIsFatal()
    {
        QFETCH(QString, column);
        QFETCH(QByteArray, literal);
        QFETCH(int, code);
        Fixture f;
        makeUntypedStore(f.store());
        // The bad row comes first: a bad name is met while searching for "目标".
        const QString name = column == u"名称" ? QStringLiteral("目标") : QStringLiteral("坏");
        QVERIFY(insertRow(f.store(),
                          rowLiterals(sampleTemplate(QStringLiteral("坏")), {{column, literal}})));
        QVERIFY(insertRow(f.store(), rowLiterals(sampleTemplate(QStringLiteral("目标"), 2))));
        const LayoutTemplate before = sampleTemplate(QStringLiteral("之前"), 7);
        f.state.currentTemplate = before;
        f.state.loadedTemplateName = QStringLiteral("之前");
        bool applied = false;
        f.state.applyLoadedTemplate = [&](const LayoutTemplate&) { applied = true; };

        QVERIFY(!loadTemplateByName(f.state, name));
        QCOMPARE(f.fatal.calls, 1);
        QCOMPARE(f.fatal.code, code);
        QCOMPARE(f.fatal.message, code == 5 ? QStringLiteral("数据或数组类型不匹配")
                                            : QStringLiteral("未得到所需要的数值型数据"));
        QVERIFY(!applied);
        QCOMPARE(f.state.currentTemplate, before);
        QCOMPARE(f.state.loadedTemplateName, QStringLiteral("之前"));
        QVERIFY(!f.state.templateLoading);
    }

    void logoOnlyReadWhenFlagged()
    {
        Fixture f;
        makeUntypedStore(f.store());
        // 加标志 no: whatever 标志图片 holds is not read, not even a wrong kind.
        QVERIFY(insertRow(f.store(), rowLiterals(sampleTemplate(QStringLiteral("无标志")),
                                                 {{QStringLiteral("加标志"), "0"},
                                                  {QStringLiteral("标志图片"), "'text'"}})));
        QVERIFY(insertRow(f.store(), rowLiterals(sampleTemplate(QStringLiteral("有标志"), 2))));
        QVERIFY(loadTemplateByName(f.state, QStringLiteral("无标志")));
        QCOMPARE(f.state.currentTemplate.logo, 0);
        QVERIFY(f.state.currentTemplate.logoPicture.isEmpty());
        QVERIFY(loadTemplateByName(f.state, QStringLiteral("有标志")));
        QCOMPARE(f.state.currentTemplate.logoPicture, sampleTemplate(QString(), 2).logoPicture);
        QCOMPARE(f.fatal.calls, 0);
    }

    void numbersAreConverted_data()
    {
        QTest::addColumn<QString>("column");
        QTest::addColumn<QByteArray>("literal");
        QTest::addColumn<qint32>("value");
        QTest::newRow("fraction") << QStringLiteral("尺寸1高度") << QByteArray("35.9") << 35;
        QTest::newRow("negative fraction")
            << QStringLiteral("左边距") << QByteArray("-35.9") << -35;
        QTest::newRow("real beyond 32 bits")
            << QStringLiteral("纸宽度") << QByteArray("1e12") << std::numeric_limits<qint32>::max();
        QTest::newRow("integer beyond 32 bits")
            << QStringLiteral("纸高度") << QByteArray("-5000000000")
            << std::numeric_limits<qint32>::min();
        QTest::newRow("boolean 2") << QStringLiteral("同底照片不同规格") << QByteArray("2") << 1;
        QTest::newRow("colour") << QStringLiteral("边框线颜色值") << QByteArray("16777215")
                                << 0xFFFFFF;
    }
    void numbersAreConverted()
    {
        QFETCH(QString, column);
        QFETCH(QByteArray, literal);
        QFETCH(qint32, value);
        Fixture f;
        makeUntypedStore(f.store());
        QVERIFY(insertRow(f.store(),
                          rowLiterals(sampleTemplate(QStringLiteral("A")), {{column, literal}})));
        QVERIFY(loadTemplateByName(f.state, QStringLiteral("A")));
        QCOMPARE(*templateIntField(f.state.currentTemplate, templateColumnIndex(column)), value);
    }

    void saveLoadRoundTrip()
    {
        Fixture f;
        QVERIFY(!QFile::exists(f.store()));
        const LayoutTemplate row = sampleTemplate(QStringLiteral("往返-一寸"), 3);
        f.state.currentTemplate = row;
        f.state.currentTemplate.name = QStringLiteral("old name");
        f.state.templateModified = true;
        QString error;
        QVERIFY2(saveTemplate(f.state, row.name, &error), qPrintable(error));
        QVERIFY(QFile::exists(f.store())); // created with its schema
        QVERIFY(!f.state.templateModified);
        QCOMPARE(f.state.loadedTemplateName, row.name);
        QCOMPARE(listTemplateNames(f.store()), QStringList{row.name});

        f.state.currentTemplate = LayoutTemplate{};
        QVERIFY(loadTemplateByName(f.state, row.name));
        QCOMPARE(f.state.currentTemplate, row);

        // A logo kept while 加标志 is no is stored, but a load leaves it out.
        LayoutTemplate noLogo = row;
        noLogo.logo = 0;
        f.state.currentTemplate = noLogo;
        QVERIFY(saveTemplate(f.state, row.name, &error));
        QVERIFY(loadTemplateByName(f.state, row.name));
        noLogo.logoPicture.clear();
        QCOMPARE(f.state.currentTemplate, noLogo);
    }

    void saveReplacesInPlace()
    {
        Fixture f;
        f.save({sampleTemplate(QStringLiteral("A"), 1), sampleTemplate(QStringLiteral("B"), 2),
                sampleTemplate(QStringLiteral("C"), 3)});
        QVERIFY(insertRow(f.store(), rowLiterals(sampleTemplate(QStringLiteral("B"), 4))));
        QVERIFY(loadTemplateByName(f.state, QStringLiteral("B")));
        f.state.currentTemplate.size1.height = 123;
        f.state.currentTemplate.centred = 0;
        QString error;
        QVERIFY(saveTemplate(f.state, QStringLiteral("B"), &error));
        QCOMPARE(listTemplateNames(f.store()),
                 QStringList({QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C"),
                              QStringLiteral("B")}));
        TemplateFile query;
        QVERIFY(query.open(f.store(), kStorePassword));
        query.first();
        query.skip();
        QCOMPARE(query.readColumn(u"尺寸1高度").integer, 123);
        query.skip();
        query.skip();
        QCOMPARE(query.readColumn(u"尺寸1高度").integer, 401); // the second B is untouched
        query.close();
        // A new name is appended.
        QVERIFY(saveTemplate(f.state, QStringLiteral("D"), &error));
        QCOMPARE(listTemplateNames(f.store()).last(), QStringLiteral("D"));
    }

    void saveRefusesEmptyName()
    {
        Fixture f;
        f.save({sampleTemplate(QStringLiteral("A"))});
        f.state.templateModified = true;
        QString error;
        QVERIFY(!saveTemplate(f.state, QString(), &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(f.state.templateModified);
        QCOMPARE(listTemplateNames(f.store()), QStringList{QStringLiteral("A")});
    }

    // The operators' folder is group-writable: a link planted at sj.edb, even
    // a dangling one, is neither read, nor written, nor made into a file in
    // its target.
    void plantedLinksAreRefused()
    {
        test::TempProgramFolder program;
        QVERIFY(QFile::setPermissions(program.path(), QFile::permissions(program.path()) |
                                                          QFile::WriteGroup | QFile::ExeGroup));
        QTemporaryDir victim;
        const QString store = program.file(QStringLiteral("sj.edb"));
        const QString target = victim.filePath(QStringLiteral("sj.edb"));
        QVERIFY(QFile::link(target, store));
        QString error;
        QVERIFY(!writeTemplateRows(store, {sampleTemplate(QStringLiteral("甲"))}, &error));
        QVERIFY2(error.contains(store), qPrintable(error));
        QVERIFY(!QFileInfo::exists(target));
        QVERIFY(!createTemplateStore(store, kStorePassword, nullptr));
        QVERIFY(!QFileInfo::exists(target));

        // Pointed at a real store, the link is not read either.
        const QString real = program.file(QStringLiteral("real.edb"));
        QVERIFY(writeTemplateRows(real, {sampleTemplate(QStringLiteral("乙"))}, &error));
        QVERIFY(QFile::remove(store));
        QVERIFY(QFile::link(real, store));
        TemplateFile file;
        QVERIFY(file.open(real, kStorePassword));
        file.close();
        QVERIFY(!file.open(store, kStorePassword));
    }

    void writeIsAllOrNothing()
    {
        Fixture f;
        f.save({sampleTemplate(QStringLiteral("A"))});
        const QByteArray before = fileBytes(f.store());
        QString error;
        QVERIFY(!writeTemplateRows(
            f.store(), {sampleTemplate(QStringLiteral("B")), LayoutTemplate{}}, &error));
        QCOMPARE(fileBytes(f.store()), before);
        // The file itself refuses the second row, after the first was written.
        QByteArray columns;
        for (const TemplateColumn& column : kTemplateColumns)
            columns += (columns.isEmpty() ? "\"" : ", \"") + column.name.toUtf8() + '"';
        QVERIFY(runSql(f.store(), "CREATE TABLE t AS SELECT * FROM \"排版\"; DROP TABLE \"排版\"; "
                                  "CREATE TABLE \"排版\" (" +
                                      columns +
                                      ", CHECK (\"尺寸1高度\" <> 999)); "
                                      "INSERT INTO \"排版\" SELECT * FROM t; DROP TABLE t;"));
        const QByteArray checked = fileBytes(f.store());
        LayoutTemplate refused = sampleTemplate(QStringLiteral("C"));
        refused.size1.height = 999;
        QVERIFY(
            !writeTemplateRows(f.store(), {sampleTemplate(QStringLiteral("B")), refused}, &error));
        QCOMPARE(fileBytes(f.store()), checked);
        QCOMPARE(listTemplateNames(f.store()), QStringList{QStringLiteral("A")});
        // Creating a file and failing leaves no file behind.
        const QString fresh = f.folder.file(QStringLiteral("new.edb"));
        QVERIFY(!writeTemplateRows(fresh, {LayoutTemplate{}}, &error));
        QVERIFY(!QFile::exists(fresh));
        // A file where the folder should be: refused, nothing created.
        QFile plain(f.folder.file(QStringLiteral("plain")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QVERIFY(!writeTemplateRows(f.folder.file(QStringLiteral("plain/sj.edb")),
                                   {sampleTemplate(QStringLiteral("A"))}, &error));
    }

    void deleteRemovesFirstOfName()
    {
        Fixture f;
        f.save({sampleTemplate(QStringLiteral("A"), 1), sampleTemplate(QStringLiteral("B"), 2)});
        QVERIFY(insertRow(f.store(), rowLiterals(sampleTemplate(QStringLiteral("A"), 3))));
        QString error;
        QVERIFY(deleteTemplate(f.store(), QStringLiteral("A"), &error));
        QCOMPARE(listTemplateNames(f.store()),
                 QStringList({QStringLiteral("B"), QStringLiteral("A")}));
        QVERIFY(loadTemplateByName(f.state, QStringLiteral("A")));
        QCOMPARE(f.state.currentTemplate.size1.height, 301);
        QVERIFY(!deleteTemplate(f.store(), QStringLiteral("missing"), &error));
        QVERIFY(error.contains(QStringLiteral("missing")));
        QVERIFY(!deleteTemplate(f.folder.file(QStringLiteral("none.edb")), QStringLiteral("A"),
                                &error));
        QVERIFY(!QFile::exists(f.folder.file(QStringLiteral("none.edb"))));
    }

    void headlessLoadSetsRadioStates_data()
    {
        QTest::addColumn<int>("centred");
        QTest::addColumn<int>("noNumber");
        QTest::addColumn<int>("inside");
        QTest::addColumn<bool>("outside");
        QTest::newRow("centred, outside") << 1 << 0 << 0 << true;
        QTest::newRow("margins, inside") << 0 << 0 << 1 << false;
        QTest::newRow("no number wins over inside") << 1 << 1 << 1 << false;
        QTest::newRow("no number") << 0 << 1 << 0 << false;
    }
    void headlessLoadSetsRadioStates()
    {
        QFETCH(int, centred);
        QFETCH(int, noNumber);
        QFETCH(int, inside);
        QFETCH(bool, outside);
        Fixture f;
        LayoutTemplate t = sampleTemplate(QStringLiteral("A"));
        t.centred = centred;
        t.noNumber = noNumber;
        t.numberInside = inside;
        t.paperWidth = 1520;
        t.paperHeight = 1020;
        f.save({t});
        f.state.windows.centredChecked = !centred;
        f.state.windows.numberOutsideChecked = !outside;
        QVERIFY(loadTemplateByName(f.state, QStringLiteral("A")));
        QCOMPARE(f.state.windows.centredChecked.load(), centred != 0);
        QCOMPARE(f.state.windows.numberOutsideChecked.load(), outside);
        QCOMPARE(f.state.sheetSurface.width(), 1520);
        QCOMPARE(f.state.sheetSurface.height(), 1020);
        QCOMPARE(f.state.currentTemplate, t);
    }

    // With a settings window the row goes through its hook while
    // templateLoading is set; the preview is redrawn afterwards and the redraw
    // does not leave the template marked modified.
    void windowLoadGoesThroughTheHook()
    {
        Fixture f;
        LayoutTemplate t = sampleTemplate(QStringLiteral("A"));
        t.paperWidth = 600;
        t.paperHeight = 400;
        t.size1 = {100, 80, 2, 2, 10, 10};
        t.logo = 0;
        t.logoPicture.clear();
        f.save({t});
        bool loadingDuringApply = false;
        LayoutTemplate received;
        f.state.applyLoadedTemplate = [&](const LayoutTemplate& row) {
            loadingDuringApply = f.state.templateLoading;
            received = row;
            useTemplateHeadless(f.state, row);
        };
        int previews = 0;
        f.state.windows.settingsShown = true;
        f.state.views.showOnSettingsBoard = [&](const QImage& sheet) {
            ++previews;
            QCOMPARE(sheet.size(), QSize(600, 400));
        };
        f.state.currentPhotoPath = f.state.samplePhotoPath();
        QVERIFY(loadTemplateByName(f.state, QStringLiteral("A")));
        QVERIFY(loadingDuringApply);
        QCOMPARE(received, t);
        QVERIFY(!f.state.templateLoading);
        QCOMPARE(previews, 1);
        QVERIFY(!f.state.templateModified);
        QCOMPARE(f.state.loadedTemplateName, QStringLiteral("A"));
    }

    void fatalReportText()
    {
        QCOMPARE(
            fatalErrorReport(2, QStringLiteral("未得到所需要的数值型数据")),
            QStringLiteral("运行时出错!\n\n错误代码：2\n\n错误信息：未得到所需要的数值型数据"));
    }

    // Without a hook the report goes to stderr and the process ends.
    void defaultFatalEndsTheProcess()
    {
        const QString cli =
            QDir(test::builtProgramFolder()).filePath(QStringLiteral("vellora-cli"));
        if (!QFileInfo(cli).isExecutable())
            QSKIP("vellora-cli is not built");
        Fixture f;
        makeUntypedStore(f.store());
        QVERIFY(insertRow(f.store(), rowLiterals(sampleTemplate(QStringLiteral("坏")),
                                                 {{QStringLiteral("纸宽度"), "'wide'"}})));
        QProcess process;
        process.start(cli, {QStringLiteral("templates"), QStringLiteral("show"),
                            QStringLiteral("坏"), QStringLiteral("--store"), f.store()});
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QVERIFY(process.exitCode() != 0);
        const QString err = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(err.contains(QStringLiteral(
                     "运行时出错!\n\n错误代码：2\n\n错误信息：未得到所需要的数值型数据")),
                 qPrintable(err));
        QVERIFY(process.readAllStandardOutput().isEmpty());
    }

    // vellora-cli templates: export and import round trip; a bad file is
    // refused with one line naming the key and the store stays as it was.
    void cliImportExport()
    {
        const QString cli =
            QDir(test::builtProgramFolder()).filePath(QStringLiteral("vellora-cli"));
        if (!QFileInfo(cli).isExecutable())
            QSKIP("vellora-cli is not built");
        Fixture f;
        f.save({sampleTemplate(QStringLiteral("甲"), 1), sampleTemplate(QStringLiteral("乙"), 2)});
        auto run = [&](const QStringList& args, QByteArray* out = nullptr, QString* err = nullptr) {
            QProcess process;
            process.start(cli, QStringList{QStringLiteral("templates")} + args +
                                   QStringList{QStringLiteral("--store"), f.store()});
            process.waitForFinished(60000);
            if (out)
                *out = process.readAllStandardOutput();
            if (err)
                *err = QString::fromUtf8(process.readAllStandardError());
            return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        };
        QByteArray listed;
        QCOMPARE(run({QStringLiteral("list")}, &listed), 0);
        QCOMPARE(listed, QStringLiteral("甲\n乙\n").toUtf8());

        const QString exported = f.folder.file(QStringLiteral("all.json"));
        QCOMPARE(run({QStringLiteral("export"), exported}), 0);
        QVERIFY(deleteTemplate(f.store(), QStringLiteral("甲")));
        QVERIFY(deleteTemplate(f.store(), QStringLiteral("乙")));
        // The report counts rows written: the same file twice is two rows.
        QString report;
        QCOMPARE(run({QStringLiteral("import"), exported, exported}, nullptr, &report), 0);
        QVERIFY2(report.contains(QStringLiteral("wrote 2 templates")), qPrintable(report));
        QVERIFY(loadTemplateByName(f.state, QStringLiteral("乙")));
        QCOMPARE(f.state.currentTemplate, sampleTemplate(QStringLiteral("乙"), 2));

        const QByteArray before = fileBytes(f.store());
        const QString bad = f.folder.file(QStringLiteral("bad.json"));
        QFile file(bad);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(R"([{"名称":"丙"},{"名称":"丁","尺寸1宽度":"wide"}])");
        file.close();
        QString err;
        QCOMPARE(run({QStringLiteral("import"), bad}, nullptr, &err), 1);
        QVERIFY2(err.contains(QStringLiteral("尺寸1宽度")), qPrintable(err));
        const QStringList lines = err.split(u'\n').filter(QStringLiteral("templates:"));
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].contains(QStringLiteral("尺寸1宽度")), qPrintable(err));
        QCOMPARE(fileBytes(f.store()), before);
        QVERIFY(run({QStringLiteral("show"), QStringLiteral("missing")}) != 0);

        // A name that would not come back from 配置.ini is refused on import;
        // one already stored with a line break is listed on one line, quoted.
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(R"([{"名称":"丙"},{"名称":"丁 "}])");
        file.close();
        QCOMPARE(run({QStringLiteral("import"), bad}, nullptr, &err), 1);
        QVERIFY2(err.contains(QStringLiteral("名称前后不能有空格")), qPrintable(err));
        QCOMPARE(fileBytes(f.store()), before);
        f.save({sampleTemplate(QStringLiteral("两\n行"), 3)});
        QCOMPARE(run({QStringLiteral("list")}, &listed), 0);
        QCOMPARE(listed, QStringLiteral("甲\n乙\n\"两\\n行\"\n").toUtf8());
        QVERIFY(run({QStringLiteral("bogus")}) != 0);
    }

    // The store and 配置.ini the build puts beside the program.
    void shippedTemplatesFitTheirPaper()
    {
        const QString folder = test::builtProgramFolder();
        const QString store = QDir(folder).filePath(QStringLiteral("sj.edb"));
        if (!QFile::exists(store))
            QSKIP("the shipped sj.edb is not built");
        const QStringList names = listTemplateNames(store);
        QVERIFY(names.size() >= 8);
        const QString configured = readConfigText(QDir(folder).filePath(QStringLiteral("配置.ini")),
                                                  QString::fromUtf16(kConfigSection),
                                                  QString::fromUtf16(kConfigDefaultTemplateKey));
        QVERIFY2(names.contains(configured), qPrintable(configured));

        test::TempProgramFolder copy;
        QVERIFY(QFile::copy(store, copy.file(QStringLiteral("sj.edb"))));
        AppState state;
        initialiseAppState(state, copy.path());
        for (const QString& name : names) {
            QVERIFY2(loadTemplateByName(state, name), qPrintable(name));
            LayoutTemplate t = state.currentTemplate;
            QVERIFY(t.outputCount >= 1 && t.outputCount <= t.size1.countAcross * t.size1.countDown);
            QCOMPARE(t.landscape != 0, t.paperWidth > t.paperHeight);
            // The stored margins are the centred ones, so a sheet laid out while
            // the settings window is hidden sits where the preview showed it.
            const qint32 left = t.leftMargin;
            const qint32 top = t.topMargin;
            computeCentredMargins(t, t.centred != 0, t.numberOutside());
            QCOMPARE(t.leftMargin, left);
            QCOMPARE(t.topMargin, top);
            const SheetLayout layout = computeSheetLayout(t, t.numberOutside());
            QList<CellPlacement> cells = layout.size1 + layout.size2;
            QVERIFY(!cells.isEmpty());
            for (const CellPlacement& c : cells) {
                QVERIFY2(c.x >= 0 && c.y >= 0 && c.x + c.width <= t.paperWidth &&
                             c.y + c.height <= t.paperHeight,
                         qPrintable(name));
            }
        }
    }
};

QTEST_MAIN(TestTemplateFile)
#include "tst_templatefile.moc"
