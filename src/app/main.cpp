#include "app/GuiInstance.h"
#include "app/Startup.h"
#include "core/AppState.h"
#include "core/ProgramFolder.h"
#include "ui/Dialogs.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>
#include <QWidget>

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

    // A second start brings the running window forward rather than a second
    // window whose monitoring would be refused.
    vellora::GuiInstance instance(vellora::executableFolder());
    switch (instance.claim()) {
    case vellora::GuiInstance::Claim::First:
        break;
    case vellora::GuiInstance::Claim::Raised:
        std::fprintf(
            stderr, "%s\n",
            QStringLiteral("Vellora 已在运行：已把它的窗口调到前面").toLocal8Bit().constData());
        return 0;
    case vellora::GuiInstance::Claim::Unknown:
        vellora::showMessageBox(
            QStringLiteral("Vellora 已在运行，但它没有应答（%1）。请先关闭它再启动。")
                .arg(instance.error()),
            QString::fromUtf16(vellora::kErrorCaption), QMessageBox::Warning);
        return 1;
    }

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
    instance.setRaise([&window] {
        // The main window is hidden while the settings window is in use:
        // whatever is shown comes forward.
        bool any = false;
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (!top->isVisible() || top->windowType() == Qt::ToolTip)
                continue;
            any = true;
            top->setWindowState(top->windowState() & ~Qt::WindowMinimized);
            top->raise();
            top->activateWindow();
        }
        if (!any) {
            window.show();
            window.raise();
            window.activateWindow();
        }
    });
    window.show();
    return app.exec();
}
