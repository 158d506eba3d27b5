#pragma once

#include <QFrame>
#include <QImage>

namespace vellora {

// 画板1: shows the last sheet picture shrunk to fit on its background.
class PreviewBoard : public QFrame
{
    Q_OBJECT
public:
    explicit PreviewBoard(QWidget* parent);

    void showSheet(const QImage& sheet);
    const QImage& sheet() const { return m_sheet; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void rescale();

    QImage m_sheet;
    QImage m_scaled;
    QRect m_target;
};

} // namespace vellora
