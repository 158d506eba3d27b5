#include "sheet/BmpDecoder.h"

#include <QtEndian>

#include <algorithm>
#include <array>
#include <bit>
#include <limits>

namespace vellora {

namespace {

constexpr qint64 kFileHeaderSize = 14;

// Compression codes of the information headers.
constexpr quint32 kRgb = 0;
constexpr quint32 kRle8 = 1;
constexpr quint32 kRle4 = 2;
constexpr quint32 kBitFields = 3;
constexpr quint32 kAlphaBitFields = 6;

// Colour space types of the version 4 and 5 headers.
constexpr quint32 kCalibratedRgb = 0;
constexpr quint32 kSrgb = 0x73524742;               // 'sRGB'
constexpr quint32 kWindowsColourSpace = 0x57696E20; // 'Win '

// Skipped RLE pixels show the paper, whatever the palette holds.
constexpr QRgb kSkippedPixel = 0xFFFFFFFFu;

class Bytes
{
public:
    Bytes(const QByteArray& bytes)
        : m_data(reinterpret_cast<const uchar*>(bytes.constData())), m_size(bytes.size())
    {
    }

    qint64 size() const { return m_size; }
    // Whether [at, at + count) lies inside the file.
    bool holds(qint64 at, qint64 count) const
    {
        return at >= 0 && count >= 0 && at <= m_size && count <= m_size - at;
    }
    const uchar* at(qint64 offset) const { return m_data + offset; }
    quint32 u8(qint64 offset) const { return m_data[offset]; }
    quint32 u16(qint64 offset) const { return qFromLittleEndian<quint16>(m_data + offset); }
    quint32 u32(qint64 offset) const { return qFromLittleEndian<quint32>(m_data + offset); }
    qint32 i32(qint64 offset) const { return qFromLittleEndian<qint32>(m_data + offset); }

private:
    const uchar* m_data;
    qint64 m_size;
};

// One colour or alpha field of a 16- or 32-bit pixel.
struct Channel
{
    quint32 mask = 0;
    int shift = 0;
    int bits = 0; // 0: the field is absent

    // A mask must be one run of bits inside the pixel.
    bool set(quint32 m, int bitsPerPixel)
    {
        mask = m;
        if (m == 0)
            return true;
        if (bitsPerPixel < 32 && (m >> bitsPerPixel) != 0)
            return false;
        shift = std::countr_zero(m);
        const quint32 run = m >> shift;
        if ((run & (run + 1)) != 0)
            return false;
        bits = std::popcount(run);
        return true;
    }

    // The field scaled to 0 … 255, rounded to nearest; an absent field reads 0.
    quint32 value(quint32 pixel) const
    {
        if (bits == 0)
            return 0;
        const quint64 v = (pixel & mask) >> shift;
        if (bits == 8)
            return quint32(v);
        const quint64 top = (quint64(1) << bits) - 1;
        return quint32((v * 255 + top / 2) / top);
    }
};

struct Layout
{
    bool core = false; // OS/2 1.x: 3-byte palette entries
    bool os2v2 = false;
    qint64 width = 0;
    qint64 height = 0; // always positive
    bool topDown = false;
    int bitsPerPixel = 0;
    quint32 compression = kRgb;
    qint64 dataOffset = 0;
    Channel red, green, blue, alpha;
    std::array<QRgb, 256> palette{};
    int paletteSize = 0;
};

// Lays a colour with alpha over white.
inline QRgb overWhite(quint32 r, quint32 g, quint32 b, quint32 a)
{
    const quint32 paper = 255 * (255 - a);
    return qRgb(int((r * a + paper + 127) / 255), int((g * a + paper + 127) / 255),
                int((b * a + paper + 127) / 255));
}

// Only colours meant as sRGB are drawn: a calibrated space counts as sRGB
// when it gives no endpoints and no gamma, as most writers leave it.
bool colourSpaceIsSrgb(const Bytes& file, qint64 headerSize)
{
    if (headerSize < 108)
        return true;
    const qint64 header = kFileHeaderSize;
    const quint32 type = file.u32(header + 56);
    if (type == kSrgb || type == kWindowsColourSpace)
        return true;
    if (type != kCalibratedRgb)
        return false; // a linked or embedded profile
    for (qint64 at = header + 60; at < header + 108; at += 4) {
        if (file.u32(at) != 0)
            return false;
    }
    return true;
}

bool readHeaders(const Bytes& file, Layout& out)
{
    if (!file.holds(0, kFileHeaderSize + 4) || file.u8(0) != 'B' || file.u8(1) != 'M')
        return false;
    out.dataOffset = file.u32(10);
    const qint64 headerSize = file.u32(kFileHeaderSize);
    if (!file.holds(kFileHeaderSize, headerSize))
        return false;
    const qint64 h = kFileHeaderSize;
    int masksAfterHeader = 0;
    quint32 colourCount = 0;
    if (headerSize == 12) {
        out.core = true;
        out.width = file.u16(h + 4);
        out.height = file.u16(h + 6);
        out.bitsPerPixel = int(file.u16(h + 10));
        if (out.bitsPerPixel != 1 && out.bitsPerPixel != 4 && out.bitsPerPixel != 8 &&
            out.bitsPerPixel != 24)
            return false;
    } else if (headerSize == 16 || headerSize == 40 || headerSize == 52 || headerSize == 56 ||
               headerSize == 64 || headerSize == 108 || headerSize == 124) {
        out.os2v2 = headerSize == 16 || headerSize == 64;
        const qint32 height = file.i32(h + 8);
        if (height == std::numeric_limits<qint32>::min())
            return false;
        out.width = file.i32(h + 4);
        out.height = height < 0 ? -qint64(height) : qint64(height);
        out.topDown = height < 0;
        out.bitsPerPixel = int(file.u16(h + 14));
        if (headerSize >= 20)
            out.compression = file.u32(h + 16);
        if (headerSize >= 36)
            colourCount = file.u32(h + 32);
        if (!colourSpaceIsSrgb(file, headerSize))
            return false;
    } else {
        return false;
    }
    if (out.width <= 0 || out.height <= 0)
        return false;

    const int bpp = out.bitsPerPixel;
    switch (out.compression) {
    case kRgb:
        if (bpp != 1 && bpp != 2 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
            return false;
        break;
    case kRle8:
    case kRle4:
        // Top-down RLE is not defined.
        if (out.topDown || bpp != (out.compression == kRle8 ? 8 : 4))
            return false;
        break;
    case kBitFields:
    case kAlphaBitFields:
        // For OS/2 2.x code 3 is Huffman coding, not bit fields.
        if (out.os2v2 || (bpp != 16 && bpp != 32))
            return false;
        if (headerSize == 40)
            masksAfterHeader = out.compression == kBitFields ? 3 : 4;
        else if (headerSize == 52 && out.compression == kAlphaBitFields)
            return false;
        break;
    default:
        return false; // JPEG, PNG, OS/2 RLE24, CMYK
    }

    const qint64 paletteStart = h + headerSize + 4 * masksAfterHeader;
    if (out.dataOffset < paletteStart || out.dataOffset > file.size())
        return false;

    quint32 masks[4] = {0, 0, 0, 0};
    if (bpp == 16 || bpp == 32) {
        if (out.compression == kRgb) {
            if (bpp == 16) {
                masks[0] = 0x7C00;
                masks[1] = 0x03E0;
                masks[2] = 0x001F;
            } else {
                masks[0] = 0x00FF0000;
                masks[1] = 0x0000FF00;
                masks[2] = 0x000000FF;
            }
        } else {
            const qint64 at = masksAfterHeader > 0 ? h + headerSize : h + 40;
            const int count = masksAfterHeader > 0 ? masksAfterHeader : headerSize >= 56 ? 4 : 3;
            for (int i = 0; i < count; ++i)
                masks[i] = file.u32(at + 4 * i);
        }
        if (!out.red.set(masks[0], bpp) || !out.green.set(masks[1], bpp) ||
            !out.blue.set(masks[2], bpp) || !out.alpha.set(masks[3], bpp))
            return false;
    }

    if (bpp <= 8) {
        const qint64 entrySize = out.core ? 3 : 4;
        const qint64 most = qint64(1) << bpp;
        const qint64 declared = colourCount == 0 ? most : std::min<qint64>(colourCount, most);
        // A palette may end early where the pixels begin.
        const qint64 fits = (out.dataOffset - paletteStart) / entrySize;
        out.paletteSize = int(std::min(declared, fits));
        if (out.paletteSize <= 0)
            return false;
        for (int i = 0; i < out.paletteSize; ++i) {
            const uchar* e = file.at(paletteStart + i * entrySize);
            out.palette[size_t(i)] = qRgb(e[2], e[1], e[0]);
        }
    }
    return true;
}

bool decodeRows(const Bytes& file, const Layout& l, QImage& image)
{
    const qint64 w = l.width;
    const qint64 h = l.height;
    const int bpp = l.bitsPerPixel;
    const qint64 stride = (w * bpp + 31) / 32 * 4;
    const qint64 rowBytes = (w * bpp + 7) / 8;
    // The padding after the last row may be missing; its pixels may not.
    if (!file.holds(l.dataOffset, stride * (h - 1) + rowBytes))
        return false;
    const bool hasAlpha = l.alpha.bits > 0;
    for (qint64 r = 0; r < h; ++r) {
        const uchar* in = file.at(l.dataOffset + r * stride);
        auto* out = reinterpret_cast<QRgb*>(image.scanLine(int(l.topDown ? r : h - 1 - r)));
        if (bpp <= 8) {
            const int perByte = 8 / bpp;
            const quint32 mask = (1u << bpp) - 1;
            for (qint64 x = 0; x < w; ++x) {
                const int shift = 8 - bpp * (1 + int(x % perByte));
                const quint32 index = (quint32(in[x / perByte]) >> shift) & mask;
                if (index >= quint32(l.paletteSize))
                    return false;
                out[x] = l.palette[index];
            }
        } else if (bpp == 24) {
            for (qint64 x = 0; x < w; ++x, in += 3)
                out[x] = qRgb(in[2], in[1], in[0]);
        } else {
            for (qint64 x = 0; x < w; ++x) {
                const quint32 pixel = bpp == 16 ? qFromLittleEndian<quint16>(in + 2 * x)
                                                : qFromLittleEndian<quint32>(in + 4 * x);
                const quint32 red = l.red.value(pixel);
                const quint32 green = l.green.value(pixel);
                const quint32 blue = l.blue.value(pixel);
                out[x] = hasAlpha ? overWhite(red, green, blue, l.alpha.value(pixel))
                                  : qRgb(int(red), int(green), int(blue));
            }
        }
    }
    return true;
}

// RLE8 and RLE4, bottom-up. The stream must end with its end-of-picture code:
// one that runs out first is a file cut short.
bool decodeRle(const Bytes& file, const Layout& l, QImage& image)
{
    image.fill(kSkippedPixel);
    const bool four = l.compression == kRle4;
    const qint64 w = l.width;
    const qint64 h = l.height;
    qint64 at = l.dataOffset;
    qint64 x = 0;
    qint64 y = 0; // stored row, from the bottom
    // Whether count pixels can be placed at (x, y).
    const auto room = [&](qint64 count) { return y < h && count <= w - x; };
    const auto put = [&](quint32 index) {
        if (index >= quint32(l.paletteSize))
            return false;
        reinterpret_cast<QRgb*>(image.scanLine(int(h - 1 - y)))[x++] = l.palette[index];
        return true;
    };
    for (;;) {
        if (!file.holds(at, 2))
            return false;
        const quint32 count = file.u8(at);
        const quint32 value = file.u8(at + 1);
        at += 2;
        if (count > 0) { // a run of one index, or of two alternating ones
            if (!room(count))
                return false;
            for (quint32 i = 0; i < count; ++i) {
                const quint32 index = !four ? value : (i % 2 == 0 ? value >> 4 : value & 0x0F);
                if (!put(index))
                    return false;
            }
            continue;
        }
        switch (value) {
        case 0: // end of line
            x = 0;
            ++y;
            break;
        case 1: // end of picture
            return true;
        case 2: // move right and up
            if (!file.holds(at, 2))
                return false;
            x += file.u8(at);
            y += file.u8(at + 1);
            at += 2;
            if (x > w)
                return false;
            break;
        default: { // literal indices, padded to a 16-bit boundary
            const qint64 bytes = four ? (value + 1) / 2 : value;
            if (!file.holds(at, (bytes + 1) / 2 * 2) || !room(value))
                return false;
            const uchar* in = file.at(at);
            for (quint32 i = 0; i < value; ++i) {
                const quint32 index =
                    !four ? in[i] : (i % 2 == 0 ? in[i / 2] >> 4 : in[i / 2] & 0x0F);
                if (!put(index))
                    return false;
            }
            at += (bytes + 1) / 2 * 2;
            break;
        }
        }
    }
}

} // namespace

QImage decodeBmp(const QByteArray& bytes, qint64 maxDecodedPixels)
{
    const Bytes file(bytes);
    Layout layout;
    if (!readHeaders(file, layout))
        return {};
    if (layout.width > std::numeric_limits<int>::max() ||
        layout.height > std::numeric_limits<int>::max() ||
        layout.width * layout.height > maxDecodedPixels)
        return {};
    QImage image(int(layout.width), int(layout.height), QImage::Format_RGB32);
    if (image.isNull())
        return {};
    const bool rle = layout.compression == kRle8 || layout.compression == kRle4;
    const bool ok = rle ? decodeRle(file, layout, image) : decodeRows(file, layout, image);
    return ok ? image : QImage();
}

} // namespace vellora
