#pragma once

#include <QByteArray>
#include <QSize>
#include <QString>

namespace vellora {

// How reading a picture file went.
enum class PictureRead {
    Read,       // bytes hold the whole file
    Empty,      // a regular file of no bytes
    Short,      // its headers are not all there yet: cut short, or still being written
    NotRegular, // a FIFO, a device, a folder, …: never read (nor waited on)
    Busy,       // another program holds a lease on it: look again later
    Refused,    // its headers say it cannot be drawn, or it is too large (reason says)
    Failed,     // the system refused the read (reason says)
};

// Opens a picture for reading by path: never waits on a FIFO, a device or
// another program's lease (O_NONBLOCK), never becomes a controlling terminal.
// What was opened is for readPictureFile to judge. -1 with errno on failure.
int openPictureFile(const QString& path);

// Reads the picture file behind fd whole, but only a regular file (checked on
// the descriptor itself), no larger than PictureHandle::kMaxFileBytes, and
// only when its headers say the decoder would take it on when drawn to cover
// coverSize (invalid: at full size): a JPEG's frame at the scale the decoder
// would choose, a BMP's or PNG's dimensions. The headers are looked at with
// a few small reads, so a huge file with absurd dimensions is refused without
// reading it, and so is anything that is no JPEG, BMP or PNG.
PictureRead readPictureFile(int fd, QSize coverSize, QByteArray& bytes, QString* reason = nullptr);

} // namespace vellora
