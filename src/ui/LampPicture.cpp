#include "ui/LampPicture.h"

#include <QFont>
#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>

namespace vellora {

namespace {

QFont lampFont()
{
    QFont font(QStringLiteral("Noto Sans CJK SC"));
    font.setPixelSize(22);
    font.setWeight(QFont::Bold);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

} // namespace

QImage drawLampPicture(const QString& words, const QColor& colour)
{
    QImage image(kLampPictureWidth, kLampPictureHeight, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    // The lamp: a dark rim, a glass body shaded from a light centre to the
    // full colour, and a small reflection at the upper left.
    const QRectF lamp(6, 7, 38, 38);
    const QPointF centre = lamp.center();
    p.setPen(QPen(colour.darker(170), 2));
    QRadialGradient body(centre, lamp.width() / 2, centre - QPointF(6, 6));
    body.setColorAt(0.0, colour.lighter(190));
    body.setColorAt(0.55, colour);
    body.setColorAt(1.0, colour.darker(140));
    p.setBrush(body);
    p.drawEllipse(lamp);
    QRadialGradient shine(centre - QPointF(7, 8), 9);
    shine.setColorAt(0.0, QColor(255, 255, 255, 220));
    shine.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(shine);
    p.drawEllipse(QRectF(centre.x() - 15, centre.y() - 16, 18, 14));

    // The words, vertically centred beside the lamp.
    const QFont font = lampFont();
    p.setFont(font);
    p.setPen(colour);
    const QRect textArea(52, 0, kLampPictureWidth - 54, kLampPictureHeight);
    p.drawText(textArea, Qt::AlignLeft | Qt::AlignVCenter, words);
    p.end();
    return image;
}

QImage readyLampPicture()
{
    return drawLampPicture(QStringLiteral("准备监控"), QColor(0, 90, 220));
}

QImage monitoringLampPicture()
{
    return drawLampPicture(QStringLiteral("监控中"), QColor(220, 20, 20));
}

} // namespace vellora
