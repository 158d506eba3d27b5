#include "ui/PreviewBoard.h"

#include "core/DrawingSurface.h"

#include <QPainter>

namespace vellora {

PreviewBoard::PreviewBoard(QWidget* parent) : QFrame(parent)
{
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(2);
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, QColor(122, 150, 223));
    setPalette(p);
}

void PreviewBoard::showSheet(const QImage& sheet)
{
    m_sheet = sheet;
    rescale();
    update();
}

void PreviewBoard::rescale()
{
    const QRect inner = contentsRect();
    if (m_sheet.isNull()) {
        m_scaled = QImage();
        m_target = QRect();
        return;
    }
    const QRect fit = shrinkToFit(m_sheet.width(), m_sheet.height(), inner.width(), inner.height());
    m_target = fit.translated(inner.topLeft());
    if (fit.isEmpty())
        m_scaled = QImage();
    else if (fit.size() == m_sheet.size())
        m_scaled = m_sheet;
    else
        m_scaled = m_sheet.scaled(fit.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

void PreviewBoard::resizeEvent(QResizeEvent* event)
{
    QFrame::resizeEvent(event);
    rescale();
}

void PreviewBoard::paintEvent(QPaintEvent* event)
{
    QFrame::paintEvent(event);
    if (m_scaled.isNull())
        return;
    QPainter painter(this);
    painter.setClipRect(contentsRect());
    painter.drawImage(m_target.topLeft(), m_scaled);
}

} // namespace vellora
