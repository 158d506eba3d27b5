#include "ui/Dialogs.h"

#include <QCoreApplication>
#include <QPrintDialog>
#include <QPrinter>
#include <QThread>

namespace vellora {

namespace {

// Widgets live on the UI thread; a caller on another thread (the batch job,
// a fatal store error met there) waits for the dialog to be answered there.
template <class Run> void onUiThread(Run run)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread())
        run();
    else
        QMetaObject::invokeMethod(app, run, Qt::BlockingQueuedConnection);
}

} // namespace

void showMessageBox(const QString& text, const QString& caption, QMessageBox::Icon icon)
{
    onUiThread([&] {
        QMessageBox box(icon, caption, text, QMessageBox::Ok);
        box.setWindowModality(Qt::ApplicationModal);
        box.exec();
    });
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
    if (QCoreApplication::instance())
        onUiThread(ask);
    return chosen;
}

} // namespace vellora
