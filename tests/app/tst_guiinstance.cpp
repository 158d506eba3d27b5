#include "app/GuiInstance.h"
#include "testutils.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <sys/stat.h>

using namespace vellora;

class TestGuiInstance : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void secondStartRaisesTheFirst();
};

void TestGuiInstance::secondStartRaisesTheFirst()
{
    QTemporaryDir runtime, program, otherProgram;
    QVERIFY(chmod(QFile::encodeName(runtime.path()).constData(), 0700) == 0);
    int raised = 0;
    auto first = std::make_unique<GuiInstance>(program.path());
    first->setRaise([&raised] { ++raised; });
    QCOMPARE(first->claim(runtime.path()), GuiInstance::Claim::First);

    // The same program folder, however it is named.
    GuiInstance second(program.path() + QStringLiteral("/."));
    QCOMPARE(second.claim(runtime.path()), GuiInstance::Claim::Raised);
    QTRY_COMPARE_WITH_TIMEOUT(raised, 1, 5000);

    // Another program folder is another Vellora.
    GuiInstance other(otherProgram.path());
    QCOMPARE(other.claim(runtime.path()), GuiInstance::Claim::First);

    // The first gone, its lock with it (its socket file stays behind, as after
    // a crash): the next start is the GUI.
    first.reset();
    GuiInstance next(program.path());
    QCOMPARE(next.claim(runtime.path()), GuiInstance::Claim::First);
    GuiInstance after(program.path());
    QCOMPARE(after.claim(runtime.path()), GuiInstance::Claim::Raised);
    QCOMPARE(raised, 1);
}

QTEST_GUILESS_MAIN(TestGuiInstance)
#include "tst_guiinstance.moc"
