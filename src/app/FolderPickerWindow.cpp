#include "app/FolderPickerWindow.h"

namespace vellora {

// Being built: the drive box, the folder tree and the select button come next.
FolderPickerWindow::FolderPickerWindow(QWidget* parent) : QDialog(parent)
{
    setFixedSize(270, 331);
}

} // namespace vellora
