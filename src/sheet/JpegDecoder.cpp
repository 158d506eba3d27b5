#include "sheet/JpegDecoder.h"

#include <QtEndian>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jerror.h>
#include <jpeglib.h>

namespace vellora {

namespace {

// A progressive file may hold any number of scans, each a full pass over the
// coefficients; real encoders write about ten.
constexpr int kMaxScans = 500;

struct ErrorManager
{
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

// Everything the libjpeg calls touch lives here, in plain C types: the
// frame that calls setjmp and the libjpeg frames a longjmp skips hold no
// object with a destructor, and the caller frees the buffers afterwards.
struct DecodeJob
{
    // In.
    const unsigned char* data = nullptr;
    unsigned long size = 0;
    int coverWidth = 0; // oriented; 0 = decode at full size
    int coverHeight = 0;
    qint64 maxPixels = 0;
    qint64 maxWorkBytes = 0;
    bool headerOnly = false; // stop once the limits are checked

    // Out.
    int orientation = 1;
    int scaleEighths = 8;
    int fullWidth = 0; // as stored, before orientation
    int fullHeight = 0;
    int outWidth = 0;
    int outHeight = 0;
    unsigned char* pixels = nullptr;    // malloc: outHeight rows of outWidth RGB32 pixels
    unsigned char* rowBuffer = nullptr; // malloc: one CMYK or RGB row

    // libjpeg state.
    jpeg_decompress_struct cinfo;
    ErrorManager error;
    jpeg_progress_mgr progress;
};

[[noreturn]] void onError(j_common_ptr cinfo)
{
    auto* error = reinterpret_cast<ErrorManager*>(cinfo->err);
    std::longjmp(error->jump, 1);
}

// Warnings are corrupt or missing data ("Premature end of JPEG file" is a
// file still being written): the picture would be partly grey, so the decode
// fails instead. Only notes about metadata, and stray bytes between segments
// that leave every pixel intact, are let through.
void onMessage(j_common_ptr cinfo, int level)
{
    if (level >= 0)
        return; // trace output
    switch (cinfo->err->msg_code) {
    case JWRN_JFIF_MAJOR:
    case JWRN_ADOBE_XFORM:
    case JWRN_EXTRANEOUS_DATA:
        cinfo->err->num_warnings++;
        return;
    default:
        onError(cinfo);
    }
}

void onProgress(j_common_ptr cinfo)
{
    if (!cinfo->is_decompressor)
        return;
    auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->input_scan_number > kMaxScans)
        onError(cinfo);
}

// Oriented size of a stored size.
bool swapsAxes(int orientation)
{
    return orientation >= 5 && orientation <= 8;
}

// Whether an oriented decode of ow × oh still covers what the full picture
// pw × ph scaled to cover tw × th needs: at least pw·s × ph·s with
// s = max(tw / pw, th / ph). Exact in integers.
bool coversTarget(qint64 ow, qint64 oh, qint64 pw, qint64 ph, qint64 tw, qint64 th)
{
    return ow >= tw && oh >= th && ow * ph >= th * pw && oh * pw >= tw * ph;
}

// Coefficient memory libjpeg needs for a file it must buffer whole
// (progressive or non-interleaved): two bytes per coefficient of every
// component, at full size whatever the output scale.
qint64 wholeImageBytes(const jpeg_decompress_struct& cinfo)
{
    qint64 total = 0;
    for (int c = 0; c < cinfo.num_components; ++c) {
        const jpeg_component_info& comp = cinfo.comp_info[c];
        const qint64 w = (qint64(cinfo.image_width) * comp.h_samp_factor +
                          qint64(cinfo.max_h_samp_factor) * 8 - 1) /
                         (qint64(cinfo.max_h_samp_factor) * 8);
        const qint64 h = (qint64(cinfo.image_height) * comp.v_samp_factor +
                          qint64(cinfo.max_v_samp_factor) * 8 - 1) /
                         (qint64(cinfo.max_v_samp_factor) * 8);
        total += (w + comp.h_samp_factor) * (h + comp.v_samp_factor) * DCTSIZE2 * 2;
    }
    return total;
}

// CMYK as libjpeg hands it back (YCCK already turned into CMYK). Files with an
// Adobe marker store the inks inverted, as the writers of such files do.
void cmykRowToRgb32(const unsigned char* in, quint32* out, int width, bool inverted)
{
    for (int x = 0; x < width; ++x, in += 4) {
        int c = in[0], m = in[1], y = in[2], k = in[3];
        if (!inverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        out[x] = qRgb(c * k / 255, m * k / 255, y * k / 255);
    }
}

#if defined(JCS_ALPHA_EXTENSIONS)
constexpr bool kDirectRgb32 = true;
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
constexpr J_COLOR_SPACE kRgb32Space = JCS_EXT_BGRA; // alpha written as 0xFF
#else
constexpr J_COLOR_SPACE kRgb32Space = JCS_EXT_ARGB;
#endif
#else
constexpr bool kDirectRgb32 = false;
constexpr J_COLOR_SPACE kRgb32Space = JCS_RGB;
#endif

// The one frame with setjmp. On failure every libjpeg allocation is released
// here; job->pixels and job->rowBuffer are the caller's to free either way.
bool runDecode(DecodeJob* job)
{
    jpeg_decompress_struct* cinfo = &job->cinfo;
    std::memset(cinfo, 0, sizeof *cinfo);
    cinfo->err = jpeg_std_error(&job->error.pub);
    job->error.pub.error_exit = onError;
    job->error.pub.emit_message = onMessage;
    job->progress.progress_monitor = onProgress;
    if (setjmp(job->error.jump)) {
        jpeg_destroy_decompress(cinfo);
        return false;
    }
    jpeg_create_decompress(cinfo);
    cinfo->progress = &job->progress;
    cinfo->mem->max_memory_to_use = long(job->maxWorkBytes);
    jpeg_mem_src(cinfo, job->data, job->size);
    jpeg_save_markers(cinfo, JPEG_APP0 + 1, 0xFFFF);
    if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK)
        onError(reinterpret_cast<j_common_ptr>(cinfo));

    for (jpeg_saved_marker_ptr marker = cinfo->marker_list; marker; marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 1 && marker->data_length >= 6 &&
            std::memcmp(marker->data, "Exif\0\0", 6) == 0) {
            job->orientation = exifOrientation(marker->data, qsizetype(marker->data_length));
            break;
        }
    }
    job->fullWidth = int(cinfo->image_width);
    job->fullHeight = int(cinfo->image_height);

    const bool cmyk = cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK;
    cinfo->out_color_space = cmyk ? JCS_CMYK : kRgb32Space;

    const bool multiScan = cinfo->progressive_mode || cinfo->comps_in_scan < cinfo->num_components;
    if (multiScan && wholeImageBytes(*cinfo) > job->maxWorkBytes)
        onError(reinterpret_cast<j_common_ptr>(cinfo));

    const bool swap = swapsAxes(job->orientation);
    const qint64 pw = swap ? job->fullHeight : job->fullWidth;
    const qint64 ph = swap ? job->fullWidth : job->fullHeight;
    int eighths = 8;
    if (job->coverWidth > 0 && job->coverHeight > 0) {
        for (int n = 1; n < 8; ++n) {
            cinfo->scale_num = unsigned(n);
            cinfo->scale_denom = 8;
            jpeg_calc_output_dimensions(cinfo);
            const qint64 ow = swap ? cinfo->output_height : cinfo->output_width;
            const qint64 oh = swap ? cinfo->output_width : cinfo->output_height;
            if (coversTarget(ow, oh, pw, ph, job->coverWidth, job->coverHeight)) {
                eighths = n;
                break;
            }
        }
    }
    cinfo->scale_num = unsigned(eighths);
    cinfo->scale_denom = 8;
    jpeg_calc_output_dimensions(cinfo);
    job->scaleEighths = eighths;

    const qint64 outWidth = cinfo->output_width;
    const qint64 outHeight = cinfo->output_height;
    if (outWidth <= 0 || outHeight <= 0 || outWidth * outHeight > job->maxPixels)
        onError(reinterpret_cast<j_common_ptr>(cinfo));
    if (job->headerOnly) {
        jpeg_destroy_decompress(cinfo);
        return true;
    }
    job->pixels = static_cast<unsigned char*>(std::malloc(size_t(outWidth * outHeight * 4)));
    if (!job->pixels)
        onError(reinterpret_cast<j_common_ptr>(cinfo));

    jpeg_start_decompress(cinfo);
    if (qint64(cinfo->output_width) != outWidth || qint64(cinfo->output_height) != outHeight)
        onError(reinterpret_cast<j_common_ptr>(cinfo));
    job->outWidth = int(outWidth);
    job->outHeight = int(outHeight);
    const bool direct = !cmyk && kDirectRgb32;
    if (!direct) {
        job->rowBuffer = static_cast<unsigned char*>(
            std::malloc(size_t(outWidth) * size_t(cinfo->output_components)));
        if (!job->rowBuffer)
            onError(reinterpret_cast<j_common_ptr>(cinfo));
    }
    const size_t stride = size_t(outWidth) * 4;
    while (cinfo->output_scanline < cinfo->output_height) {
        unsigned char* out = job->pixels + size_t(cinfo->output_scanline) * stride;
        if (direct) {
            JSAMPROW rows[16];
            const int count =
                int(std::min<JDIMENSION>(cinfo->output_height - cinfo->output_scanline,
                                         JDIMENSION(std::min(cinfo->rec_outbuf_height, 16))));
            for (int i = 0; i < count; ++i)
                rows[i] = out + size_t(i) * stride;
            if (jpeg_read_scanlines(cinfo, rows, JDIMENSION(count)) == 0)
                onError(reinterpret_cast<j_common_ptr>(cinfo));
            continue;
        }
        JSAMPROW row = job->rowBuffer;
        if (jpeg_read_scanlines(cinfo, &row, 1) != 1)
            onError(reinterpret_cast<j_common_ptr>(cinfo));
        auto* line = reinterpret_cast<quint32*>(out);
        if (cmyk) {
            cmykRowToRgb32(job->rowBuffer, line, int(outWidth), cinfo->saw_Adobe_marker);
        } else {
            const unsigned char* in = job->rowBuffer;
            for (int x = 0; x < int(outWidth); ++x, in += 3)
                line[x] = qRgb(in[0], in[1], in[2]);
        }
    }
    // Reads on to the end marker: a file cut short after its last pixel row
    // is still a file whose writer had not finished.
    jpeg_finish_decompress(cinfo);
    jpeg_destroy_decompress(cinfo);
    return true;
}

void freePixels(void* pixels)
{
    std::free(pixels);
}

} // namespace

int exifOrientation(const uchar* payload, qsizetype size)
{
    if (!payload || size < 6 + 8 || std::memcmp(payload, "Exif\0\0", 6) != 0)
        return 1;
    const uchar* tiff = payload + 6;
    const quint64 length = quint64(size - 6);
    bool little;
    if (tiff[0] == 'I' && tiff[1] == 'I')
        little = true;
    else if (tiff[0] == 'M' && tiff[1] == 'M')
        little = false;
    else
        return 1;
    const auto u16 = [&](quint64 at) -> quint32 {
        return little ? qFromLittleEndian<quint16>(tiff + at) : qFromBigEndian<quint16>(tiff + at);
    };
    const auto u32 = [&](quint64 at) -> quint32 {
        return little ? qFromLittleEndian<quint32>(tiff + at) : qFromBigEndian<quint32>(tiff + at);
    };
    if (u16(2) != 42)
        return 1;
    const quint64 ifd = u32(4);
    if (ifd + 2 > length)
        return 1;
    const quint32 count = u16(ifd);
    for (quint32 i = 0; i < count; ++i) {
        const quint64 entry = ifd + 2 + quint64(i) * 12;
        if (entry + 12 > length)
            return 1;
        if (u16(entry) != 0x0112)
            continue;
        const quint32 type = u16(entry + 2);
        const quint32 components = u32(entry + 4);
        quint32 value = 0;
        if (type == 3 && components >= 1) // SHORT, stored left-justified in the value field
            value = u16(entry + 8);
        else if (type == 4 && components >= 1) // LONG, seen from a few writers
            value = u32(entry + 8);
        return value >= 1 && value <= 8 ? int(value) : 1;
    }
    return 1;
}

QImage applyExifOrientation(const QImage& image, int orientation)
{
    switch (orientation) {
    case 2:
        return image.mirrored(true, false);
    case 3:
        return image.mirrored(true, true);
    case 4:
        return image.mirrored(false, true);
    case 5:
    case 6:
    case 7:
    case 8:
        break;
    default:
        return image;
    }
    const QImage source = image.format() == QImage::Format_RGB32
                              ? image
                              : image.convertToFormat(QImage::Format_RGB32);
    const int sw = source.width();
    const int sh = source.height();
    QImage turned(sh, sw, QImage::Format_RGB32);
    if (turned.isNull())
        return {};
    // Walk the source row by row (its memory order) and scatter into columns.
    const qsizetype outStride = turned.bytesPerLine() / 4;
    auto* out = reinterpret_cast<quint32*>(turned.bits());
    for (int sy = 0; sy < sh; ++sy) {
        const auto* in = reinterpret_cast<const quint32*>(source.constScanLine(sy));
        for (int sx = 0; sx < sw; ++sx) {
            int x = 0, y = 0; // where source (sx, sy) lands
            switch (orientation) {
            case 5: // transpose
                x = sy;
                y = sx;
                break;
            case 6: // 90° clockwise
                x = sh - 1 - sy;
                y = sx;
                break;
            case 7: // transverse
                x = sh - 1 - sy;
                y = sw - 1 - sx;
                break;
            default: // 8: 90° counter-clockwise
                x = sy;
                y = sw - 1 - sx;
                break;
            }
            out[qsizetype(y) * outStride + x] = in[sx];
        }
    }
    return turned;
}

namespace {

// The job is large (libjpeg's structs and a jmp_buf); it is kept off the
// caller's stack, which may be a worker thread's.
DecodeJob* newJob(const QByteArray& bytes, QSize coverSize, qint64 maxDecodedPixels)
{
    auto* job = new DecodeJob;
    job->data = reinterpret_cast<const unsigned char*>(bytes.constData());
    job->size = static_cast<unsigned long>(bytes.size());
    if (coverSize.isValid() && !coverSize.isEmpty()) {
        job->coverWidth = coverSize.width();
        job->coverHeight = coverSize.height();
    }
    job->maxPixels = maxDecodedPixels;
    job->maxWorkBytes = maxDecodedPixels * 4;
    return job;
}

} // namespace

bool jpegHeaderFits(const QByteArray& header, QSize coverSize, qint64 maxDecodedPixels)
{
    if (header.size() < 4)
        return false;
    DecodeJob* job = newJob(header, coverSize, maxDecodedPixels);
    job->headerOnly = true;
    const bool ok = runDecode(job);
    delete job;
    return ok;
}

JpegDecodeResult decodeJpeg(const QByteArray& bytes, QSize coverSize, qint64 maxDecodedPixels)
{
    JpegDecodeResult result;
    if (bytes.size() < 4)
        return result;
    DecodeJob* job = newJob(bytes, coverSize, maxDecodedPixels);

    const bool ok = runDecode(job);
    std::free(job->rowBuffer);
    job->rowBuffer = nullptr;
    if (!ok) {
        std::free(job->pixels);
        delete job;
        return result;
    }
    unsigned char* pixels = job->pixels;
    QImage decoded(pixels, job->outWidth, job->outHeight, qsizetype(job->outWidth) * 4,
                   QImage::Format_RGB32, freePixels, pixels);
    if (decoded.isNull()) {
        std::free(pixels);
        delete job;
        return result;
    }
    const int orientation = job->orientation;
    const bool swap = swapsAxes(orientation);
    result.fullSize =
        swap ? QSize(job->fullHeight, job->fullWidth) : QSize(job->fullWidth, job->fullHeight);
    result.scaleEighths = job->scaleEighths;
    result.orientation = orientation;
    delete job;
    result.image = applyExifOrientation(decoded, orientation);
    if (result.image.isNull())
        result.fullSize = QSize();
    return result;
}

} // namespace vellora
