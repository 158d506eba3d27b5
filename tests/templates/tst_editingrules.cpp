#include "templates/EditingRules.h"

#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <clocale>
#include <cstdio>
#include <locale.h>

using namespace vellora;

class TestEditingRules : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void boxTable();
    void storedValue_data();
    void storedValue();
    void typedCharacters();
    void integerNormalisation_data();
    void integerNormalisation();
    void spin_data();
    void spin();
    void spinUnderCommaLocale();
    void outputCountCap_data();
    void outputCountCap();
    void orientation_data();
    void orientation();
};

void TestEditingRules::boxTable()
{
    // Every box edits its own value, and the kinds follow the spin steps:
    // lengths in 0.1 mm, counts plain; distances, gap and margins decimal.
    QSet<const qint32*> fields;
    LayoutTemplate t;
    for (const ValueBoxRule& rule : kValueBoxRules) {
        QCOMPARE(&valueBoxRule(rule.box), &rule);
        fields.insert(&valueBoxField(t, rule.box));
    }
    QCOMPARE(fields.size(), kValueBoxCount);

    const QSet<ValueBox> decimal = {
        ValueBox::Size1HDistance, ValueBox::Size1VDistance, ValueBox::Gap,
        ValueBox::Size2HDistance, ValueBox::Size2VDistance, ValueBox::LeftMargin,
        ValueBox::TopMargin};
    const QSet<ValueBox> counts = {ValueBox::Size1Across, ValueBox::Size1Down,
                                   ValueBox::OutputCount, ValueBox::Size2Across,
                                   ValueBox::Size2Down};
    const QSet<ValueBox> stored = {ValueBox::OutputCount, ValueBox::LeftMargin,
                                   ValueBox::TopMargin};
    for (const ValueBoxRule& rule : kValueBoxRules) {
        QCOMPARE(rule.integerBox, !decimal.contains(rule.box));
        QCOMPARE(rule.length, !counts.contains(rule.box));
        QCOMPARE(rule.ignoredWhileLoading, !stored.contains(rule.box));
    }
    QCOMPARE(&valueBoxField(t, ValueBox::PaperWidth), &t.paperWidth);
    QCOMPARE(&valueBoxField(t, ValueBox::OutputCount), &t.outputCount);
    QCOMPARE(&valueBoxField(t, ValueBox::TopMargin), &t.topMargin);
}

void TestEditingRules::storedValue_data()
{
    QTest::addColumn<int>("box");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("shown"); // the stored value written back

    const int height = int(ValueBox::Size1Height);
    const int across = int(ValueBox::Size1Across);
    const int distance = int(ValueBox::Size1HDistance);
    QTest::newRow("35.5 mm") << height << QStringLiteral("35.5") << 355 << QStringLiteral("35.5");
    QTest::newRow("35.55 truncated")
        << height << QStringLiteral("35.55") << 355 << QStringLiteral("35.5");
    QTest::newRow("2.5 distance") << distance << QStringLiteral("2.5") << 25
                                  << QStringLiteral("2.5");
    QTest::newRow("0.15 truncated")
        << distance << QStringLiteral("0.15") << 1 << QStringLiteral("0.1");
    QTest::newRow("negative") << height << QStringLiteral("-2") << -20 << QStringLiteral("-2");
    QTest::newRow("empty") << distance << QString() << 0 << QStringLiteral("0");
    QTest::newRow("not a number") << height << QStringLiteral("abc") << 0 << QStringLiteral("0");
    QTest::newRow("count 2.9") << across << QStringLiteral("2.9") << 2 << QStringLiteral("2");
    QTest::newRow("full-width digits")
        << across << QStringLiteral("１２") << 12 << QStringLiteral("12");
}

void TestEditingRules::storedValue()
{
    QFETCH(int, box);
    QFETCH(QString, text);
    QFETCH(int, value);
    QFETCH(QString, shown);
    const ValueBoxRule& rule = valueBoxRule(ValueBox(box));
    QCOMPARE(valueFromBoxText(rule, text), value);
    QCOMPARE(boxTextFromValue(rule, value), shown);
}

void TestEditingRules::typedCharacters()
{
    for (QChar c : QStringLiteral("0123456789-")) {
        QVERIFY(typedCharAccepted(c, true));
        QVERIFY(typedCharAccepted(c, false));
    }
    QVERIFY(!typedCharAccepted(u'.', true));
    QVERIFY(typedCharAccepted(u'.', false));
    for (QChar c : QStringLiteral("+ ae,Ｅ１")) {
        QVERIFY2(!typedCharAccepted(c, true), qPrintable(QString(c)));
        QVERIFY2(!typedCharAccepted(c, false), qPrintable(QString(c)));
    }
    // Backspace, Ctrl+V and delete pass to the editor.
    for (char16_t c : {u'\b', char16_t(0x16), char16_t(0x7F)}) {
        QVERIFY(typedCharAccepted(QChar(c), true));
        QVERIFY(typedCharAccepted(QChar(c), false));
    }
}

void TestEditingRules::integerNormalisation_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("normalised");
    QTest::newRow("plain") << QStringLiteral("35") << QStringLiteral("35");
    QTest::newRow("fraction cut") << QStringLiteral("35.5") << QStringLiteral("35");
    QTest::newRow("zero empties") << QStringLiteral("0") << QString();
    QTest::newRow("minus zero empties") << QStringLiteral("-0") << QString();
    QTest::newRow("empty stays") << QString() << QString();
    QTest::newRow("lone minus") << QStringLiteral("-") << QString();
    QTest::newRow("leading zeros") << QStringLiteral("007") << QStringLiteral("7");
    QTest::newRow("blanks then sign") << QStringLiteral("  -12x") << QStringLiteral("-12");
    QTest::newRow("above range") << QStringLiteral("40000") << QStringLiteral("32767");
    QTest::newRow("below range") << QStringLiteral("-40000") << QStringLiteral("-32768");
    QTest::newRow("huge digit run")
        << QStringLiteral("99999999999999999999999") << QStringLiteral("32767");
    QTest::newRow("letters first") << QStringLiteral("a5") << QString();
    QTest::newRow("minus in the middle") << QStringLiteral("3-4") << QStringLiteral("3");
}

void TestEditingRules::integerNormalisation()
{
    QFETCH(QString, text);
    QFETCH(QString, normalised);
    QCOMPARE(normaliseIntegerText(text), normalised);
}

void TestEditingRules::spin_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("direction");
    QTest::addColumn<bool>("integerBox");
    QTest::addColumn<QString>("result");
    QTest::newRow("35.5 up") << QStringLiteral("35.5") << 1 << true << QStringLiteral("36.5");
    QTest::newRow("35 up") << QStringLiteral("35") << 1 << true << QStringLiteral("36");
    QTest::newRow("3 down") << QStringLiteral("3") << -1 << true << QStringLiteral("2");
    QTest::newRow("1.5 down floors") << QStringLiteral("1.5") << -1 << true << QStringLiteral("1");
    QTest::newRow("1 down stays") << QStringLiteral("1") << -1 << true << QStringLiteral("1");
    QTest::newRow("2 down just reaches")
        << QStringLiteral("2") << -1 << true << QStringLiteral("1");
    QTest::newRow("empty up") << QString() << 1 << true << QStringLiteral("1");
    QTest::newRow("negative up") << QStringLiteral("-5") << 1 << true << QStringLiteral("1");
    QTest::newRow("beyond six digits")
        << QStringLiteral("1234567") << 1 << true << QStringLiteral("1.23457e+06");
    QTest::newRow("0.05 down floors")
        << QStringLiteral("0.05") << -1 << false << QStringLiteral("0");
    QTest::newRow("0 up") << QStringLiteral("0") << 1 << false << QStringLiteral("0.1");
    QTest::newRow("0.2 up") << QStringLiteral("0.2") << 1 << false << QStringLiteral("0.3");
    QTest::newRow("35.1 up") << QStringLiteral("35.1") << 1 << false << QStringLiteral("35.2");
    QTest::newRow("0.1 down") << QStringLiteral("0.1") << -1 << false << QStringLiteral("0");
    QTest::newRow("2.55 down") << QStringLiteral("2.55") << -1 << false << QStringLiteral("2.45");
    QTest::newRow("empty decimal up") << QString() << 1 << false << QStringLiteral("0.1");
}

void TestEditingRules::spin()
{
    QFETCH(QString, text);
    QFETCH(int, direction);
    QFETCH(bool, integerBox);
    QFETCH(QString, result);
    QCOMPARE(spunText(text, direction, integerBox), result);
}

// A locale that writes "5,1" must not change the text: "5,1" reads back as 5.
void TestEditingRules::spinUnderCommaLocale()
{
    QTemporaryDir locales;
    QProcess localedef;
    localedef.start(QStringLiteral("localedef"),
                    {QStringLiteral("-i"), QStringLiteral("de_DE"), QStringLiteral("-f"),
                     QStringLiteral("UTF-8"), locales.filePath(QStringLiteral("de_DE.UTF-8"))});
    if (!localedef.waitForFinished(60000) || localedef.exitCode() != 0)
        QSKIP("no German locale can be made here");
    qputenv("LOCPATH", QFile::encodeName(locales.path()));
    const locale_t comma = newlocale(LC_NUMERIC_MASK, "de_DE.UTF-8", locale_t(0));
    qunsetenv("LOCPATH");
    QVERIFY(comma != locale_t(0));
    const locale_t previous = uselocale(comma);
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 5.1);
    const QString up = spunText(QStringLiteral("5"), 1, false);
    const QString height = spunText(QStringLiteral("35.5"), 1, true);
    uselocale(previous);
    freelocale(comma);
    QCOMPARE(QByteArray(probe), QByteArray("5,1")); // the locale is in force
    QCOMPARE(up, QStringLiteral("5.1"));
    QCOMPARE(height, QStringLiteral("36.5"));
}

void TestEditingRules::outputCountCap_data()
{
    QTest::addColumn<int>("output");
    QTest::addColumn<int>("across");
    QTest::addColumn<int>("down");
    QTest::addColumn<int>("capped"); // -1: within the limit
    QTest::newRow("9 over 2x4") << 9 << 2 << 4 << 8;
    QTest::newRow("8 fits 2x4") << 8 << 2 << 4 << -1;
    QTest::newRow("nothing loaded caps to 0") << 1 << 0 << 0 << 0;
    QTest::newRow("0 with nothing loaded") << 0 << 0 << 0 << -1;
    QTest::newRow("no int overflow") << 5 << 32767 << 32767 << -1;
    QTest::newRow("huge product over int")
        << std::numeric_limits<int>::max() << 65536 << 65536 << -1;
}

void TestEditingRules::outputCountCap()
{
    QFETCH(int, output);
    QFETCH(int, across);
    QFETCH(int, down);
    QFETCH(int, capped);
    const std::optional<qint32> result = cappedOutputCount(output, across, down);
    if (capped < 0) {
        QVERIFY(!result.has_value());
    } else {
        QVERIFY(result.has_value());
        QCOMPARE(*result, capped);
    }
}

void TestEditingRules::orientation_data()
{
    QTest::addColumn<double>("width");
    QTest::addColumn<double>("height");
    QTest::addColumn<bool>("landscape");
    QTest::addColumn<bool>("swap");
    QTest::newRow("portrait to landscape") << 89.0 << 127.0 << true << true;
    QTest::newRow("already landscape") << 127.0 << 89.0 << true << false;
    QTest::newRow("landscape to portrait") << 127.0 << 89.0 << false << true;
    QTest::newRow("already portrait") << 89.0 << 127.0 << false << false;
    QTest::newRow("square, landscape") << 100.0 << 100.0 << true << true;
    QTest::newRow("square, portrait") << 100.0 << 100.0 << false << true;
    QTest::newRow("within tolerance") << 100.00000001 << 100.0 << true << true;
}

void TestEditingRules::orientation()
{
    QFETCH(double, width);
    QFETCH(double, height);
    QFETCH(bool, landscape);
    QFETCH(bool, swap);
    QCOMPARE(orientationSwapNeeded(width, height, landscape), swap);
}

QTEST_MAIN(TestEditingRules)
#include "tst_editingrules.moc"
