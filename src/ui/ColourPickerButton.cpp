#include "ui/ColourPickerButton.h"

#include <QPainter>

namespace vellora {

ColourPickerButton::ColourPickerButton(PickColour pick, QWidget* parent)
    : QPushButton(parent), m_pick(std::move(pick))
{
    connect(this, &QPushButton::clicked, this, [this] {
        const QColor chosen = m_pick(window(), m_colour);
        if (chosen.isValid())
            setColour(chosen);
    });
}

void ColourPickerButton::setColour(const QColor& colour)
{
    if (colour.rgb() == m_colour.rgb())
        return;
    m_colour = colour;
    update();
    Q_EMIT colourChanged(m_colour);
}

void ColourPickerButton::paintEvent(QPaintEvent* event)
{
    QPushButton::paintEvent(event);
    QPainter painter(this);
    const QRect swatch = rect().adjusted(5, 5, -5, -5);
    QColor fill = m_colour;
    if (!isEnabled())
        fill.setAlpha(110);
    painter.fillRect(swatch, fill);
    painter.setPen(isEnabled() ? palette().color(QPalette::Dark)
                               : palette().color(QPalette::Disabled, QPalette::Dark));
    painter.drawRect(swatch.adjusted(0, 0, -1, -1));
}

} // namespace vellora
