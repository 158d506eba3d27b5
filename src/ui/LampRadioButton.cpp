#include "ui/LampRadioButton.h"

#include <QPainter>

namespace vellora {

LampRadioButton::LampRadioButton(const QImage& picture, QWidget* parent)
    : QRadioButton(parent), m_picture(picture)
{
    setAutoExclusive(false);
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
}

void LampRadioButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    if (underMouse() || isDown()) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 0, 0, isDown() ? 40 : 18));
        p.drawRoundedRect(rect().adjusted(1, 1, -1, -1), 8, 8);
    }
    // The picture is 2 pixels larger than the control; centre it.
    const QPoint at((width() - m_picture.width()) / 2, (height() - m_picture.height()) / 2);
    p.drawImage(at, m_picture);
    if (hasFocus()) {
        p.setPen(QPen(palette().color(QPalette::Highlight), 1, Qt::DotLine));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(rect().adjusted(1, 1, -2, -2), 8, 8);
    }
}

bool LampRadioButton::hitButton(const QPoint& pos) const
{
    return rect().contains(pos);
}

} // namespace vellora
