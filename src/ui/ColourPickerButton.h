#pragma once

#include <QColor>
#include <QPushButton>

namespace vellora {

// A button that shows its colour and opens the colour dialog.
class ColourPickerButton : public QPushButton
{
    Q_OBJECT
public:
    explicit ColourPickerButton(QWidget* parent);

    QColor colour() const { return m_colour; }
    // Raises colourChanged when the colour differs.
    void setColour(const QColor& colour);

Q_SIGNALS:
    void colourChanged(const QColor& colour);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_colour = Qt::black;
};

} // namespace vellora
