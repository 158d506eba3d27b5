#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QString>
#include <QStringList>

namespace vellora::cli {

// One command's arguments, read by QCommandLineParser. Only arguments that
// start with "--" are options: anything else is an option's value or a
// positional argument, so a photo may be called "-1.jpg" and an offset may be
// "-1.5". A failed parse names the first argument at fault, in argument order:
// an unknown option, a flag given a value, an option without its value, or a
// positional argument beyond the ones the command takes.
class CommandLine
{
public:
    static constexpr int kAnyNumber = -1;

    // positionalLimit: how many positional arguments the command takes.
    // endOfOptions: a bare "--" ends the options (otherwise it is at fault).
    CommandLine(const QList<QCommandLineOption>& options, int positionalLimit,
                bool endOfOptions = false);

    bool parse(const QStringList& args);
    // The argument at fault after a failed parse.
    QString unexpected() const { return m_unexpected; }
    // Whether it failed because the last argument is an option that needs a value.
    bool missingValue() const { return m_missingValue; }

    bool isSet(const QString& name) const { return m_parser.isSet(name); }
    QString value(const QString& name) const;
    // Every value of an option given more than once, in argument order.
    QStringList values(const QString& name) const;
    QStringList positional() const;

private:
    const QCommandLineOption* option(const QString& name) const;
    bool findFault(const QStringList& args);

    QCommandLineParser m_parser;
    QList<QCommandLineOption> m_options;
    int m_positionalLimit;
    bool m_endOfOptions;
    QString m_unexpected;
    bool m_missingValue = false;
};

} // namespace vellora::cli
