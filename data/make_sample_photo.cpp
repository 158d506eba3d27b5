// Draws the sample photo the settings window lays out: a head-and-shoulders
// figure on an identity-photo blue background. Nobody real is pictured.
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cstdio>

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: vellora-make-sample-photo OUT.jpg\n");
        return 2;
    }
    const int w = 413;
    const int h = 579;
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(QColor(67, 142, 219));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);

    // Shoulders and a dark jacket with a white collar.
    QPainterPath body;
    body.moveTo(20, h);
    body.cubicTo(30, 440, 120, 420, 160, 405);
    body.lineTo(253, 405);
    body.cubicTo(293, 420, 383, 440, 393, h);
    body.closeSubpath();
    p.setBrush(QColor(38, 44, 60));
    p.drawPath(body);
    QPainterPath collar;
    collar.moveTo(165, 405);
    collar.lineTo(206, 480);
    collar.lineTo(248, 405);
    collar.closeSubpath();
    p.setBrush(QColor(245, 245, 245));
    p.drawPath(collar);

    // Neck, face, ears, hair.
    const QColor skin(236, 196, 164);
    p.setBrush(skin.darker(108));
    p.drawRect(176, 330, 61, 85);
    p.setBrush(skin);
    p.drawEllipse(QRectF(96, 208, 26, 62));
    p.drawEllipse(QRectF(291, 208, 26, 62));
    QRadialGradient faceShade(QPointF(206, 220), 130);
    faceShade.setColorAt(0, skin.lighter(104));
    faceShade.setColorAt(1, skin.darker(106));
    p.setBrush(faceShade);
    p.drawEllipse(QRectF(111, 110, 191, 250));
    p.setBrush(QColor(42, 32, 28));
    QPainterPath hair;
    hair.moveTo(108, 215);
    hair.cubicTo(95, 80, 318, 80, 305, 215);
    hair.cubicTo(290, 150, 230, 140, 206, 150);
    hair.cubicTo(180, 140, 125, 150, 108, 215);
    p.drawPath(hair);

    // Eyes, brows, nose, mouth.
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(150, 222, 36, 18));
    p.drawEllipse(QRectF(227, 222, 36, 18));
    p.setBrush(QColor(50, 40, 35));
    p.drawEllipse(QRectF(161, 224, 14, 14));
    p.drawEllipse(QRectF(238, 224, 14, 14));
    p.setPen(QPen(QColor(60, 45, 35), 5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(148, 208, 186, 204);
    p.drawLine(227, 204, 265, 208);
    p.setPen(QPen(skin.darker(125), 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(206, 240, 200, 285);
    p.drawLine(200, 285, 212, 288);
    p.setPen(QPen(QColor(170, 80, 80), 4, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(178, 292, 56, 26), 200 * 16, 140 * 16);
    p.end();

    QImageWriter writer(QString::fromLocal8Bit(argv[1]), "jpeg");
    writer.setQuality(92);
    if (!writer.write(image)) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
