#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>

namespace vellora {

// 预览画板: the sheet picture centred and shrunk to fit on a light blue
// background inside a thin border.
class PreviewSheetBoard : public QWidget
{
    Q_OBJECT
public:
    explicit PreviewSheetBoard(QWidget* parent = nullptr);

    void showPicture(const QImage& sheet);
    // Where the picture lies on the board (empty before the first picture).
    QRect pictureRect() const { return m_pictureRect; }
    static QColor backgroundColour() { return QColor(151, 196, 240); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_shown; // already scaled to m_pictureRect's size
    QRect m_pictureRect;
};

} // namespace vellora
