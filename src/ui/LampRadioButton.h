#pragma once

#include <QImage>
#include <QRadioButton>

namespace vellora {

// A radio box shown as its picture alone (no indicator), like a graphical
// option button: the lamp and the words are the whole control.
class LampRadioButton : public QRadioButton
{
public:
    LampRadioButton(const QImage& picture, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;
    // The whole picture is the click area.
    bool hitButton(const QPoint& pos) const override;

private:
    QImage m_picture;
};

} // namespace vellora
