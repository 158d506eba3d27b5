#pragma once

#include "core/MonitorEntry.h"

#include <QByteArray>
#include <QSize>
#include <QString>

struct stat;

namespace vellora {

// Whether the bytes of a photo file hold the whole picture as far as its
// structure tells: a JPEG reaches its end-of-image marker (past its embedded
// thumbnails), a BMP is as long as its header says. Content of any other kind
// counts as whole: decoding decides about it. Empty is never whole.
bool looksWhole(const QByteArray& bytes);

// What a look at a queued photo found.
enum class PhotoLook {
    Ready,      // bytes hold a whole photo
    Gone,       // no such file any more
    Busy,       // another program holds a lease or oplock on it: look again later
    Unreadable, // cannot be opened or read, or not a regular file (reason says why)
    Empty,
    NotWhole,   // cut short: its structure ends early
    Link,       // a link, or below a folder that is one: never followed
    Changed,    // not the file the watcher saw: replaced, or another size (reason says)
    NotPicture, // its headers say it cannot be drawn (reason says); not read
};

// The stamp of a file as fstat or lstat saw it.
PhotoStamp photoStampOf(const struct stat& st);

// Reads a photo at relative (components separated by "/") beneath the folder
// folderFd, opening every component without following a link and never
// waiting on a lease or a FIFO. With expected, only the file it describes is
// read (same device, inode and size); seen, when given, receives the stamp of
// the file that was opened. A JPEG, BMP or PNG whose headers the decoder
// would refuse at every scale down to coverSize is not read (NotPicture).
PhotoLook readPhotoBeneath(int folderFd, const QByteArray& relative, const PhotoStamp* expected,
                           QSize coverSize, QByteArray& bytes, QString* reason = nullptr,
                           PhotoStamp* seen = nullptr);

} // namespace vellora
