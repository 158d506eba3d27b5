#include "cli/CommandLine.h"

namespace vellora::cli {

namespace {

// Marks the arguments that are not options, so that the parser never takes one
// that starts with a single dash for an option; removed on the way out.
constexpr QChar kPlain(0x1);

QString unmarked(const QString& text)
{
    return text.startsWith(kPlain) ? text.mid(1) : text;
}

} // namespace

CommandLine::CommandLine(const QList<QCommandLineOption>& options, int positionalLimit,
                         bool endOfOptions)
    : m_options(options), m_positionalLimit(positionalLimit), m_endOfOptions(endOfOptions)
{
    m_parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    m_parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    m_parser.addOptions(options);
}

const QCommandLineOption* CommandLine::option(const QString& name) const
{
    for (const QCommandLineOption& o : m_options) {
        if (o.names().contains(name))
            return &o;
    }
    return nullptr;
}

bool CommandLine::findFault(const QStringList& args)
{
    int positionals = 0;
    bool optionsEnded = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (!optionsEnded && m_endOfOptions && a == u"--") {
            optionsEnded = true;
            continue;
        }
        if (optionsEnded || !a.startsWith(u"--")) {
            if (m_positionalLimit != kAnyNumber && ++positionals > m_positionalLimit) {
                m_unexpected = a;
                return true;
            }
            continue;
        }
        const qsizetype equals = a.indexOf(u'=');
        const QCommandLineOption* o = option(a.mid(2, equals < 0 ? -1 : equals - 2));
        const bool takesValue = o && !o->valueName().isEmpty();
        if (!o || (!takesValue && equals >= 0)) {
            m_unexpected = a;
            return true;
        }
        if (takesValue && equals < 0) {
            if (i + 1 >= args.size()) {
                m_unexpected = a;
                m_missingValue = true;
                return true;
            }
            ++i;
        }
    }
    return false;
}

bool CommandLine::parse(const QStringList& args)
{
    m_unexpected.clear();
    m_missingValue = false;
    if (findFault(args))
        return false;
    QStringList marked{QStringLiteral("vellora-cli")};
    for (const QString& a : args)
        marked.append(a.startsWith(u"--") ? a : kPlain + a);
    if (!m_parser.parse(marked)) {
        // Not reached: findFault knows every way the parser fails.
        m_unexpected = args.value(0);
        return false;
    }
    return true;
}

QString CommandLine::value(const QString& name) const
{
    return unmarked(m_parser.value(name));
}

QStringList CommandLine::values(const QString& name) const
{
    QStringList out;
    for (const QString& v : m_parser.values(name))
        out.append(unmarked(v));
    return out;
}

QStringList CommandLine::positional() const
{
    QStringList out;
    for (const QString& p : m_parser.positionalArguments())
        out.append(unmarked(p));
    return out;
}

} // namespace vellora::cli
