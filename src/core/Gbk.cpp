#include "core/Gbk.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace vellora {

QByteArray toGbk(const QString& text)
{
    QStringEncoder encoder("GBK", QStringConverter::Flag::Stateless);
    if (!encoder.isValid())
        return text.toLocal8Bit();
    QByteArray bytes = encoder(text);
    return bytes;
}

QString fromGbk(const QByteArray& bytes)
{
    QStringDecoder decoder("GBK", QStringConverter::Flag::Stateless);
    if (!decoder.isValid())
        return QString::fromLocal8Bit(bytes);
    QString text = decoder(bytes);
    return text;
}

} // namespace vellora
