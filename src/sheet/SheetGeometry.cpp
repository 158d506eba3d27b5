#include "sheet/SheetGeometry.h"

#include "templates/TemplateValues.h"

namespace vellora {

// All geometry is integer inputs evaluated in double precision and truncated
// toward zero; only the halving in the centring ever drops a fraction.
namespace {
qint32 d2i(double v)
{
    return truncToInt(v);
}
} // namespace

qint32 cellHeight(const PhotoSizeSpec& size, bool numberOutside)
{
    return d2i(double(size.height) + (numberOutside ? double(kNumberStripHeight) : 0.0));
}

void computeCentredMargins(LayoutTemplate& t, bool centred, bool numberOutside)
{
    if (!centred)
        return;
    const PhotoSizeSpec& s1 = t.size1;
    const PhotoSizeSpec& s2 = t.size2;
    const bool twoSize = t.twoSize != 0;
    double block = double(s1.height) * s1.countDown + double(s1.vDistance) * (s1.countDown - 1.0);
    if (twoSize)
        block = block + double(s2.height) * s2.countDown +
                double(s2.vDistance) * (s2.countDown - 1.0) + double(t.gap);
    if (numberOutside) {
        block = block + double(s1.countDown) * kNumberStripHeight;
        if (twoSize)
            block = block + double(s2.countDown) * kNumberStripHeight;
    }
    t.topMargin = d2i((double(t.paperHeight) - double(d2i(block))) / 2.0);
    const double width =
        double(s1.width) * s1.countAcross + double(s1.hDistance) * (s1.countAcross - 1.0);
    t.leftMargin = d2i((double(t.paperWidth) - double(d2i(width))) / 2.0);
}

SheetLayout computeSheetLayout(const LayoutTemplate& t, bool numberOutside)
{
    SheetLayout layout;
    const PhotoSizeSpec& s1 = t.size1;
    const qint32 h1 = cellHeight(s1, numberOutside);
    const double L = t.leftMargin;
    const double T = t.topMargin;
    qint32 yLast = 0;
    for (qint32 i = 1; i <= s1.countDown; ++i) {
        const qint32 y = d2i(T + (i - 1.0) * h1 + (i - 1.0) * s1.vDistance);
        yLast = y;
        for (qint32 j = 1; j <= s1.countAcross; ++j) {
            const qint32 x = d2i(L + (j - 1.0) * s1.width + (j - 1.0) * s1.hDistance);
            const qint32 k = d2i((i - 1.0) * s1.countAcross + j);
            layout.size1.append({x, y, s1.width, h1, k});
        }
    }
    layout.capacity = d2i(double(s1.countAcross) * double(s1.countDown));
    if (t.twoSize != 0) {
        const PhotoSizeSpec& s2 = t.size2;
        const qint32 h2 = cellHeight(s2, numberOutside);
        // With no size-1 rows the block starts at 0: the top margin is not applied.
        const double y2 = double(yLast) + h1 + t.gap;
        for (qint32 i = 1; i <= s2.countDown; ++i) {
            const qint32 y = d2i(y2 + (i - 1.0) * h2 + (i - 1.0) * s2.vDistance);
            for (qint32 j = 1; j <= s2.countAcross; ++j) {
                const qint32 x = d2i(L + (j - 1.0) * s2.width + (j - 1.0) * s2.hDistance);
                layout.size2.append({x, y, s2.width, h2, 0});
            }
        }
    }
    return layout;
}

QList<int> planWholeSheet(const SheetLayout& layout, PendingSheet& sheet)
{
    QList<int> cells;
    cells.reserve(layout.size1.size());
    for (int i = 0; i < layout.size1.size(); ++i)
        cells.append(i);
    sheet.filledCells = layout.capacity;
    return cells;
}

QList<int> planNextFreeCells(const SheetLayout& layout, const LayoutTemplate& t,
                             PendingSheet& sheet)
{
    QList<int> cells;
    const qint32 across = t.size1.countAcross;
    if (across <= 0)
        return cells;
    const qint32 filledOnEntry = sheet.filledCells;
    int index = 0;
    for (qint32 i = 1; i <= t.size1.countDown; ++i) {
        for (qint32 j = 1; j <= across; ++j, ++index) {
            const qint32 k = layout.size1[index].ordinal;
            if (k > filledOnEntry && sheet.copiesLeft != 0) {
                cells.append(index);
                ++sheet.filledCells;
                --sheet.copiesLeft;
            }
        }
        if (sheet.copiesLeft == 0)
            break;
    }
    return cells;
}

} // namespace vellora
