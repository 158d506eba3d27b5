#pragma once

#include <QDialog>

namespace vellora {

// The small modal folder picker: drive box (mounted volumes), folder tree and
// "选择". A folder is taken over the moment it is opened in the tree.
class FolderPickerWindow : public QDialog
{
    Q_OBJECT
public:
    explicit FolderPickerWindow(QWidget* parent = nullptr);

Q_SIGNALS:
    // The opened folder's full path followed by "/".
    void folderOpened(const QString& folderWithSeparator);
};

} // namespace vellora
