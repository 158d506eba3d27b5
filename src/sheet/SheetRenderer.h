#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

namespace vellora {

struct AppState;
struct PhotoSizeSpec;

// The printed number of a photo: its file name up to the first dot, found on
// the GBK bytes of the path with double-byte characters stepped over.
QByteArray derivePhotoNumber(const QString& path);

// What a photo draws on a blank cell of the given size: the picture fitted
// to cover it (top-aligned, centred across), decoded no larger than needed.
// Null when the photo cannot be read. Needs no AppState: any thread may
// prepare the photos a pass will take.
QImage renderPhotoArea(const QString& path, QSize cell);

// A photo area rendered ahead of its pass. A pass uses it only for the photo
// and the cell size it was made for; otherwise it decodes as usual, from
// `bytes` when they were read ahead for the same photo.
struct PreparedPhoto
{
    QString path;
    QSize cell;
    QImage area;      // null: the photo could not be read
    QByteArray bytes; // the photo's file; empty: open it
};

// renderPhotoArea for a photo already read into memory.
QImage renderPhotoAreaFromBytes(const QByteArray& bytes, QSize cell);

// Renders the photo at currentPhotoPath as one cell of the given size on the
// cell surface.
void renderCell(AppState& state, const PhotoSizeSpec& size,
                const PreparedPhoto* prepared = nullptr);

// The layout pass: one cell rendered from currentPhotoPath and stamped onto
// the pending sheet by the current template, previews refreshed, and a full
// monitored sheet printed. Passes run one at a time (state.layoutLock).
void layOutCurrentPhoto(AppState& state, const PreparedPhoto* prepared = nullptr);

} // namespace vellora
