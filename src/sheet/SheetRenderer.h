#pragma once

#include <QByteArray>
#include <QString>

namespace vellora {

struct AppState;
struct PhotoSizeSpec;

// The printed number of a photo: its file name up to the first dot, found on
// the GBK bytes of the path with double-byte characters stepped over.
QByteArray derivePhotoNumber(const QString& path);

// Renders the photo at currentPhotoPath as one cell of the given size on the
// cell surface.
void renderCell(AppState& state, const PhotoSizeSpec& size);

// The layout pass: one cell rendered from currentPhotoPath and stamped onto
// the pending sheet by the current template, previews refreshed, and a full
// monitored sheet printed. Passes run one at a time (state.layoutLock).
void layOutCurrentPhoto(AppState& state);

} // namespace vellora
