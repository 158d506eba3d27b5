#include "ui/PreviewSheetBoard.h"

#include "core/DrawingSurface.h"

#include <QPainter>

namespace vellora {

namespace {
constexpr int kBorder = 1;
}

PreviewSheetBoard::PreviewSheetBoard(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("预览画板"));
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void PreviewSheetBoard::showPicture(const QImage& sheet)
{
    const QSize inner = size() - QSize(2 * kBorder, 2 * kBorder);
    m_pictureRect = shrinkToFit(sheet.width(), sheet.height(), inner.width(), inner.height());
    m_pictureRect.translate(kBorder, kBorder);
    if (m_pictureRect.isEmpty())
        m_shown = QImage();
    else if (m_pictureRect.size() == sheet.size())
        m_shown = sheet;
    else
        m_shown =
            sheet.scaled(m_pictureRect.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    update();
}

void PreviewSheetBoard::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), backgroundColour());
    if (!m_shown.isNull())
        p.drawImage(m_pictureRect.topLeft(), m_shown);
    p.setPen(QColor(90, 120, 150));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

} // namespace vellora
