#pragma once

#include <QColor>
#include <QPushButton>

#include <functional>

namespace vellora {

// A button that shows its colour and opens the colour dialog.
class ColourPickerButton : public QPushButton
{
    Q_OBJECT
public:
    // pick: the colour dialog (invalid colour when cancelled).
    using PickColour = std::function<QColor(QWidget* parent, const QColor& initial)>;
    ColourPickerButton(PickColour pick, QWidget* parent);

    QColor colour() const { return m_colour; }
    // Raises colourChanged when the colour differs.
    void setColour(const QColor& colour);

Q_SIGNALS:
    void colourChanged(const QColor& colour);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    PickColour m_pick;
    QColor m_colour = Qt::black;
};

} // namespace vellora
