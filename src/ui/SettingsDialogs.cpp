#include "ui/SettingsDialogs.h"

#include "ui/BatchWindow.h"

#include <QColorDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>

namespace vellora {

Dialogs makeDefaultSettingsDialogs()
{
    Dialogs d;
    d.message = [](const QString& caption, const QString& text, QMessageBox::Icon icon) {
        QMessageBox box(icon, caption, text, QMessageBox::Ok);
        box.setWindowModality(Qt::ApplicationModal);
        box.exec();
    };
    d.confirm = [](const QString& caption, const QString& text) {
        QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::No);
        box.setWindowModality(Qt::ApplicationModal);
        return box.exec() == QMessageBox::Yes;
    };
    d.askTemplateName = [](QWidget* parent) -> std::optional<QString> {
        bool ok = false;
        const QString name = QInputDialog::getText(parent, QStringLiteral("保存打印规格"),
                                                   QStringLiteral("打印规格名称："),
                                                   QLineEdit::Normal, QString(), &ok);
        if (!ok || name.trimmed().isEmpty())
            return std::nullopt;
        return name;
    };
    d.openLogoFile = [](QWidget* parent) {
        return QFileDialog::getOpenFileName(parent, QStringLiteral("打开标志图片"), QString(),
                                            QStringLiteral("图片文件（*.bmp） (*.bmp)"));
    };
    d.pickColour = [](QWidget* parent, const QColor& initial) {
        return QColorDialog::getColor(initial, parent);
    };
    d.runBatch = [](AppState& state, QWidget* owner) {
        BatchWindow window(state, owner);
        window.exec();
    };
    return d;
}

} // namespace vellora
