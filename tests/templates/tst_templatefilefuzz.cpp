// Damaged 配置.ini and sj.edb files, made by mutating good ones: every read,
// list, load and save must come back without a crash, and what does come back
// must be consistent.
#include "app/Startup.h"
#include "core/AppState.h"
#include "core/Gbk.h"
#include "core/IniFile.h"
#include "sheet/TemplateLoader.h"
#include "templates/TemplateFile.h"
#include "testutils.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTest>

using namespace vellora;

namespace {

const QString kSection = QStringLiteral("监控文件夹");
const QString kKey = QStringLiteral("文件夹");

// Bytes that mean something to a parser, and some that mean nothing.
const char kInteresting[] = {'[',    ']',    '=',    '\n',   '\r',   '"',    '\'',
                             ';',    ' ',    '\t',   '\0',   '\x80', '\x81', '\xA3',
                             '\xFE', '\xFF', '\xEF', '\xBB', '\xBF'};

QByteArray mutateText(QByteArray bytes, QRandomGenerator& random)
{
    const int operations = 1 + random.bounded(4);
    for (int n = 0; n < operations; ++n) {
        const qsizetype size = bytes.size();
        const qsizetype at = size > 0 ? random.bounded(int(size)) : 0;
        switch (random.bounded(5)) {
        case 0:
            if (size > 0)
                bytes[at] = char(bytes[at] ^ (1 << random.bounded(8)));
            break;
        case 1:
            bytes.insert(at, kInteresting[random.bounded(int(sizeof kInteresting))]);
            break;
        case 2:
            bytes.remove(at, random.bounded(8));
            break;
        case 3:
            bytes.truncate(at);
            break;
        case 4:
            bytes.insert(at, bytes.mid(random.bounded(int(size) + 1), random.bounded(12)));
            break;
        }
    }
    return bytes;
}

QByteArray mutateStore(QByteArray bytes, QRandomGenerator& random)
{
    constexpr int kPage = 4096;
    const int pages = int(bytes.size() / kPage);
    switch (random.bounded(6)) {
    case 0: // a few bit flips anywhere
        for (int n = 1 + random.bounded(8); n > 0; --n) {
            const int at = random.bounded(int(bytes.size()));
            bytes[at] = char(bytes[at] ^ (1 << random.bounded(8)));
        }
        break;
    case 1: // the file header and the first page's b-tree header
        for (int n = 1 + random.bounded(3); n > 0; --n) {
            const int at = random.bounded(120);
            bytes[at] = char(bytes[at] ^ (1 << random.bounded(8)));
        }
        break;
    case 2:
        bytes.truncate(random.bounded(int(bytes.size())));
        break;
    case 3: { // one page of garbage
        const int page = random.bounded(pages);
        for (int i = 0; i < kPage; ++i)
            bytes[page * kPage + i] = char(random.bounded(256));
        break;
    }
    case 4: { // one page zeroed
        const int page = random.bounded(pages);
        bytes.replace(page * kPage, kPage, QByteArray(kPage, '\0'));
        break;
    }
    case 5: // bit flips inside one page (cell pointers, record headers)
        for (int n = 1 + random.bounded(16); n > 0; --n) {
            const int at = random.bounded(pages) * kPage + random.bounded(kPage);
            bytes[at] = char(bytes[at] ^ (1 << random.bounded(8)));
        }
        break;
    }
    return bytes;
}

LayoutTemplate fuzzTemplate(const QString& name, int seed, qsizetype logoBytes)
{
    LayoutTemplate t;
    t.name = name;
    for (int i = 1; i < kTemplateColumnCount - 1; ++i)
        *templateIntField(t, i) = kTemplateColumns[i].kind == ColumnKind::Boolean ? 1 : seed + i;
    t.logoPicture = QByteArray(logoBytes, char(seed));
    return t;
}

} // namespace

class TestTemplateFileFuzz : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void mutatedIniFiles()
    {
        const QList<QByteArray> seeds = {
            toGbk(QStringLiteral("[监控文件夹]\n文件夹=/照片/\n默认排版=一寸-6寸相纸横向\n")),
            toGbk(
                QStringLiteral("; 注释\r\n[其他]\r\nx=1\r\n\r\n[监控文件夹]\r\n 文件夹 = \"/a b/\" "
                               "\r\n默认排版='二寸'\r\n")),
            QByteArray("\xEF\xBB\xBF") + QStringLiteral("[监控文件夹]\n文件夹=照片\n").toUtf8(),
            toGbk(QStringLiteral("[Monitor]\nFolder=x\n[监控文件夹]\n默认排版=一寸")),
        };
        QRandomGenerator random(20240611);
        int written = 0;
        for (int round = 0; round < 4000; ++round) {
            const QByteArray content = mutateText(seeds[round % seeds.size()], random);
            profileValueFromContent(content, kSection, kKey);
            profileValueFromContent(content, kSection, QStringLiteral("默认排版"));
            profileValueFromContent(content, QStringLiteral("monitor"), QStringLiteral("folder"));
            // Whatever the file looked like, a value written reads back.
            const QString value = QStringLiteral("值-%1").arg(round);
            QByteArray updated = content;
            if (!setProfileValueInContent(updated, kSection, kKey, value))
                continue;
            ++written;
            QVERIFY2(profileValueFromContent(updated, kSection, kKey) == value,
                     updated.toHex().constData());
            // And writing it again changes nothing.
            QByteArray again = updated;
            QVERIFY(setProfileValueInContent(again, kSection, kKey, value));
            QCOMPARE(again, updated);
        }
        QVERIFY(written > 3000);
    }

    void mutatedIniFilesOnDisk()
    {
        test::TempProgramFolder folder;
        const QString path = folder.file(QStringLiteral("配置.ini"));
        QRandomGenerator random(7);
        const QByteArray seed =
            toGbk(QStringLiteral("[监控文件夹]\r\n文件夹=/照片/\r\n默认排版=一寸\r\n"));
        for (int round = 0; round < 300; ++round) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(mutateText(seed, random));
            file.close();
            readProfileString(path, kSection, kKey);
            if (writeProfileString(path, kSection, kKey, QStringLiteral("新")))
                QCOMPARE(readProfileString(path, kSection, kKey), QStringLiteral("新"));
        }
    }

    void mutatedStores()
    {
        test::TempProgramFolder folder;
        AppState state;
        initialiseAppState(state, folder.path());
        const QString store = state.storePath();
        const QList<LayoutTemplate> rows = {fuzzTemplate(QStringLiteral("一寸"), 10, 0),
                                            fuzzTemplate(QStringLiteral("二寸"), 20, 9000),
                                            fuzzTemplate(QStringLiteral("护照"), 30, 300)};
        QString error;
        QVERIFY2(writeTemplateRows(store, rows, &error), qPrintable(error));
        QFile original(store);
        QVERIFY(original.open(QIODevice::ReadOnly));
        const QByteArray good = original.readAll();
        original.close();
        QVERIFY(good.size() >= 4 * 4096);

        // The window's hook receives the row; applying it is not the store's
        // business (and a damaged paper size could be huge).
        LayoutTemplate received;
        int applied = 0;
        state.applyLoadedTemplate = [&](const LayoutTemplate& row) {
            received = row;
            ++applied;
        };
        QList<int> fatalCodes;
        state.fatalError = [&](int code, const QString&) { fatalCodes.append(code); };

        QRandomGenerator random(424242);
        QElapsedTimer timer;
        timer.start();
        int opened = 0;
        for (int round = 0; round < 1500; ++round) {
            QFile::remove(store + QStringLiteral("-journal"));
            QFile file(store);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(mutateStore(good, random));
            file.close();

            const QStringList names = listTemplateNames(store);
            if (!names.isEmpty())
                ++opened;
            QStringList wanted = {QStringLiteral("一寸"), QStringLiteral("二寸"),
                                  QStringLiteral("护照")};
            if (!names.isEmpty())
                wanted.append(names[random.bounded(int(names.size()))]);
            for (const QString& name : wanted) {
                const int before = applied;
                if (loadTemplateByName(state, name)) {
                    QCOMPARE(applied, before + 1);
                    QCOMPARE(received.name, name);
                }
            }
            QList<LayoutTemplate> visible;
            readVisibleTemplates(store, visible, &error);
            if (round % 10 == 0) {
                state.currentTemplate = rows[0];
                saveTemplate(state, QStringLiteral("新模板"), &error);
            }
        }
        for (int code : fatalCodes)
            QVERIFY(code == 2 || code == 5);
        QVERIFY(!state.templateLoading);
        // Some mutations must leave the file readable, or nothing was tested.
        QVERIFY(opened > 100);
        qInfo("%d of 1500 damaged stores still listed templates; %lld fatal reports; %lld ms",
              opened, qlonglong(fatalCodes.size()), qlonglong(timer.elapsed()));
    }
};

QTEST_MAIN(TestTemplateFileFuzz)
#include "tst_templatefilefuzz.moc"
