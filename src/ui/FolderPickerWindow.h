#pragma once

#include <QDialog>

class QComboBox;
class QFileSystemModel;
class QModelIndex;
class QPushButton;
class QTreeView;

namespace vellora {

// The small modal folder picker: drive box (mounted volumes), folder tree and
// "选择". A folder is taken over the moment it is opened in the tree.
class FolderPickerWindow : public QDialog
{
    Q_OBJECT
public:
    explicit FolderPickerWindow(QWidget* parent = nullptr);

    // The tree's current folder (empty when none).
    QString currentFolder() const;

Q_SIGNALS:
    // The opened folder's full path followed by "/".
    void folderOpened(const QString& folderWithSeparator);

private:
    void driveChanged(int row);
    void openFolder(const QModelIndex& index);
    void showFolder(const QString& path);
    void keepInView(const QModelIndex& index);

    QComboBox* m_driveBox = nullptr;
    QTreeView* m_folderTree = nullptr;
    QFileSystemModel* m_model = nullptr;
    QPushButton* m_selectButton = nullptr;
};

} // namespace vellora
