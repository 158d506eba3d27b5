#include "core/FileNames.h"
#include "core/SafeFile.h"
#include "testutils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vellora;

namespace {

using test::fileBytes;
using test::writeFileBytes;

QStringList entries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                  QDir::NoDotAndDotDot);
}

} // namespace

class TestSafeFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The one kind of link that is followed: root's, in a folder only root may
    // write. Everything else is refused at the last component.
    void onlyTheAdministratorsLinksAreFollowed()
    {
        QTemporaryDir dir;
        const QString real = dir.filePath(QStringLiteral("real"));
        QVERIFY(QDir().mkdir(real));
        writeFileBytes(real + QStringLiteral("/配置.ini"), "[a]\nb=1\n");
        const QString program = dir.filePath(QStringLiteral("program"));
        QVERIFY(QDir().mkdir(program));
        const QString link = program + QStringLiteral("/配置.ini");
        QVERIFY(QFile::link(real + QStringLiteral("/配置.ini"), link));

        QByteArray content;
        QString why;
        if (geteuid() == 0) {
            // Root's link in root's 0700 folder: the package's own layout.
            QCOMPARE(readTrustedFile(link, content, &why), ReadStatus::Read);
            QCOMPARE(content, QByteArray("[a]\nb=1\n"));
            const TrustedLocation where = resolveTrusted(link);
            QVERIFY(where.ok());
            QCOMPARE(QFileInfo(where.path()).canonicalFilePath(),
                     QFileInfo(real + QStringLiteral("/配置.ini")).canonicalFilePath());
            // The same link once the group may write its folder: anyone in
            // the group could have put it there.
            QVERIFY(::chmod(QFile::encodeName(program).constData(), 0770) == 0);
            QCOMPARE(readTrustedFile(link, content, &why), ReadStatus::Refused);
            QVERIFY(::chmod(QFile::encodeName(program).constData(), 0700) == 0);
            // Or a link owned by someone else.
            const passwd* nobody = getpwnam("nobody");
            QVERIFY(nobody);
            QVERIFY(::lchown(QFile::encodeName(link).constData(), nobody->pw_uid, -1) == 0);
        }
        why.clear();
        QCOMPARE(readTrustedFile(link, content, &why), ReadStatus::Refused);
        QVERIFY(content.isEmpty());
        QVERIFY2(why.contains(link), qPrintable(why));
        QVERIFY(!resolveTrusted(link).ok());
    }

    void readsOnlyRegularFiles()
    {
        QTemporaryDir dir;
        QByteArray content;
        QCOMPARE(readTrustedFile(dir.filePath(QStringLiteral("none")), content),
                 ReadStatus::Missing);
        // A pipe would block a reader for ever; it is refused at once.
        const QString fifo = dir.filePath(QStringLiteral("pipe.ini"));
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        QCOMPARE(readTrustedFile(fifo, content), ReadStatus::Refused);
        QCOMPARE(readTrustedFile(dir.path(), content), ReadStatus::Refused);
        const QString big = dir.filePath(QStringLiteral("big"));
        writeFileBytes(big, QByteArray(100, 'x'));
        QCOMPARE(readTrustedFile(big, content, nullptr, 99), ReadStatus::Refused);
        QCOMPARE(readTrustedFile(big, content, nullptr, 100), ReadStatus::Read);
        QCOMPARE(content.size(), 100);
    }

    void replacingNeverWritesThroughAPlantedLink()
    {
        QTemporaryDir dir;
        const QString victim = dir.filePath(QStringLiteral("victim"));
        writeFileBytes(victim, "root's own\n");
        const QString folder = dir.filePath(QStringLiteral("data"));
        QVERIFY(QDir().mkdir(folder));
        // The operators' folder: its group may write, so may plant.
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 02775) == 0);
        const QString name = folder + QStringLiteral("/配置.ini");
        QVERIFY(QFile::link(victim, name));
        QString why;
        QVERIFY(!replaceTrustedFile(name, "planted\n", 0666, &why));
        QVERIFY2(why.contains(name), qPrintable(why));
        QCOMPARE(fileBytes(victim), QByteArray("root's own\n"));
        // Nothing left behind in either folder.
        QCOMPARE(entries(folder), QStringList{QStringLiteral("配置.ini")});
        QCOMPARE(entries(dir.path()).size(), 2);
        QVERIFY(QFileInfo(name).isSymLink());
    }

    void replacingKeepsTheModeAndLeavesNoTemporaryFile()
    {
        QTemporaryDir dir;
        const QString name = dir.filePath(QStringLiteral("配置.ini"));
        writeFileBytes(name, "old\n");
        QVERIFY(::chmod(QFile::encodeName(name).constData(), 0640) == 0);
        QVERIFY(replaceTrustedFile(name, "new\n", 0666));
        QCOMPARE(fileBytes(name), QByteArray("new\n"));
        struct stat st
        {
        };
        QVERIFY(::stat(QFile::encodeName(name).constData(), &st) == 0);
        QCOMPARE(int(st.st_mode & 07777), 0640);
        QCOMPARE(entries(dir.path()), QStringList{QStringLiteral("配置.ini")});
        // A new file gets the mode asked for, less the umask.
        const mode_t mask = ::umask(022);
        const QString fresh = dir.filePath(QStringLiteral("new.ini"));
        QVERIFY(replaceTrustedFile(fresh, "x", 0660));
        ::umask(mask);
        QVERIFY(::stat(QFile::encodeName(fresh).constData(), &st) == 0);
        QCOMPARE(int(st.st_mode & 07777), 0640);
    }

    void foldersAreNeverLinksOrFiles()
    {
        QTemporaryDir dir;
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 02775) == 0);
        const QString made = dir.filePath(QStringLiteral("未打印"));
        QString why;
        FileDescriptor fd = openTrustedFolder(made, 0770, &why);
        QVERIFY2(fd.isValid(), qPrintable(why));
        QVERIFY(QFileInfo(made).isDir());
        QVERIFY(openTrustedFolder(made, 0770).isValid()); // already there

        QTemporaryDir elsewhere;
        const QString link = dir.filePath(QStringLiteral("link"));
        QVERIFY(QFile::link(elsewhere.path(), link));
        QVERIFY(!openTrustedFolder(link, 0770, &why).isValid());
        QVERIFY2(why.contains(link), qPrintable(why));
        const QString file = dir.filePath(QStringLiteral("file"));
        writeFileBytes(file, "x");
        QVERIFY(!openTrustedFolder(file, 0770).isValid());
        // A dangling link is not made into a folder at its target.
        const QString dangling = dir.filePath(QStringLiteral("dangling"));
        QVERIFY(QFile::link(elsewhere.filePath(QStringLiteral("new")), dangling));
        QVERIFY(!openTrustedFolder(dangling, 0770).isValid());
        QVERIFY(!QFileInfo::exists(elsewhere.filePath(QStringLiteral("new"))));
    }

    void openBeneathStaysInside_data()
    {
        QTest::addColumn<QByteArray>("relative");
        QTest::addColumn<int>("expected"); // 0: opens
        QTest::newRow("photo at the top") << QByteArray("a.jpg") << 0;
        QTest::newRow("photo in a subfolder") << QByteArray("sub/deep/b.jpg") << 0;
        QTest::newRow("photo swapped for a link") << QByteArray("sub/link.jpg") << ELOOP;
        QTest::newRow("subfolder swapped for a link") << QByteArray("linkdir/b.jpg") << ENOTDIR;
        QTest::newRow("a way out") << QByteArray("sub/../a.jpg") << EINVAL;
        QTest::newRow("an absolute name") << QByteArray("/etc/passwd") << EINVAL;
    }

    void openBeneathStaysInside()
    {
        QFETCH(QByteArray, relative);
        QFETCH(int, expected);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("sub/deep")));
        writeFileBytes(dir.filePath(QStringLiteral("a.jpg")), "a");
        writeFileBytes(dir.filePath(QStringLiteral("sub/deep/b.jpg")), "b");
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("a.jpg")),
                            dir.filePath(QStringLiteral("sub/link.jpg"))));
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("sub/deep")),
                            dir.filePath(QStringLiteral("linkdir"))));
        const FileDescriptor root(
            ::open(QFile::encodeName(dir.path()).constData(), O_RDONLY | O_DIRECTORY));
        QVERIFY(root.isValid());
        int error = 0;
        const FileDescriptor fd(vellora::openBeneath(root.get(), relative, O_RDONLY, &error));
        if (expected == 0) {
            QVERIFY2(fd.isValid(), std::strerror(error));
            char byte = 0;
            QCOMPARE(::read(fd.get(), &byte, 1), ssize_t(1));
        } else {
            QVERIFY(!fd.isValid());
            QCOMPARE(error, expected);
        }
    }

    // Names unpacked from archives made elsewhere: GBK or Latin-1 bytes. They
    // are shown as the text they mean and open by their own bytes.
    void namesThatAreNotUtf8_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("UTF-8") << QByteArray("\xe7\x85\xa7\xe7\x89\x87.jpg")
                               << QStringLiteral("照片.jpg");
        QTest::newRow("GBK") << QByteArray("\xd5\xd5\xc6\xac.jpg") << QStringLiteral("照片.jpg");
        // 0xE9 alone is neither UTF-8 nor a whole GBK character.
        QTest::newRow("Latin-1") << QByteArray("caf\xe9.jpg") << QStringLiteral("café.jpg");
    }

    void namesThatAreNotUtf8()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(decodeFileName(bytes), text);
        QVERIFY(fileNameCandidates(decodeFileName(bytes)).contains(bytes));

        QTemporaryDir dir;
        const QByteArray folder = QFile::encodeName(dir.path()) + "/\xb5\xda"
                                                                  "1";
        QVERIFY(::mkdir(folder.constData(), 0755) == 0);
        const QByteArray file = folder + '/' + bytes;
        const int out = ::open(file.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        QVERIFY(out >= 0);
        QCOMPARE(::write(out, "x", 1), ssize_t(1));
        ::close(out);
        const FileDescriptor root(
            ::open(QFile::encodeName(dir.path()).constData(), O_RDONLY | O_DIRECTORY));
        QByteArray opened;
        QCOMPARE(decodeFileName("\xb5\xda"
                                "1"),
                 QStringLiteral("第1"));
        const QString relative = decodeFileName("\xb5\xda"
                                                "1") +
                                 u'/' + decodeFileName(bytes);
        const FileDescriptor fd(openBeneathText(root.get(), relative, O_RDONLY, nullptr, &opened));
        QVERIFY(fd.isValid());
        QCOMPARE(opened, QByteArray("\xb5\xda"
                                    "1/") +
                             bytes);
    }
};

QTEST_GUILESS_MAIN(TestSafeFile)
#include "tst_safefile.moc"
