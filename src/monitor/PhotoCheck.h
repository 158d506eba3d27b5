#pragma once

#include <QByteArray>
#include <QString>

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
    Unreadable, // cannot be opened or read (reason says why)
    Empty,
    NotWhole, // cut short: its structure ends early
};

// Reads a photo without ever blocking on another program's lease: the open
// does not wait, and a file under a lease is Busy.
PhotoLook readPhotoFile(const QString& path, QByteArray& bytes, QString* reason = nullptr);

} // namespace vellora
