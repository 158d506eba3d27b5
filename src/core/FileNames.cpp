#include "core/FileNames.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <fcntl.h>
#include <sys/stat.h>

namespace vellora {

namespace {

bool decodesCleanly(const char* encoding, const QByteArray& bytes, QString& text)
{
    QStringDecoder decoder(encoding, QStringConverter::Flag::Stateless);
    if (!decoder.isValid())
        return false;
    text = decoder(bytes);
    return !decoder.hasError();
}

bool encodesCleanly(const char* encoding, const QString& text, QByteArray& bytes)
{
    QStringEncoder encoder(encoding, QStringConverter::Flag::Stateless);
    if (!encoder.isValid())
        return false;
    bytes = encoder(text);
    return !encoder.hasError();
}

} // namespace

QString decodeFileName(const QByteArray& bytes)
{
    QString text;
    if (decodesCleanly("UTF-8", bytes, text))
        return text;
    // GBK only when it gives the same bytes back: a decoder that skipped or
    // replaced a byte would give a name that opens nothing.
    QByteArray back;
    if (decodesCleanly("GBK", bytes, text) && encodesCleanly("GBK", text, back) && back == bytes)
        return text;
    return QString::fromLatin1(bytes);
}

QList<QByteArray> fileNameCandidates(const QString& text)
{
    QList<QByteArray> forms{text.toUtf8()};
    QByteArray bytes;
    if (encodesCleanly("GBK", text, bytes) && !forms.contains(bytes))
        forms << bytes;
    bool latin1 = true;
    for (const QChar c : text)
        latin1 = latin1 && c.unicode() <= 0xFF;
    if (latin1 && !forms.contains(text.toLatin1()))
        forms << text.toLatin1();
    return forms;
}

QByteArray fileNameBytesIn(int rootFd, const QString& relative)
{
    QByteArray path;
    const QStringList parts = relative.split(u'/');
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QList<QByteArray> forms = fileNameCandidates(parts[i]);
        QByteArray found = forms.front();
        for (const QByteArray& form : forms) {
            const QByteArray candidate = path.isEmpty() ? form : path + '/' + form;
            struct stat st
            {
            };
            if (::fstatat(rootFd, candidate.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
                found = form;
                break;
            }
        }
        path = path.isEmpty() && i == 0 ? found : path + '/' + found;
    }
    return path;
}

} // namespace vellora
