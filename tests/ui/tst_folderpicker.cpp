#include "testutils.h"

#include "ui/FolderPickerWindow.h"

#include <QComboBox>
#include <QDir>
#include <QFileSystemModel>
#include <QPushButton>
#include <QSignalSpy>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

using namespace vellora;

namespace {

struct Picker
{
    FolderPickerWindow window;
    QComboBox* drives = window.findChild<QComboBox*>(QStringLiteral("驱动器框1"));
    QTreeView* tree = window.findChild<QTreeView*>(QStringLiteral("目录框1"));
    QPushButton* select = window.findChild<QPushButton*>(QStringLiteral("选择按钮"));

    QFileSystemModel* model() const { return static_cast<QFileSystemModel*>(tree->model()); }
    QModelIndex index(const QString& path) const { return model()->index(path); }
};

// Runs with the process's current folder set to `folder`, restored after.
struct CurrentFolder
{
    QString previous = QDir::currentPath();
    explicit CurrentFolder(const QString& folder) { QDir::setCurrent(folder); }
    ~CurrentFolder() { QDir::setCurrent(previous); }
};

} // namespace

class FolderPickerTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void controlsAsDesigned();
    void treeListsFoldersOnly();
    void startsAtTheCurrentFolder();
    void openingAFolderHandsItOverAtOnce();
    void openingTheRootGivesOneSeparator();
    void changingTheDriveOnlyMovesTheTree();
    void selectCloses();
};

void FolderPickerTest::controlsAsDesigned()
{
    Picker p;
    QCOMPARE(p.window.size(), QSize(270, 331));
    QVERIFY(p.drives && p.tree && p.select);
    QCOMPARE(p.drives->geometry(), QRect(0, 0, 270, 20));
    QCOMPARE(p.tree->geometry(), QRect(-1, 28, 270, 270));
    QCOMPARE(p.select->geometry(), QRect(87, 299, 96, 30));
    QCOMPARE(p.select->text(), QStringLiteral("选择"));
}

void FolderPickerTest::treeListsFoldersOnly()
{
    // Made before the picker opens there, so the listing does not depend on
    // when the model happened to read the folders above it.
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("photo.jpg")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
    CurrentFolder current(dir.path());
    Picker p;
    const QModelIndex parent = p.index(dir.path());
    p.model()->fetchMore(parent);
    QTRY_COMPARE_WITH_TIMEOUT(p.model()->rowCount(parent), 1, 5000);
    QCOMPARE(p.model()->index(0, 0, parent).data().toString(), QStringLiteral("sub"));
}

void FolderPickerTest::startsAtTheCurrentFolder()
{
    QTemporaryDir dir;
    const QString deep = dir.filePath(QStringLiteral("一/二"));
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("一/二")));
    CurrentFolder current(deep);
    Picker p;
    QCOMPARE(p.window.currentFolder(), QDir::currentPath());
    QCOMPARE(p.drives->currentText(), QStorageInfo(deep).rootPath());
    // Every level above it is open in the tree.
    for (QModelIndex up = p.index(deep).parent(); up.isValid(); up = up.parent())
        QVERIFY2(p.tree->isExpanded(up), qPrintable(p.model()->filePath(up)));
}

void FolderPickerTest::openingAFolderHandsItOverAtOnce()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("照片/今天")));
    Picker p;
    QSignalSpy opened(&p.window, &FolderPickerWindow::folderOpened);
    const QString folder = dir.filePath(QStringLiteral("照片/今天"));
    const QModelIndex index = p.index(folder);
    QVERIFY(index.isValid());

    // Enter on the current folder, the keyboard way of opening it.
    p.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&p.window));
    p.tree->setFocus();
    p.tree->setCurrentIndex(index);
    QTest::keyClick(p.tree, Qt::Key_Return);
    QCOMPARE(opened.size(), 1);
    QCOMPARE(opened[0][0].toString(), folder + u'/');

    // A double-click does the same.
    p.tree->scrollTo(index);
    const QRect rect = p.tree->visualRect(index);
    QVERIFY(rect.isValid());
    // A real double-click: the first click's press and release, then the
    // second press, which arrives as the double-click.
    QTest::mouseClick(p.tree->viewport(), Qt::LeftButton, {}, rect.center());
    QTest::mouseDClick(p.tree->viewport(), Qt::LeftButton, {}, rect.center());
    QTRY_COMPARE_WITH_TIMEOUT(opened.size(), 2, 5000);
    QCOMPARE(opened[1][0].toString(), folder + u'/');
    QVERIFY(p.window.isVisible());
}

void FolderPickerTest::openingTheRootGivesOneSeparator()
{
    Picker p;
    QSignalSpy opened(&p.window, &FolderPickerWindow::folderOpened);
    Q_EMIT p.tree->activated(p.index(QStringLiteral("/")));
    QCOMPARE(opened.size(), 1);
    QCOMPARE(opened[0][0].toString(), QStringLiteral("/"));
}

void FolderPickerTest::changingTheDriveOnlyMovesTheTree()
{
    CurrentFolder current(QDir::tempPath());
    Picker p;
    QSignalSpy opened(&p.window, &FolderPickerWindow::folderOpened);
    QVERIFY(p.drives->count() >= 1);
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes())
        if (volume.isValid() && volume.isReady())
            QVERIFY2(p.drives->findText(volume.rootPath()) >= 0, qPrintable(volume.rootPath()));
    // Choose a volume other than the current one when there is one.
    int other = p.drives->currentIndex() == 0 ? p.drives->count() - 1 : 0;
    p.drives->setCurrentIndex(other);
    QCOMPARE(p.window.currentFolder(), p.drives->itemText(other));
    QCOMPARE(opened.size(), 0);
}

void FolderPickerTest::selectCloses()
{
    Picker p;
    p.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&p.window));
    QTest::mouseClick(p.select, Qt::LeftButton);
    QVERIFY(!p.window.isVisible());
}

QTEST_MAIN(FolderPickerTest)
#include "tst_folderpicker.moc"
