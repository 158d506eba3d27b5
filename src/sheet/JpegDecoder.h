#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>

namespace vellora {

struct JpegDecodeResult
{
    // The decoded pixels as the photo is meant to be seen (EXIF orientation
    // applied), Format_RGB32; null when the photo could not be decoded.
    QImage image;
    // The full picture in the same orientation, whatever scale was decoded.
    QSize fullSize;
    // The DCT scale used, in eighths (8 = full size).
    int scaleEighths = 8;
    // EXIF orientation 1 … 8 found in the file (1 when there is none).
    int orientation = 1;
};

// Decodes a JPEG held in memory with libjpeg. coverSize, when valid, is the
// size the picture must still cover when drawn (scaled by the larger of the
// two ratios): the smallest DCT scale whose oriented output is at least the
// full picture times that ratio is decoded. Invalid → full size.
//
// Refused (null image): anything libjpeg reports as an error or a corrupt or
// missing part of the data (a half-written file is not shown half grey),
// and pictures whose decoded size exceeds maxDecodedPixels or whose decoder
// working memory would be absurd. Safe to call from any thread.
JpegDecodeResult decodeJpeg(const QByteArray& bytes, QSize coverSize, qint64 maxDecodedPixels);

// Whether decodeJpeg(…, coverSize, maxDecodedPixels) would take the picture on
// as far as its headers tell: the same scale, the same limits on the decoded
// size and the decoder's working memory. header holds the file from its start
// through the header of its first scan (other segments may be left out).
// Nothing is decoded.
bool jpegHeaderFits(const QByteArray& header, QSize coverSize, qint64 maxDecodedPixels);

// The orientation tag (0x0112) of IFD0 in an APP1 payload that starts with
// "Exif\0\0"; 1 when the payload is not EXIF, malformed or says nothing valid.
int exifOrientation(const uchar* payload, qsizetype size);

// The image turned the way EXIF orientation 1 … 8 says the photo is seen;
// other values leave it unchanged. Null when the copy cannot be allocated.
QImage applyExifOrientation(const QImage& image, int orientation);

} // namespace vellora
