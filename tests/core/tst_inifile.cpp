#include "core/Config.h"
#include "core/Gbk.h"
#include "core/IniFile.h"
#include "testutils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <unistd.h>

using namespace vellora;

namespace {

QByteArray gbk(const char16_t* text)
{
    return toGbk(QString::fromUtf16(text));
}

using test::fileBytes;
using test::writeFileBytes;

const QString kSection = QString::fromUtf16(kConfigSection);
const QString kFolderKey = QString::fromUtf16(kConfigFolderKey);
const QString kDefaultKey = QString::fromUtf16(kConfigDefaultTemplateKey);

} // namespace

class TestIniFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readRules_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        const QByteArray head = gbk(u"[监控文件夹]\n");
        const QString s = kSection;
        const QString k = kFolderKey;
        QTest::newRow("plain GBK")
            << head + gbk(u"文件夹=D:\\照片\\\n") << s << k << QStringLiteral("D:\\照片\\");
        QTest::newRow("blanks around")
            << head + gbk(u"  文件夹 \t=  值 a  \n") << s << k << QStringLiteral("值 a");
        QTest::newRow("double quotes")
            << head + gbk(u"文件夹=\" 值 \"\n") << s << k << QStringLiteral(" 值 ");
        QTest::newRow("single quotes")
            << head + gbk(u"文件夹='值'\n") << s << k << QStringLiteral("值");
        QTest::newRow("one pair only")
            << head + gbk(u"文件夹=\"\"值\"\"\n") << s << k << QStringLiteral("\"值\"");
        QTest::newRow("mismatched quotes")
            << head + gbk(u"文件夹=\"值'\n") << s << k << QStringLiteral("\"值'");
        QTest::newRow("lone quote") << head + gbk(u"文件夹=\"\n") << s << k << QStringLiteral("\"");
        QTest::newRow("equals in value")
            << head + gbk(u"文件夹=a=b\n") << s << k << QStringLiteral("a=b");
        QTest::newRow("ASCII case")
            << QByteArray("[Monitor]\nFolder=x\n") << QStringLiteral("mONITOR")
            << QStringLiteral("FOLDER") << QStringLiteral("x");
        QTest::newRow("blanks in header")
            << gbk(u"  [ 监控文件夹 ]  \n文件夹=x\n") << s << k << QStringLiteral("x");
        QTest::newRow("full-width letters keep case")
            << QByteArray("[a]\n\xA3\xC1=x\n") << QStringLiteral("a") << QStringLiteral("ａ")
            << QString();
        QTest::newRow("missing section") << gbk(u"[别的]\n文件夹=x\n") << s << k << QString();
        QTest::newRow("missing key") << head + gbk(u"默认排版=x\n") << s << k << QString();
        QTest::newRow("key in the next section")
            << head + gbk(u"默认排版=x\n[别的]\n文件夹=y\n") << s << k << QString();
        QTest::newRow("key before any section") << gbk(u"文件夹=y\n") + head << s << k << QString();
        QTest::newRow("first key wins")
            << head + gbk(u"文件夹=1\n文件夹=2\n") << s << k << QStringLiteral("1");
        QTest::newRow("first section only")
            << head + gbk(u"默认排版=1\n") + head + gbk(u"文件夹=2\n") << s << k << QString();
        QTest::newRow("comment is no key") << head + gbk(u";文件夹=1\n") << s << k << QString();
        QTest::newRow("key without equals") << head + gbk(u"文件夹\n") << s << k << QString();
        QTest::newRow("empty value") << head + gbk(u"文件夹=\n") << s << k << QString();
        QTest::newRow("CRLF") << gbk(u"[监控文件夹]\r\n文件夹=x y\r\n默认排版=z\r\n") << s << k
                              << QStringLiteral("x y");
        QTest::newRow("no final newline")
            << head + gbk(u"文件夹=end") << s << k << QStringLiteral("end");
        QTest::newRow("UTF-8 with BOM")
            << QByteArray("\xEF\xBB\xBF") + QStringLiteral("[监控文件夹]\n文件夹=照片\n").toUtf8()
            << s << k << QStringLiteral("照片");
        QTest::newRow("NUL ends the value")
            << head + gbk(u"文件夹=ab") + QByteArray("\0cd\n", 4) << s << k << QStringLiteral("ab");
        QTest::newRow("garbage lines around")
            << QByteArray("\xFF\xFE\x80\x00junk\n[\n]=\n", 14) + head + QByteArray("\x81\n") +
                   gbk(u"文件夹=ok\n") + QByteArray("\xFE")
            << s << k << QStringLiteral("ok");
        QTest::newRow("empty section name")
            << QByteArray("[]\nk=v\n") << QStringLiteral(" ") << QStringLiteral("k") << QString();
    }
    void readRules()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QCOMPARE(profileValueFromContent(content, section, key), value);
        // The same through the file.
        test::TempProgramFolder folder;
        const QString path = folder.file(QStringLiteral("配置.ini"));
        writeFileBytes(path, content);
        QCOMPARE(readConfigText(path, section, key), value);
    }

    void leadingControlCharactersDropped()
    {
        test::TempProgramFolder folder;
        const QString path = folder.file(QStringLiteral("配置.ini"));
        writeFileBytes(path, gbk(u"[监控文件夹]\n文件夹=x\n"));
        QCOMPARE(readConfigText(QStringLiteral(" \t\x01") + path, QStringLiteral("\n ") + kSection,
                                QStringLiteral("\x1f") + kFolderKey),
                 QStringLiteral("x"));
        // Nothing left after the drop: empty without reading, no write.
        QCOMPARE(readConfigText(path, QStringLiteral(" \t"), kFolderKey), QString());
        QCOMPARE(readConfigText(path, kSection, QStringLiteral("\x01")), QString());
        QCOMPARE(readConfigText(QStringLiteral("  "), kSection, kFolderKey), QString());
        const QString other = folder.file(QStringLiteral("other.ini"));
        QVERIFY(!writeConfigText(other, QStringLiteral(" "), kFolderKey, QStringLiteral("v")));
        QVERIFY(!writeConfigText(other, kSection, QString(), QStringLiteral("v")));
        QVERIFY(!QFile::exists(other));
    }

    void missingFileReadsEmpty()
    {
        test::TempProgramFolder folder;
        QCOMPARE(readConfigText(folder.file(QStringLiteral("none.ini")), kSection, kFolderKey),
                 QString());
        // A folder where the file should be reads as missing and is not written.
        QCOMPARE(readConfigText(folder.path(), kSection, kFolderKey), QString());
        QVERIFY(!writeConfigText(folder.path(), kSection, kFolderKey, QStringLiteral("v")));
    }

    void longValuesAreCut_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("expected");
        QTest::newRow("20000 ASCII bytes") << QString(20000, u'a') << QString(10239, u'a');
        // 10239 is odd: the last double-byte character would be split and is dropped.
        QTest::newRow("double-byte") << QString(6000, u'照') << QString(5119, u'照');
        QTest::newRow("odd start") << u'a' + QString(6000, u'照') << u'a' + QString(5119, u'照');
        QTest::newRow("just fits") << QString(10239, u'b') << QString(10239, u'b');
    }
    void longValuesAreCut()
    {
        QFETCH(QString, value);
        QFETCH(QString, expected);
        test::TempProgramFolder folder;
        const QString path = folder.file(QStringLiteral("配置.ini"));
        QVERIFY(writeConfigText(path, kSection, kFolderKey, value));
        const QString read = readConfigText(path, kSection, kFolderKey);
        QCOMPARE(read.size(), expected.size());
        QCOMPARE(read, expected);
        QVERIFY(toGbk(read).size() <= kProfileValueMaxBytes);
    }

    void firstWriteCreatesFileInGbk()
    {
        test::TempProgramFolder folder;
        const QString path = folder.file(QStringLiteral("配置.ini"));
        QVERIFY(writeConfigText(path, kSection, kFolderKey, QStringLiteral("/照片/监控/")));
        QVERIFY(writeConfigText(path, kSection, kDefaultKey, QStringLiteral("一寸")));
        QCOMPARE(fileBytes(path), gbk(u"[监控文件夹]\n文件夹=/照片/监控/\n默认排版=一寸\n"));
        QCOMPARE(readConfigText(path, kSection, kFolderKey), QStringLiteral("/照片/监控/"));
        QCOMPARE(readConfigText(path, kSection, kDefaultKey), QStringLiteral("一寸"));
        // Only the file itself: the temporary file was renamed, not left behind.
        QStringList files = QDir(folder.path()).entryList(QDir::Files | QDir::Hidden);
        files.removeAll(QStringLiteral("152101201205090001.jpg"));
        QCOMPARE(files, QStringList{QStringLiteral("配置.ini")});
    }

    void writeKeepsEveryOtherByte()
    {
        test::TempProgramFolder folder;
        const QString path = folder.file(QStringLiteral("配置.ini"));
        const QByteArray garbage("\xFF\x80\x00\x01 junk", 9);
        const QByteArray before =
            gbk(u"; 注释 comment\r\n[其他]\r\n文件夹=别动\r\n") + garbage +
            gbk(u"\r\n[监控文件夹]\r\n  文件夹 = 旧值 \r\n默认排版=一寸\r\n\r\n"
                u"[尾]\r\nx=1");
        writeFileBytes(path, before);
        QVERIFY(writeConfigText(path, kSection, kFolderKey, QStringLiteral("新值")));
        // The key's line is replaced in place, keeping its key text and CRLF.
        QByteArray expected = before;
        const QByteArray oldLine = gbk(u"  文件夹 = 旧值 ");
        expected.replace(expected.indexOf(oldLine), oldLine.size(), gbk(u"  文件夹 =新值"));
        QCOMPARE(fileBytes(path), expected);

        // A new key goes after the section's last line, before the blank line.
        QVERIFY(writeConfigText(path, kSection, QStringLiteral("新键"), QStringLiteral("v")));
        const QByteArray inserted = expected.replace(gbk(u"默认排版=一寸\r\n\r\n"),
                                                     gbk(u"默认排版=一寸\r\n新键=v\r\n\r\n"));
        QCOMPARE(fileBytes(path), inserted);

        // A new section goes at the end; the unterminated last line gets an ending.
        QVERIFY(writeConfigText(path, QStringLiteral("新节"), QStringLiteral("k"), QString()));
        QCOMPARE(fileBytes(path), inserted + gbk(u"\r\n[新节]\r\nk=\r\n"));
        QCOMPARE(readConfigText(path, QStringLiteral("其他"), kFolderKey), QStringLiteral("别动"));
    }

    // Installed, the program folder is root's and its 配置.ini a link into the
    // operators' folder: the file is replaced there and the link stays.
    void writeThroughLinkReplacesTheTarget()
    {
        test::TempProgramFolder folder;
        const QString data = folder.file(QStringLiteral("data"));
        const QString program = folder.file(QStringLiteral("program"));
        QVERIFY(QDir().mkdir(data) && QDir().mkdir(program));
        const QString target = data + QStringLiteral("/配置.ini");
        const QString link = program + QStringLiteral("/配置.ini");
        writeFileBytes(target, gbk(u"[监控文件夹]\n文件夹=旧\n"));
        QVERIFY(QFile::link(target, link));
        QVERIFY(writeConfigText(link, kSection, kFolderKey, QStringLiteral("新")));
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(fileBytes(target), gbk(u"[监控文件夹]\n文件夹=新\n"));
        QCOMPARE(QDir(program).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                         QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("配置.ini")});
        QCOMPARE(QDir(data).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("配置.ini")});
    }

    void writeMatchesKeyWithoutCase()
    {
        test::TempProgramFolder folder;
        const QString path = folder.file(QStringLiteral("a.ini"));
        writeFileBytes(path, "[Main]\nKEY=old\n");
        QVERIFY(writeConfigText(path, QStringLiteral("main"), QStringLiteral("key"),
                                QStringLiteral("new")));
        QCOMPARE(fileBytes(path), QByteArray("[Main]\nKEY=new\n"));
    }

    // The key line ends at a NUL when read, so the rewritten line must too.
    void writeOverNulInKeyLine()
    {
        QByteArray content = gbk(u"[监控文件夹]\n文件夹") + QByteArray("\0junk=old\n", 10);
        QCOMPARE(profileValueFromContent(content, kSection, kFolderKey), QString());
        QVERIFY(setProfileValueInContent(content, kSection, kFolderKey, QStringLiteral("新")));
        QCOMPARE(profileValueFromContent(content, kSection, kFolderKey), QStringLiteral("新"));
    }

    void emptyValueKeepsTheKey()
    {
        test::TempProgramFolder folder;
        const QString path = folder.file(QStringLiteral("配置.ini"));
        QVERIFY(writeConfigText(path, kSection, kFolderKey, QStringLiteral("/x/")));
        QVERIFY(writeConfigText(path, kSection, kFolderKey, QString()));
        QCOMPARE(fileBytes(path), gbk(u"[监控文件夹]\n文件夹=\n"));
        QCOMPARE(readConfigText(path, kSection, kFolderKey), QString());
    }

    void utf8FileStaysUtf8()
    {
        test::TempProgramFolder folder;
        const QString path = folder.file(QStringLiteral("配置.ini"));
        const QByteArray bom("\xEF\xBB\xBF");
        writeFileBytes(path, bom + QStringLiteral("[监控文件夹]\n文件夹=旧\n").toUtf8());
        QVERIFY(writeConfigText(path, kSection, kFolderKey, QStringLiteral("新😀")));
        QCOMPARE(fileBytes(path), bom + QStringLiteral("[监控文件夹]\n文件夹=新😀\n").toUtf8());
        QCOMPARE(readConfigText(path, kSection, kFolderKey), QStringLiteral("新😀"));
    }

    // What could not be written as one line of the file's encoding is refused
    // and the file stays as it was.
    void unwritableValuesRefused_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("line break in value")
            << kSection << kFolderKey << QStringLiteral("a\n[x]\nb=c");
        QTest::newRow("CR in value") << kSection << kFolderKey << QStringLiteral("a\rb");
        QTest::newRow("NUL in value") << kSection << kFolderKey << QStringLiteral("a") + QChar(0);
        QTest::newRow("not in GBK") << kSection << kFolderKey << QStringLiteral("😀");
        QTest::newRow("equals in key") << kSection << QStringLiteral("a=b") << QStringLiteral("v");
        QTest::newRow("bracket in section")
            << QStringLiteral("a]b") << kFolderKey << QStringLiteral("v");
    }
    void unwritableValuesRefused()
    {
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        test::TempProgramFolder folder;
        const QString path = folder.file(QStringLiteral("配置.ini"));
        const QByteArray before = gbk(u"[监控文件夹]\n文件夹=旧\n");
        writeFileBytes(path, before);
        QVERIFY(!writeConfigText(path, section, key, value));
        QCOMPARE(fileBytes(path), before);
    }

    void failedWriteLeavesNoFile()
    {
        test::TempProgramFolder folder;
        // The parent is a file, or does not exist: the write fails whoever runs it.
        const QString file = folder.file(QStringLiteral("plain"));
        writeFileBytes(file, "x");
        QVERIFY(!writeConfigText(file + QStringLiteral("/配置.ini"), kSection, kFolderKey,
                                 QStringLiteral("v")));
        QVERIFY(!writeConfigText(folder.file(QStringLiteral("none/配置.ini")), kSection, kFolderKey,
                                 QStringLiteral("v")));
        QCOMPARE(fileBytes(file), QByteArray("x"));
        QVERIFY(!QFile::exists(folder.file(QStringLiteral("none"))));

        // A read-only folder stops everyone but root.
        if (geteuid() == 0)
            return;
        const QString locked = folder.file(QStringLiteral("locked"));
        QVERIFY(QDir().mkdir(locked));
        const QString path = locked + QStringLiteral("/配置.ini");
        writeFileBytes(path, gbk(u"[监控文件夹]\n文件夹=旧\n"));
        QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner);
        const bool written = writeConfigText(path, kSection, kFolderKey, QStringLiteral("新"));
        QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(!written);
        QCOMPARE(readConfigText(path, kSection, kFolderKey), QStringLiteral("旧"));
        QCOMPARE(QDir(locked).entryList(QDir::Files | QDir::Hidden).size(), 1);
    }
};

QTEST_MAIN(TestIniFile)
#include "tst_inifile.moc"
