#include "sheet/SheetGeometry.h"

#include "core/TemplateValues.h"

#include <algorithm>
#include <limits>

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

qint32 sheetCapacity(const PhotoSizeSpec& size1)
{
    return d2i(double(size1.countAcross) * double(size1.countDown));
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

namespace {

// Cells laid out per size at most. A real sheet has a few dozen; a template
// with millions (a typo of 32767 × 32767, a damaged file) must neither hang
// nor exhaust memory. The first cells in visiting order are laid out, the
// counters still count every cell.
constexpr qint64 kMaxLaidOutCells = 1'000'000;

void layOutBlock(QList<CellPlacement>& cells, const PhotoSizeSpec& size, qint32 cellHeight,
                 double left, double top, bool ordinals)
{
    // A count of 0 or less gives no rows or no columns: nothing to visit.
    if (size.countDown <= 0 || size.countAcross <= 0)
        return;
    const qint64 total = qint64(size.countDown) * size.countAcross;
    const qint64 laidOut = std::min(total, kMaxLaidOutCells);
    cells.reserve(int(laidOut));
    // 64-bit counters: a count of 2147483647 must not wrap the loop.
    for (qint64 i = 1; i <= size.countDown && qint64(cells.size()) < laidOut; ++i) {
        const qint32 y = d2i(top + (i - 1.0) * cellHeight + (i - 1.0) * size.vDistance);
        for (qint64 j = 1; j <= size.countAcross && qint64(cells.size()) < laidOut; ++j) {
            const qint32 x = d2i(left + (j - 1.0) * size.width + (j - 1.0) * size.hDistance);
            const qint32 k = ordinals ? d2i((i - 1.0) * size.countAcross + j) : 0;
            cells.append({x, y, size.width, cellHeight, k});
        }
    }
}

} // namespace

SheetLayout computeSheetLayout(const LayoutTemplate& t, bool numberOutside)
{
    SheetLayout layout;
    const PhotoSizeSpec& s1 = t.size1;
    const qint32 h1 = cellHeight(s1, numberOutside);
    layOutBlock(layout.size1, s1, h1, t.leftMargin, t.topMargin, true);
    layout.capacity = sheetCapacity(s1);
    if (t.twoSize != 0) {
        // y of the last size-1 row; with no size-1 rows the block starts at 0
        // and the top margin is not applied.
        const double yLast = s1.countDown > 0
                                 ? double(d2i(double(t.topMargin) + (s1.countDown - 1.0) * h1 +
                                              (s1.countDown - 1.0) * s1.vDistance))
                                 : 0.0;
        const PhotoSizeSpec& s2 = t.size2;
        layOutBlock(layout.size2, s2, cellHeight(s2, numberOutside), t.leftMargin,
                    yLast + h1 + t.gap, false);
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
    // Visiting the cells in order and filling each k > filledCells while
    // copies are left fills a run of consecutive cells; the row rule only
    // stops the visit once nothing more would be filled. So the run is
    // counted, not walked: a sheet of any size costs the same.
    QList<int> cells;
    if (t.size1.countAcross <= 0 || t.size1.countDown <= 0 || sheet.copiesLeft == 0)
        return cells;
    const qint64 capacity = sheetCapacity(t.size1);
    const qint64 first = std::max<qint64>(sheet.filledCells, 0); // cells before the run
    const qint64 free = std::max<qint64>(capacity - first, 0);
    const qint64 fills = sheet.copiesLeft > 0 ? std::min<qint64>(sheet.copiesLeft, free) : free;
    sheet.filledCells = qint32(
        std::min<qint64>(qint64(sheet.filledCells) + fills, std::numeric_limits<qint32>::max()));
    sheet.copiesLeft = qint32(
        std::max<qint64>(qint64(sheet.copiesLeft) - fills, std::numeric_limits<qint32>::min()));
    const qint64 last = std::min<qint64>(first + fills, layout.size1.size());
    for (qint64 index = first; index < last; ++index)
        cells.append(int(index));
    return cells;
}

} // namespace vellora
