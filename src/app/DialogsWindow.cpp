#include "app/DialogsWindow.h"

#include <QCoreApplication>
#include <QPrintDialog>
#include <QPrinter>
#include <QThread>

namespace vellora {

void showMessageBox(const QString& text, const QString& caption, QMessageBox::Icon icon)
{
    QMessageBox box(icon, caption, text, QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

QString askForPrinterName()
{
    QString chosen;
    const auto ask = [&chosen] {
        QPrinter printer;
        QPrintDialog dialog(&printer);
        dialog.setWindowModality(Qt::ApplicationModal);
        if (dialog.exec() == QDialog::Accepted)
            chosen = printer.printerName();
    };
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return {};
    if (QThread::currentThread() == app->thread())
        ask();
    else
        QMetaObject::invokeMethod(app, ask, Qt::BlockingQueuedConnection);
    return chosen;
}

} // namespace vellora
