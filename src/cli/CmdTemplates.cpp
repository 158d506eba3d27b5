#include "cli/CommandLine.h"
#include "cli/Commands.h"

#include "app/Startup.h"
#include "core/AppState.h"
#include "core/Config.h"
#include "core/FatalError.h"
#include "core/ProgramFolder.h"
#include "sheet/TemplateLoader.h"
#include "templates/TemplateFile.h"
#include "templates/TemplateTransfer.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <cstdio>

namespace vellora::cli {

QString defaultStorePath()
{
    return joinPath(executableFolder(), QString::fromUtf16(kStoreFileName));
}

bool loadTemplateFromStore(AppState& state, const QString& storePath, const QString& name,
                           QString* error)
{
    LayoutTemplate row;
    ColumnKindError kindError;
    switch (findTemplateByName(storePath, name, row, &kindError)) {
    case FindResult::Found:
        useTemplateHeadless(state, row);
        state.loadedTemplateName = name;
        state.templateModified = false;
        return true;
    case FindResult::NotFound:
        *error = QStringLiteral("no template named \"%1\" in %2").arg(name, storePath);
        return false;
    case FindResult::Unreadable:
        *error =
            QStringLiteral("%1 is missing or not a template file of this program").arg(storePath);
        return false;
    case FindResult::WrongKind:
        raiseFatalError(state, kindError.code, kindError.message);
        *error = fatalErrorReport(kindError.code, kindError.message);
        return false;
    }
    return false;
}

namespace {

void writeOut(const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

int fail(const QString& message)
{
    printError(QStringLiteral("templates: ") + message);
    return 1;
}

// One name a line: a name that would not read back as one line as it stands
// (a line break, another control character, a leading quote or blank at
// either end) is written as a JSON string.
QByteArray listedName(const QString& name)
{
    bool plain = !name.isEmpty() && !name.startsWith(u'"') && !name.front().isSpace() &&
                 !name.back().isSpace();
    for (QChar c : name)
        plain = plain && c.unicode() >= 0x20 && c.unicode() != 0x7F && c != QChar::LineSeparator &&
                c != QChar::ParagraphSeparator;
    if (plain)
        return name.toUtf8();
    const QByteArray array = QJsonDocument(QJsonArray{name}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

int list(const QString& store)
{
    QStringList names;
    QString error;
    if (!readTemplateNames(store, names, &error))
        return fail(error);
    QByteArray out;
    for (const QString& name : names)
        out += listedName(name) + '\n';
    writeOut(out);
    return 0;
}

int show(const QString& store, const QString& name)
{
    AppState state;
    initialiseAppState(state, executableFolder());
    QString error;
    if (!loadTemplateFromStore(state, store, name, &error))
        return fail(error);
    writeOut(templatesToJsonText({state.currentTemplate}));
    return 0;
}

int exportTemplates(const QString& store, const QString& file)
{
    QList<LayoutTemplate> templates;
    QString error;
    if (!readVisibleTemplates(store, templates, &error))
        return fail(error);
    const QByteArray json = templatesToJsonText(templates);
    if (file.isEmpty()) {
        writeOut(json);
        return 0;
    }
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(json) != json.size() || !out.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(file, out.errorString()));
    printError(QStringLiteral("exported %1 templates to %2").arg(templates.size()).arg(file));
    return 0;
}

int importTemplates(const QString& store, const QStringList& files)
{
    // Everything is checked before the store is touched; then one transaction.
    QList<LayoutTemplate> templates;
    for (const QString& path : files) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        QList<LayoutTemplate> some;
        QString error;
        if (!templatesFromJsonText(file.readAll(), some, &error))
            return fail(QStringLiteral("%1: %2").arg(path, error));
        for (const LayoutTemplate& t : some) {
            // A name that cannot come back from 配置.ini could never be the default.
            const QString problem = configValueProblem(t.name);
            if (!problem.isEmpty())
                return fail(QStringLiteral("%1: template name \"%2\" refused: %3")
                                .arg(path, QString::fromUtf8(listedName(t.name)), problem));
        }
        templates += some;
    }
    QString error;
    WriteCounts counts;
    if (!writeTemplateRows(store, templates, &error, &counts))
        return fail(error);
    printError(QStringLiteral("wrote %1 templates into %2 (%3 new, %4 replaced)")
                   .arg(counts.written())
                   .arg(store)
                   .arg(counts.added)
                   .arg(counts.replaced));
    return 0;
}

} // namespace

int runTemplates(const QStringList& args)
{
    CommandLine line(
        {QCommandLineOption(QStringLiteral("store"), QString(), QStringLiteral("PATH"))},
        CommandLine::kAnyNumber);
    if (!line.parse(args)) {
        if (line.missingValue())
            printError(QStringLiteral("templates: --store needs a path"));
        else
            printError(QStringLiteral("templates: unexpected option '%1'").arg(line.unexpected()));
        return 2;
    }
    QString store = line.value(QStringLiteral("store"));
    QStringList words = line.positional();
    if (store.isEmpty())
        store = defaultStorePath();
    const QString action = words.isEmpty() ? QString() : words.takeFirst();
    if (action == u"list" && words.isEmpty())
        return list(store);
    if (action == u"show" && words.size() == 1)
        return show(store, words[0]);
    if (action == u"export" && words.size() <= 1)
        return exportTemplates(store, words.value(0));
    if (action == u"import" && !words.isEmpty())
        return importTemplates(store, words);
    printError(QStringLiteral(
        "usage: vellora-cli templates (list | show NAME | export [FILE] | import FILE...) "
        "[--store PATH]"));
    return 2;
}

} // namespace vellora::cli
