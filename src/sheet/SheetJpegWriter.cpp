#include "sheet/SheetJpegWriter.h"

#include "core/SafeFile.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include <jpeglib.h>
// after jpeglib.h, which it builds on
#include <jerror.h>

namespace vellora {

QString sheetDateTimeText(const QDateTime& when)
{
    const QDate date = when.date();
    const QTime time = when.time();
    QString text =
        QStringLiteral("%1年%2月%3日").arg(date.year()).arg(date.month()).arg(date.day());
    if (time.second() != 0)
        text +=
            QStringLiteral("%1时%2分%3秒").arg(time.hour()).arg(time.minute()).arg(time.second());
    else if (time.minute() != 0)
        text += QStringLiteral("%1时%2分").arg(time.hour()).arg(time.minute());
    else if (time.hour() != 0)
        text += QStringLiteral("%1时").arg(time.hour());
    return text;
}

namespace {

// ---- Encoding: plain C structures only, because libjpeg reports errors by
// longjmp and nothing with a destructor may be skipped over.

struct ErrorTrap
{
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void trapError(j_common_ptr cinfo)
{
    auto* trap = reinterpret_cast<ErrorTrap*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, trap->message);
    std::longjmp(trap->jump, 1);
}

void ignoreMessage(j_common_ptr) {}

// A growing malloc'd buffer that we own, so that an error half-way frees it
// exactly once (the library's own memory destination can leak on error).
struct MemoryDestination
{
    jpeg_destination_mgr pub;
    unsigned char* data;
    size_t capacity;
    size_t size;
};

void initDestination(j_compress_ptr cinfo)
{
    auto* dest = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    dest->pub.next_output_byte = dest->data;
    dest->pub.free_in_buffer = dest->capacity;
}

boolean growDestination(j_compress_ptr cinfo)
{
    auto* dest = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    const size_t used = dest->capacity;
    const size_t grown = dest->capacity * 2;
    auto* data = static_cast<unsigned char*>(std::realloc(dest->data, grown));
    if (data == nullptr)
        ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    dest->data = data;
    dest->capacity = grown;
    dest->pub.next_output_byte = data + used;
    dest->pub.free_in_buffer = grown - used;
    return TRUE;
}

void termDestination(j_compress_ptr cinfo)
{
    auto* dest = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    dest->size = dest->capacity - dest->pub.free_in_buffer;
}

// Rows of 32-bit pixels 0xffRRGGBB (QImage::Format_RGB32) become 8-bit RGB
// one row at a time, so the sheet is never copied whole.
void rgb32RowToRgb(const unsigned char* source, int width, unsigned char* row)
{
    for (int x = 0; x < width; ++x) {
        std::uint32_t pixel;
        std::memcpy(&pixel, source + size_t(x) * 4, 4);
        row[3 * x] = static_cast<unsigned char>(pixel >> 16);
        row[3 * x + 1] = static_cast<unsigned char>(pixel >> 8);
        row[3 * x + 2] = static_cast<unsigned char>(pixel);
    }
}

// Encodes the sheet with its fixed parameters from rows of 32-bit pixels
// (bytesPerPixel 4) or 8-bit RGB (3). On success *out holds a malloc'd block
// the caller frees; on failure message says why.
bool encodeSheet(const unsigned char* pixels, int width, int height, size_t stride,
                 int bytesPerPixel, unsigned char** out, size_t* outSize, char* message,
                 size_t messageSize)
{
    jpeg_compress_struct cinfo;
    ErrorTrap trap;
    MemoryDestination dest;
    std::memset(&cinfo, 0, sizeof cinfo);
    std::memset(&dest, 0, sizeof dest);
    trap.message[0] = '\0';
    *out = nullptr;
    *outSize = 0;

    dest.capacity = size_t(width) * size_t(height) / 2 + 65536;
    dest.data = static_cast<unsigned char*>(std::malloc(dest.capacity));
    unsigned char* row = static_cast<unsigned char*>(std::malloc(size_t(width) * 3));
    if (dest.data == nullptr || row == nullptr) {
        std::free(dest.data);
        std::free(row);
        std::snprintf(message, messageSize, "out of memory");
        return false;
    }

    cinfo.err = jpeg_std_error(&trap.pub);
    trap.pub.error_exit = trapError;
    trap.pub.output_message = ignoreMessage;
    if (setjmp(trap.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(dest.data);
        std::free(row);
        std::snprintf(message, messageSize, "%s", trap.message);
        return false;
    }

    jpeg_create_compress(&cinfo);
    dest.pub.init_destination = initDestination;
    dest.pub.empty_output_buffer = growDestination;
    dest.pub.term_destination = termDestination;
    cinfo.dest = &dest.pub;

    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    cinfo.optimize_coding = TRUE;
    cinfo.smoothing_factor = 0;
    jpeg_set_quality(&cinfo, 100, TRUE);
    // The sheet is one pixel per 0.1 mm: record that true size.
    cinfo.density_unit = 2;
    cinfo.X_density = 100;
    cinfo.Y_density = 100;

    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        const unsigned char* source = pixels + size_t(cinfo.next_scanline) * stride;
        JSAMPROW line = row;
        if (bytesPerPixel == 4)
            rgb32RowToRgb(source, width, row);
        else
            line = const_cast<JSAMPROW>(source);
        jpeg_write_scanlines(&cinfo, &line, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::free(row);

    *out = dest.data;
    *outSize = dest.size;
    return true;
}

// ---- Writing.

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

mode_t fileModeFromUmask()
{
    // umask() cannot be read without changing it (not thread-safe); the
    // kernel reports it here.
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        while (!status.atEnd()) {
            const QByteArray line = status.readLine();
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok)
                    return mode_t(0666 & ~mask);
            }
        }
    }
    return 0644;
}

bool writeAll(int fd, const unsigned char* data, size_t size, int* error)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            *error = errno;
            return false;
        }
        data += written;
        size -= size_t(written);
    }
    return true;
}

enum class Placed { Done, Exists, Failed };

// Moves the finished temporary file to `target` in the folder unless
// something already has that name. Never replaces an existing file, even in a
// race, and never follows a link planted at either name.
Placed placeWithoutReplacing(int folder, const QByteArray& temporary, const QByteArray& target,
                             int* error)
{
    if (::renameat2(folder, temporary.constData(), folder, target.constData(), RENAME_NOREPLACE) ==
        0)
        return Placed::Done;
    if (errno == EEXIST)
        return Placed::Exists;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        *error = errno;
        return Placed::Failed;
    }
    // File systems without RENAME_NOREPLACE: a hard link cannot replace either.
    if (::linkat(folder, temporary.constData(), folder, target.constData(), 0) == 0) {
        ::unlinkat(folder, temporary.constData(), 0);
        return Placed::Done;
    }
    if (errno == EEXIST)
        return Placed::Exists;
    if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP && errno != ENOSYS) {
        *error = errno;
        return Placed::Failed;
    }
    // Neither (FAT and the like): test and rename, the best these allow.
    struct stat info;
    if (::fstatat(folder, target.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        return Placed::Exists;
    if (::renameat(folder, temporary.constData(), folder, target.constData()) == 0)
        return Placed::Done;
    *error = errno;
    return Placed::Failed;
}

QString folderPrefix(const QString& saveFolder)
{
    // A folder text ends with its separator; a trailing "\" means the same
    // folder here, not a file name ending in a backslash.
    if (saveFolder.endsWith(u'\\'))
        return saveFolder.chopped(1) + u'/';
    if (saveFolder.endsWith(u'/'))
        return saveFolder;
    return saveFolder + u'/';
}

struct FreeDeleter
{
    void operator()(unsigned char* p) const { std::free(p); }
};

} // namespace

JpegSaveResult saveSheetAsJpeg(const QImage& sheet, const QString& saveFolder, int sheetNumber,
                               const std::function<QDateTime()>& now)
{
    JpegSaveResult result;
    if (saveFolder.isEmpty()) {
        result.error = QStringLiteral("no save folder");
        return result;
    }
    const QString prefix = folderPrefix(saveFolder);
    // The folder the user chose is opened once; every name in it is then
    // made relative to that descriptor.
    const FileDescriptor folder(
        ::open(QFile::encodeName(prefix).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.isValid()) {
        result.error = QStringLiteral("cannot write in %1: %2").arg(prefix, errnoText(errno));
        return result;
    }
    return saveSheetAsJpegInFolder(sheet, folder.get(), prefix, sheetNumber, fileModeFromUmask(),
                                   now);
}

JpegSaveResult saveSheetAsJpegInFolder(const QImage& sheet, int folder, const QString& folderPath,
                                       int sheetNumber, mode_t mode,
                                       const std::function<QDateTime()>& now)
{
    JpegSaveResult result;
    if (sheet.isNull()) {
        result.error = QStringLiteral("the sheet is empty");
        return result;
    }
    const QString prefix = folderPrefix(folderPath);

    // Opaque 32-bit and 24-bit sheets are read as they are; anything else is
    // brought to 32-bit first.
    QImage pixels = sheet;
    if (sheet.format() != QImage::Format_RGB32 && sheet.format() != QImage::Format_RGB888)
        pixels = sheet.convertToFormat(QImage::Format_RGB32);
    if (pixels.isNull()) {
        result.error = QStringLiteral("out of memory converting the sheet");
        return result;
    }
    unsigned char* encoded = nullptr;
    size_t encodedSize = 0;
    char message[JMSG_LENGTH_MAX + 32];
    if (!encodeSheet(pixels.constBits(), pixels.width(), pixels.height(),
                     size_t(pixels.bytesPerLine()), pixels.depth() / 8, &encoded, &encodedSize,
                     message, sizeof message)) {
        result.error = QStringLiteral("JPEG encoder: ") + QString::fromLocal8Bit(message);
        return result;
    }
    const std::unique_ptr<unsigned char, FreeDeleter> encodedOwner(encoded);

    // A name of our own, made exclusively: one planted in advance is skipped.
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 32 && fd < 0; ++attempt) {
        temporary =
            ".vellora-" + QByteArray::number(QRandomGenerator::global()->generate64(), 36) + ".tmp";
        fd = openNoFollow(folder, temporary, O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        result.error = QStringLiteral("cannot write in %1: %2").arg(prefix, errnoText(errno));
        return result;
    }
    int error = 0;
    bool written = writeAll(fd, encoded, encodedSize, &error);
    if (written && ::fchmod(fd, mode) != 0) {
        written = false;
        error = errno;
    }
    if (written && ::fsync(fd) != 0) {
        written = false;
        error = errno;
    }
    if (::close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        ::unlinkat(folder, temporary.constData(), 0);
        result.error = QStringLiteral("cannot write %1: %2")
                           .arg(prefix + QFile::decodeName(temporary), errnoText(error));
        return result;
    }

    // The name is made after encoding, from the time the file appears.
    const QDateTime when = now ? now() : QDateTime::currentDateTime();
    const QString stem = sheetDateTimeText(when) + u'_' + QString::number(sheetNumber);
    for (int attempt = 1; attempt <= 100000; ++attempt) {
        const QString name = attempt == 1 ? stem + QStringLiteral(".jpg")
                                          : stem + QStringLiteral("-%1.jpg").arg(attempt);
        switch (placeWithoutReplacing(folder, temporary, QFile::encodeName(name), &error)) {
        case Placed::Done:
            result.ok = true;
            result.path = prefix + name;
            return result;
        case Placed::Exists:
            continue;
        case Placed::Failed:
            ::unlinkat(folder, temporary.constData(), 0);
            result.error =
                QStringLiteral("cannot create %1: %2").arg(prefix + name, errnoText(error));
            return result;
        }
    }
    ::unlinkat(folder, temporary.constData(), 0);
    result.error = QStringLiteral("no free name for %1.jpg").arg(prefix + stem);
    return result;
}

} // namespace vellora
