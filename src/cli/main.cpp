#include "cli/Commands.h"

#include "core/FileNames.h"

#include <QGuiApplication>

#include <cstdio>

namespace {

int usage()
{
    vellora::cli::printError(QStringLiteral(
        "usage: vellora-cli <command> [options]\n"
        "  preview (--template-json FILE | --template NAME) [--store PATH] [--photo PATH] --out "
        "FILE.png\n"
        "  layout (--template NAME [--store PATH] | --template-json FILE) (--out DIR | --print) "
        "PHOTO...\n"
        "  templates (list | show NAME | export [FILE] | import FILE...) [--store PATH]\n"
        "  watch FOLDER (--template NAME [--store PATH] | --template-json FILE) [--poll] "
        "[--no-leases] "
        "[--verbose]\n"
        "  calibrate [--printer NAME] (--print | --show | --reset | --measured-x MM --measured-y "
        "MM [--offset-x MM] [--offset-y MM])\n"
        "  reprint PHOTO-OR-NUMBER [--copies N]\n"
        "  history [--since DATE] [--number N] [--json]"));
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    // Text drawing needs a GUI application; no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    // Paths as the file system spells them: a name that is not UTF-8 (from an
    // archive made elsewhere) keeps its bytes instead of replacement marks.
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << vellora::decodeFileName(QByteArray(argv[i]));
    if (args.isEmpty())
        return usage();
    const QString command = args.takeFirst();
    if (command == u"preview")
        return vellora::cli::runPreview(args);
    if (command == u"watch")
        return vellora::cli::runWatch(args);
    if (command == u"layout")
        return vellora::cli::runLayout(args);
    if (command == u"templates")
        return vellora::cli::runTemplates(args);
    if (command == u"reprint")
        return vellora::cli::runReprint(args);
    if (command == u"history")
        return vellora::cli::runHistory(args);
    if (command == u"calibrate")
        return vellora::cli::runCalibrate(args);
    return usage();
}
