#include "ui/FolderPickerWindow.h"

#include "core/ProgramFolder.h"

#include <QComboBox>
#include <QDir>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QPushButton>
#include <QScrollBar>
#include <QStorageInfo>
#include <QTreeView>

namespace vellora {

FolderPickerWindow::FolderPickerWindow(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("FolderPickerWindow"));
    setWindowTitle(QString());
    setFixedSize(270, 331);
    move(50, 50);

    m_driveBox = new QComboBox(this);
    m_driveBox->setObjectName(QStringLiteral("驱动器框1"));
    m_driveBox->setGeometry(0, 0, 270, 20);

    m_model = new QFileSystemModel(this);
    m_model->setFilter(QDir::Dirs | QDir::Drives | QDir::NoDotAndDotDot);
    m_model->setRootPath(QStringLiteral("/"));

    m_folderTree = new QTreeView(this);
    m_folderTree->setObjectName(QStringLiteral("目录框1"));
    m_folderTree->setGeometry(-1, 28, 270, 270);
    m_folderTree->setModel(m_model);
    m_folderTree->setHeaderHidden(true);
    for (int column = 1; column < m_model->columnCount(); ++column)
        m_folderTree->hideColumn(column);
    m_folderTree->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_folderTree->header()->setStretchLastSection(false);

    m_selectButton = new QPushButton(QStringLiteral("选择"), this);
    m_selectButton->setObjectName(QStringLiteral("选择按钮"));
    m_selectButton->setGeometry(87, 299, 96, 30);
    m_selectButton->setAutoDefault(false);
    connect(m_selectButton, &QPushButton::clicked, this, &QDialog::accept);

    // The drives: every mounted volume once, by its root path.
    const QString current = QDir::currentPath();
    const QString currentRoot = QStorageInfo(current).rootPath();
    QStringList roots;
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        if (volume.isValid() && volume.isReady() && !roots.contains(volume.rootPath()))
            roots.append(volume.rootPath());
    }
    if (!currentRoot.isEmpty() && !roots.contains(currentRoot))
        roots.append(currentRoot);
    roots.sort();
    m_driveBox->addItems(roots);
    m_driveBox->setCurrentIndex(std::max(0, int(roots.indexOf(currentRoot))));

    // The folders load in the background; keep the current one in view as
    // the levels above it arrive.
    connect(m_model, &QFileSystemModel::directoryLoaded, this, [this](const QString& loaded) {
        const QModelIndex index = m_folderTree->currentIndex();
        if (index.isValid() && m_model->filePath(index).startsWith(loaded))
            keepInView(index);
    });
    showFolder(current);

    connect(m_driveBox, &QComboBox::currentIndexChanged, this, &FolderPickerWindow::driveChanged);
    // Double-click or Enter on a folder.
    connect(m_folderTree, &QTreeView::activated, this, &FolderPickerWindow::openFolder);
}

QString FolderPickerWindow::currentFolder() const
{
    const QModelIndex index = m_folderTree->currentIndex();
    return index.isValid() ? m_model->filePath(index) : QString();
}

void FolderPickerWindow::showFolder(const QString& path)
{
    const QModelIndex index = m_model->index(path);
    if (!index.isValid())
        return;
    for (QModelIndex up = index.parent(); up.isValid(); up = up.parent())
        m_folderTree->expand(up);
    m_folderTree->setCurrentIndex(index);
    keepInView(index);
}

void FolderPickerWindow::keepInView(const QModelIndex& index)
{
    m_folderTree->scrollTo(index, QAbstractItemView::PositionAtCenter);
    // Show the start of the folder's name, not the end of the longest one.
    QScrollBar* across = m_folderTree->horizontalScrollBar();
    const int nameStart = m_folderTree->visualRect(index).left() + across->value();
    across->setValue(std::max(0, nameStart - 2 * m_folderTree->indentation()));
}

void FolderPickerWindow::driveChanged(int row)
{
    const QString root = m_driveBox->itemText(row);
    if (root.isEmpty())
        return;
    showFolder(root);
    m_folderTree->expand(m_model->index(root));
}

void FolderPickerWindow::openFolder(const QModelIndex& index)
{
    if (!index.isValid())
        return;
    const QString path = m_model->filePath(index);
    Q_EMIT folderOpened(endsWithSeparator(path) ? path : path + u'/');
}

} // namespace vellora
