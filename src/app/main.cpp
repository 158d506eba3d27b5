#include "app/AppState.h"
#include "app/MainWindow.h"
#include "app/Startup.h"
#include "platform/ProgramFolder.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);

    vellora::AppState state;
    vellora::initialiseAppState(state, vellora::executableFolder());

    // The program lives as long as the main window: closing it ends the loop.
    vellora::MainWindow window(state);
    window.show();
    return app.exec();
}
