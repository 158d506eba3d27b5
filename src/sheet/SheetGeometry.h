#pragma once

#include "core/LayoutTemplate.h"
#include "core/PendingSheet.h"

#include <QList>

namespace vellora {

inline constexpr qint32 kNumberStripHeight = 30;

struct CellPlacement
{
    qint32 x = 0;
    qint32 y = 0;
    qint32 width = 0;
    qint32 height = 0;
    qint32 ordinal = 0; // k, 1-based; 0 for size-2 cells
};

// Where every cell of a sheet goes, computed once per layout pass.
struct SheetLayout
{
    QList<CellPlacement> size1; // row-major visiting order
    QList<CellPlacement> size2; // two-size mode only
    qint32 capacity = 0;        // a1 × d1
};

// Cell height of a size: h, plus the number strip when the number is outside.
qint32 cellHeight(const PhotoSizeSpec& size, bool numberOutside);

// Capacity C = a1 × d1, the plain product, held in 32 bits (saturating). The
// one place it is computed: the layout pass and the batch job must agree on
// when a sheet is full.
qint32 sheetCapacity(const PhotoSizeSpec& size1);

// Overwrites the left and top margins with the centring ones when centred.
void computeCentredMargins(LayoutTemplate& t, bool centred, bool numberOutside);

// Positions of all cells from the template's margins as they stand.
SheetLayout computeSheetLayout(const LayoutTemplate& t, bool numberOutside);

// The cells a pass fills, as indexes into layout.size1, updating the counters.
// Whole sheet: every cell, filledCells := capacity, copiesLeft untouched.
// Next free cells: cells with k > filledCells while copiesLeft is not 0; a row
// is always finished, no new row is started once copiesLeft is 0.
QList<int> planWholeSheet(const SheetLayout& layout, PendingSheet& sheet);
QList<int> planNextFreeCells(const SheetLayout& layout, const LayoutTemplate& t,
                             PendingSheet& sheet);

} // namespace vellora
