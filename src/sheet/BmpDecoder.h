#pragma once

#include <QByteArray>
#include <QImage>

namespace vellora {

// Decodes a BMP file held in memory: core (OS/2 1.x and 2.x) and information
// headers of every version; 1, 2, 4 and 8 bits through a palette (3- or
// 4-byte entries, palettes shorter than the depth allows); RLE8 and RLE4;
// 16, 24 and 32 bits with any contiguous bit-field masks, each channel scaled
// to 8 bits; rows stored bottom-up or top-down. Pixels with an alpha channel
// are laid over white, the colour of the paper.
//
// Refused (null image), never guessed at: a file cut short or inconsistent
// with itself (a count, offset or palette index pointing outside the file or
// the picture), a picture larger than maxDecodedPixels, and what this reader
// does not draw right: colour profiles other than sRGB (embedded, linked or
// calibrated), JPEG or PNG inside the file, top-down RLE, OS/2 Huffman and
// RLE24 compression. Format_RGB32. Safe to call from any thread.
QImage decodeBmp(const QByteArray& bytes, qint64 maxDecodedPixels);

} // namespace vellora
