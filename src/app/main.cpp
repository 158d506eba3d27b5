#include "app/Startup.h"
#include "core/AppState.h"
#include "core/ProgramFolder.h"
#include "ui/Dialogs.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    // The program lives as long as the main window, which is hidden (not
    // closed) while the settings window is in use.
    app.setQuitOnLastWindowClosed(false);
    // Qt's own dialogs and buttons (colour, file, input, message box) speak
    // the language of the rest of the program.
    QTranslator qtTranslator;
    if (qtTranslator.load(QStringLiteral("qtbase_zh_CN"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        app.installTranslator(&qtTranslator);

    vellora::AppState state;
    vellora::initialiseAppState(state, vellora::executableFolder());
    // A stored value of the wrong kind ends the program after the report.
    state.fatalError = [](int code, const QString& message) {
        vellora::showMessageBox(
            QStringLiteral("运行时出错!\n\n错误代码：%1\n\n错误信息：%2").arg(code).arg(message),
            QString::fromUtf16(vellora::kErrorCaption), QMessageBox::Critical);
        std::fflush(nullptr);
        std::exit(1);
    };
    state.printDialog = [] { return vellora::askForPrinterName(); };

    vellora::MainWindow window(state);
    QObject::connect(&window, &vellora::MainWindow::programEnding, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    window.show();
    return app.exec();
}
