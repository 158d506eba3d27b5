#include "sheet/SheetRenderer.h"

#include "core/AppState.h"
#include "core/Gbk.h"
#include "core/TemplateValues.h"
#include "sheet/PictureDrawing.h"
#include "sheet/SheetGeometry.h"

#include <cmath>

namespace vellora {

QByteArray derivePhotoNumber(const QString& path)
{
    const QByteArray bytes = toGbk(path);
    const qsizetype n = bytes.size();
    // Searches step over double-byte characters: a trail byte never matches.
    qsizetype lastSeparator = -1;
    for (qsizetype i = 0; i < n; ++i) {
        if (isGbkLeadByte(bytes[i])) {
            ++i;
            continue;
        }
        if (bytes[i] == '/')
            lastSeparator = i;
    }
    const QByteArray name = bytes.mid(lastSeparator + 1);
    qsizetype dot = -1;
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (isGbkLeadByte(name[i])) {
            ++i;
            continue;
        }
        if (name[i] == '.') {
            dot = i;
            break;
        }
    }
    if (dot <= 0)
        return {};
    return name.left(dot);
}

namespace {

// Spread the number over the cell width by byte slots: a two-byte character
// takes two slots and starts at the left edge of its first one.
void writeNumber(DrawingSurface& surface, const QByteArray& text, int width, int ty)
{
    const qsizetype m = text.size();
    if (m == 0)
        return;
    const double slot = std::trunc(double(width) / double(m));
    qsizetype i = 1;
    while (i <= m) {
        const auto c = static_cast<signed char>(text[i - 1]);
        const qsizetype length = (c > 0 && c < 127) ? 1 : 2;
        const QByteArray character = text.mid(i - 1, length);
        surface.writeText(truncToInt((i - 1) * slot), ty, fromGbk(character));
        i += length;
    }
}

QImage drawPhotoArea(const PictureHandle& photo, QSize cell)
{
    const int cw = cell.width();
    const int ch = cell.height();
    if (photo.isNull())
        return {};
    const double pw = photo.width();
    const double ph = photo.height();
    int dh = truncToInt(cw / pw * ph);
    int dw = cw;
    int dx = 0;
    if (dh < ch) {
        dw = truncToInt(ch / ph * pw);
        dh = ch;
        dx = truncToInt((cw - double(dw)) / 2.0);
    }
    DrawingSurface area;
    area.resize(cw, ch);
    drawPicture(area, photo, dx, 0, dw, dh);
    return area.snapshotImage();
}

} // namespace

QImage renderPhotoArea(const QString& path, QSize cell)
{
    if (cell.width() <= 0 || cell.height() <= 0)
        return {};
    return drawPhotoArea(PictureHandle::fromFile(path, cell), cell);
}

QImage renderPhotoAreaFromBytes(const QByteArray& bytes, QSize cell)
{
    if (cell.width() <= 0 || cell.height() <= 0)
        return {};
    return drawPhotoArea(PictureHandle::fromBytes(bytes, cell), cell);
}

void renderCell(AppState& state, const PhotoSizeSpec& size, const PreparedPhoto* prepared)
{
    DrawingSurface& cell = state.cellSurface;
    const LayoutTemplate& t = state.currentTemplate;
    const int h = size.height;
    const int w = size.width;
    cell.clear();
    cell.resize(cell.width(), h);
    cell.resize(w, h);
    cell.clear();

    const int cw = cell.width();
    const int ch = cell.height();
    if (cw > 0 && ch > 0) {
        const QSize area(cw, ch);
        const bool samePhoto = prepared != nullptr && prepared->path == state.currentPhotoPath;
        QImage photo;
        if (samePhoto && prepared->cell == area)
            photo = prepared->area;
        else if (samePhoto && !prepared->bytes.isEmpty())
            photo = renderPhotoAreaFromBytes(prepared->bytes, area);
        else
            photo = renderPhotoArea(state.currentPhotoPath, area);
        cell.drawImage(photo, 0, 0);
        if (t.logo != 0) {
            const PictureHandle logo = PictureHandle::fromBytes(t.logoPicture);
            drawPictureKeyed(cell, logo, 0, 0, w, h, qRgb(255, 255, 255));
        }
    }

    const bool outside = state.windows.numberOutsideChecked.load();
    if (t.noNumber == 0) {
        const QByteArray number = derivePhotoNumber(state.currentPhotoPath);
        cell.setTextColour(colourFromValue(t.numberColour));
        // Lengths are whole 32-bit template values; the strip arithmetic
        // saturates instead of wrapping.
        int ty = truncToInt(double(h) - kNumberStripHeight);
        if (outside) {
            ty = h;
            cell.resize(cell.width(), cellHeight(size, true));
        }
        writeNumber(cell, number, w, ty);
    }
    if (t.frameLines != 0) {
        cell.setPenColour(colourFromValue(t.frameColour));
        cell.rectangle(0, 0, w, cellHeight(size, outside));
    }
}

void layOutCurrentPhoto(AppState& state, const PreparedPhoto* prepared)
{
    std::lock_guard<std::recursive_mutex> passLock(state.layoutLock);
    const bool settingsShown = state.windows.settingsShown.load();
    const bool batchOpen = state.windows.batchOpen.load();
    const bool previewOpen = state.windows.previewOpen.load();
    const bool monitoring = state.windows.monitoring.load();
    const bool outside = state.windows.numberOutsideChecked.load();
    LayoutTemplate& t = state.currentTemplate;
    PendingSheet& pending = state.pendingSheet;

    if (previewOpen && state.views.setPrintedLabelVisible)
        state.views.setPrintedLabelVisible(false);

    renderCell(state, t.size1, prepared);
    const QImage cell1 = state.cellSurface.snapshotImage();

    if (settingsShown)
        computeCentredMargins(t, state.windows.centredChecked.load(), outside);

    const SheetLayout layout = computeSheetLayout(t, outside);
    const bool wholeSheet = settingsShown || t.twoSize != 0;
    const QList<int> cells =
        wholeSheet ? planWholeSheet(layout, pending) : planNextFreeCells(layout, t, pending);
    QList<QPoint> positions;
    positions.reserve(cells.size());
    for (int index : cells)
        positions.append(QPoint(layout.size1[index].x, layout.size1[index].y));
    state.sheetSurface.stampImage(cell1, positions);

    if (t.twoSize != 0) {
        renderCell(state, t.size2, prepared);
        const QImage cell2 = state.cellSurface.snapshotImage();
        QList<QPoint> positions2;
        positions2.reserve(layout.size2.size());
        for (const CellPlacement& c : layout.size2)
            positions2.append(QPoint(c.x, c.y));
        state.sheetSurface.stampImage(cell2, positions2);
        pending.filledCells = layout.capacity;
    }

    // A sheet with no cells is never full: printing it would waste a blank page.
    const bool hasCells = layout.capacity > 0 || (t.twoSize != 0 && !layout.size2.isEmpty());
    const bool printing =
        monitoring && !settingsShown && hasCells && pending.filledCells == layout.capacity;
    // The sheet picture is only taken when something shows or prints it.
    const bool wanted = (settingsShown && !batchOpen) || previewOpen || printing;
    const QImage sheet = wanted ? state.sheetSurface.snapshotImage() : QImage();
    if (settingsShown && !batchOpen) {
        if (state.views.showOnSettingsBoard)
            state.views.showOnSettingsBoard(sheet);
        state.sheetSurface.clear();
        state.templateModified = true;
    }
    if (previewOpen && state.views.showOnPreviewBoard)
        state.views.showOnPreviewBoard(sheet);
    if (printing) {
        if (state.printSheet)
            state.printSheet(sheet);
        state.sheetSurface.clear();
        pending.filledCells = 0;
        if (previewOpen && state.views.setPrintedLabelVisible)
            state.views.setPrintedLabelVisible(true);
    }
}

} // namespace vellora
