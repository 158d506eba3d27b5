#include "core/Gbk.h"
#include "core/LayoutTemplate.h"
#include "core/TemplateValues.h"
#include "templates/TemplateTransfer.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <clocale>
#include <limits>
#include <set>

using namespace vellora;

namespace {

constexpr qint32 kMax = std::numeric_limits<qint32>::max();
constexpr qint32 kMin = std::numeric_limits<qint32>::min();

// Every column a different value, so that a swapped or dropped column shows.
LayoutTemplate distinctTemplate()
{
    LayoutTemplate t;
    t.name = QStringLiteral("一寸-测试");
    for (int i = 1; i < kTemplateColumnCount - 1; ++i) {
        const bool boolean = kTemplateColumns[i].kind == ColumnKind::Boolean;
        *templateIntField(t, i) = boolean ? (i % 2) : 100 + i * 7;
    }
    t.logo = 1;
    t.logoPicture = QByteArray("BM\x00\x01\xff logo", 10);
    return t;
}

} // namespace

class TestLayoutTemplate : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void formatLength_data()
    {
        QTest::addColumn<qint32>("tenths");
        QTest::addColumn<QString>("shown");
        QTest::newRow("355") << 355 << QStringLiteral("35.5");
        QTest::newRow("350") << 350 << QStringLiteral("35");
        QTest::newRow("7") << 7 << QStringLiteral("0.7");
        QTest::newRow("1") << 1 << QStringLiteral("0.1");
        QTest::newRow("0") << 0 << QStringLiteral("0");
        QTest::newRow("-20") << -20 << QStringLiteral("-2");
        QTest::newRow("-355") << -355 << QStringLiteral("-35.5");
        QTest::newRow("max") << kMax << QStringLiteral("214748364.7");
    }
    void formatLength()
    {
        QFETCH(qint32, tenths);
        QFETCH(QString, shown);
        QCOMPARE(vellora::formatLength(tenths), shown);
        // What is shown reads back as the same value.
        QCOMPARE(vellora::parseLength(shown), tenths);
    }

    void parseLength_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint32>("tenths");
        QTest::newRow("35.5") << QStringLiteral("35.5") << 355;
        QTest::newRow("4.35") << QStringLiteral("4.35") << 43;
        QTest::newRow("0.15") << QStringLiteral("0.15") << 1;
        QTest::newRow("-2") << QStringLiteral("-2") << -20;
        QTest::newRow("empty") << QString() << 0;
        QTest::newRow("35.55 truncated") << QStringLiteral("35.55") << 355;
        QTest::newRow("-35.55 toward zero") << QStringLiteral("-35.55") << -355;
        QTest::newRow("leading blanks") << QStringLiteral(" \t 7.5") << 75;
        QTest::newRow("trailing text") << QStringLiteral("3abc") << 30;
        QTest::newRow("abc") << QStringLiteral("abc") << 0;
        QTest::newRow("point first") << QStringLiteral(".5") << 5;
        QTest::newRow("lone point") << QStringLiteral(".") << 0;
        QTest::newRow("plus") << QStringLiteral("+3") << 30;
        QTest::newRow("exponent") << QStringLiteral("1.5e2") << 1500;
        QTest::newRow("bare e") << QStringLiteral("2e") << 20;
        QTest::newRow("hex is not a number") << QStringLiteral("0x10") << 0;
        QTest::newRow("inf is not a number") << QStringLiteral("inf") << 0;
        QTest::newRow("huge exponent") << QStringLiteral("1e400") << kMax;
        QTest::newRow("huge negative") << QStringLiteral("-1e400") << kMin;
        QTest::newRow("above 32 bits") << QStringLiteral("300000000") << kMax;
        QTest::newRow("full-width digits") << QStringLiteral("３５．５") << 355;
        QTest::newRow("full-width minus") << QStringLiteral("－２") << -20;
        QTest::newRow("full-width space") << QStringLiteral("　４") << 40;
        QTest::newRow("mixed widths") << QStringLiteral("3５.5") << 355;
    }
    void parseLength()
    {
        QFETCH(QString, text);
        QFETCH(qint32, tenths);
        QCOMPARE(vellora::parseLength(text), tenths);
    }

    void parseCount_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint32>("count");
        QTest::newRow("2.9") << QStringLiteral("2.9") << 2;
        QTest::newRow("-2.9") << QStringLiteral("-2.9") << -2;
        QTest::newRow("full-width") << QStringLiteral("１２") << 12;
        QTest::newRow("1e10") << QStringLiteral("1e10") << kMax;
        QTest::newRow("empty") << QString() << 0;
    }
    void parseCount()
    {
        QFETCH(QString, text);
        QFETCH(qint32, count);
        QCOMPARE(vellora::parseCount(text), count);
    }

    void truncToInt()
    {
        QCOMPARE(vellora::truncToInt(35.9), 35);
        QCOMPARE(vellora::truncToInt(-35.9), -35);
        QCOMPARE(vellora::truncToInt(std::numeric_limits<double>::quiet_NaN()), 0);
        QCOMPARE(vellora::truncToInt(std::numeric_limits<double>::infinity()), kMax);
        QCOMPARE(vellora::truncToInt(-1e300), kMin);
    }

    // Qt takes the process locale from the environment; a comma locale must
    // not turn 35.5 into "35,5" or read "35.5" as 35.
    void lengthsIgnoreTheProcessLocale()
    {
        const QString localedef = QStandardPaths::findExecutable(QStringLiteral("localedef"));
        if (localedef.isEmpty())
            QSKIP("localedef is not installed");
        QTemporaryDir dir;
        QProcess make;
        make.start(localedef,
                   {QStringLiteral("-i"), QStringLiteral("de_DE"), QStringLiteral("-f"),
                    QStringLiteral("UTF-8"), dir.filePath(QStringLiteral("de_DE.UTF-8"))});
        if (!make.waitForFinished(60000) || make.exitCode() != 0)
            QSKIP("cannot build a comma locale here");
        const QByteArray oldLocPath = qgetenv("LOCPATH");
        qputenv("LOCPATH", QFile::encodeName(dir.path()));
        const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
        const char* set = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
        if (!set) {
            qputenv("LOCPATH", oldLocPath);
            QSKIP("the comma locale did not load");
        }
        char probe[16];
        std::snprintf(probe, sizeof probe, "%.1f", 1.5);
        const QString shown = vellora::formatLength(355);
        const qint32 parsed = vellora::parseLength(QStringLiteral("35.5"));
        std::setlocale(LC_NUMERIC, previous.c_str());
        qputenv("LOCPATH", oldLocPath);
        QCOMPARE(QByteArray(probe), QByteArray("1,5")); // the locale really was in force
        QCOMPARE(shown, QStringLiteral("35.5"));
        QCOMPARE(parsed, 355);
    }

    void mapFullWidthGbk()
    {
        const QByteArray in("\xA3\xB1\xA3\xAE\xA1\xA1\xA1\xAB\xA1\xEE\xA1\xEF\xD2\xBB"
                            "a\xA3",
                            16);
        // Digits and point, space, tilde, two asterisks; 一 unchanged; a lone
        // lead byte at the end stays.
        QCOMPARE(vellora::mapFullWidthGbk(in), QByteArray("1. ~**\xD2\xBB"
                                                          "a\xA3",
                                                          10));
    }

    void columnsAndFields()
    {
        QCOMPARE(templateColumnIndex(u"名称"), 0);
        QCOMPARE(templateColumnIndex(u"标志图片"), 28);
        QCOMPARE(templateColumnIndex(u"纸宽度"), 19);
        QCOMPARE(templateColumnIndex(u"nothing"), -1);
        LayoutTemplate t;
        QVERIFY(templateIntField(t, 0) == nullptr);
        QVERIFY(templateIntField(t, 28) == nullptr);
        std::set<const qint32*> fields;
        for (int i = 1; i <= 27; ++i)
            fields.insert(templateIntField(t, i));
        QCOMPARE(int(fields.size()), 27);
        QCOMPARE(templateIntField(t, 19), &t.paperWidth);
        QCOMPARE(templateIntField(t, 16), &t.centred);
        QCOMPARE(templateIntField(t, 27), &t.logo);
    }

    void colours()
    {
        const QColor c = colourFromValue(0x00FF8040);
        QCOMPARE(c, QColor(0x40, 0x80, 0xFF));
        QCOMPARE(colourToValue(QColor(0x40, 0x80, 0xFF)), 0x00FF8040);
    }

    void jsonRoundTrip()
    {
        const LayoutTemplate t = distinctTemplate();
        const QJsonObject json = templateToJson(t);
        QCOMPARE(json.size(), kTemplateColumnCount);
        QCOMPARE(json.value(u"尺寸1高度").toInt(), t.size1.height);
        QVERIFY(json.value(u"同底照片不同规格").isBool());
        LayoutTemplate back;
        QString error;
        QVERIFY2(templateFromJson(json, back, &error), qPrintable(error));
        QCOMPARE(back, t);
    }

    void jsonMissingKeysAreZero()
    {
        LayoutTemplate back = distinctTemplate();
        QString error;
        QVERIFY(templateFromJson(QJsonObject{{QStringLiteral("名称"), QStringLiteral("x")},
                                             {QStringLiteral("尺寸1高度"), 35.9}},
                                 back, &error));
        LayoutTemplate expected;
        expected.name = QStringLiteral("x");
        expected.size1.height = 35;
        QCOMPARE(back, expected);
    }

    void jsonWrongKindRefused_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("value");
        QTest::newRow("number as text")
            << QStringLiteral("尺寸1高度") << QJsonValue(QStringLiteral("35"));
        QTest::newRow("boolean as number") << QStringLiteral("同底照片不同规格") << QJsonValue(1);
        QTest::newRow("name as number") << QStringLiteral("名称") << QJsonValue(5);
        QTest::newRow("logo not base64")
            << QStringLiteral("标志图片") << QJsonValue(QStringLiteral("!!!"));
        QTest::newRow("logo as number") << QStringLiteral("标志图片") << QJsonValue(3);
        QTest::newRow("number beyond 32 bits") << QStringLiteral("纸宽度") << QJsonValue(1e12);
        QTest::newRow("null") << QStringLiteral("间隔") << QJsonValue(QJsonValue::Null);
    }
    void jsonWrongKindRefused()
    {
        QFETCH(QString, key);
        QFETCH(QJsonValue, value);
        QJsonObject json = templateToJson(distinctTemplate());
        json.insert(key, value);
        LayoutTemplate out;
        out.gap = 77;
        QString error;
        QVERIFY(!templateFromJson(json, out, &error));
        QVERIFY2(error.contains(key), qPrintable(error));
        QCOMPARE(out.gap, 77); // untouched
    }

    void documentRoundTrip()
    {
        LayoutTemplate a = distinctTemplate();
        LayoutTemplate b;
        b.name = QStringLiteral("二寸");
        b.size1.height = 490;
        const QByteArray text = templatesToJsonText({a, b});
        // Keys in column order, for people reading the file.
        QVERIFY(text.indexOf("\"名称\"") < text.indexOf("\"尺寸1高度\""));
        QVERIFY(text.indexOf("\"尺寸1高度\"") < text.indexOf("\"标志图片\""));
        QList<LayoutTemplate> back;
        QString error;
        QVERIFY2(templatesFromJsonText(text, back, &error), qPrintable(error));
        QCOMPARE(back.size(), 2);
        QCOMPARE(back[0], a);
        QCOMPARE(back[1], b);
        // One object alone is accepted too.
        QVERIFY(templatesFromJsonText(QJsonDocument(templateToJson(b)).toJson(), back, &error));
        QCOMPARE(back, QList<LayoutTemplate>{b});
    }

    void documentRefusals_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("named");
        QTest::newRow("not JSON") << QByteArray("{\"名称\": ") << QStringLiteral("JSON");
        QTest::newRow("unknown key")
            << QByteArray(R"({"名称":"a","尺寸1髙度":3})") << QStringLiteral("尺寸1髙度");
        QTest::newRow("no name") << QByteArray(R"({"尺寸1高度":3})") << QStringLiteral("名称");
        QTest::newRow("empty name") << QByteArray(R"([{"名称":""}])") << QStringLiteral("名称");
        QTest::newRow("second element wrong")
            << QByteArray(R"([{"名称":"a"},{"名称":"b","纸宽度":"x"}])")
            << QStringLiteral("纸宽度");
        QTest::newRow("element not an object")
            << QByteArray(R"([{"名称":"a"}, 3])") << QStringLiteral("template 2");
    }
    void documentRefusals()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, named);
        QList<LayoutTemplate> out{distinctTemplate()};
        QString error;
        QVERIFY(!templatesFromJsonText(text, out, &error));
        QVERIFY2(error.contains(named), qPrintable(error));
        QVERIFY(!error.contains(u'\n'));
        QCOMPARE(out.size(), 1); // untouched
    }
};

QTEST_MAIN(TestLayoutTemplate)
#include "tst_layouttemplate.moc"
