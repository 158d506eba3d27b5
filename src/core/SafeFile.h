#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

namespace vellora {

// Files in folders that other accounts can write (the program folder's data in
// /var/lib/vellora, the hot folder, a save folder) are opened relative to a
// descriptor of their folder and never through a link: a name that was checked
// cannot be swapped for a link to someone else's file between check and use.

// An open descriptor, closed when it goes.
class FileDescriptor
{
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : m_fd(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

// Where a name given by path really lives: its folder, held open, and the last
// component inside it.
struct TrustedLocation
{
    FileDescriptor folder; // O_DIRECTORY descriptor of the real folder
    QString folderPath;    // that folder's path, for messages and for SQLite
    QByteArray name;       // the last component, as the file system's bytes
    QString error;         // why it could not be resolved: names the link or folder

    bool ok() const { return folder.isValid() && error.isEmpty(); }
    // folderPath + "/" + name: the path to hand to an API that takes paths
    // (SQLite with SQLITE_OPEN_NOFOLLOW), never a link.
    QString path() const;
};

// Resolves path for opening. Only links that the machine's administrator made
// are followed: a link that is root's, in a folder that is root's and that no
// one else may write (the package's own links in /usr/lib/vellora), at most
// eight in a row. Any other link as the last component is refused, with a
// message naming it. The last component need not exist. Links above the last
// component are the administrator's folders and are followed as usual.
TrustedLocation resolveTrusted(const QString& path);

// The same rule applied to the links themselves, for tests and for resolveTrusted:
// a link is trusted when it and its folder are owned by uid 0 and the folder
// is writable by neither its group nor others (a root-owned sticky folder such
// as /tmp is not enough).
bool isTrustedLink(int folderFd, const QByteArray& name);

// openat(folderFd, name, flags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode). A
// name holding "/" is refused (EINVAL): it would leave the folder.
int openNoFollow(int folderFd, const QByteArray& name, int flags, mode_t mode = 0);

// How reading a whole file went.
enum class ReadStatus {
    Read,    // content holds the file
    Missing, // no such file (content empty)
    Refused, // a link, not a regular file, larger than maxBytes, or unreadable (error says)
};

// Reads the regular file at path (resolved as above) whole, without following
// a link at the last component and without blocking on a FIFO.
ReadStatus readTrustedFile(const QString& path, QByteArray& content, QString* error = nullptr,
                           qint64 maxBytes = 64 * 1024 * 1024);

// Replaces the file at path (resolved as above) with content atomically: a
// temporary file is made in the real folder with O_EXCL|O_NOFOLLOW, written,
// synced and renamed over the name. The old file's mode is kept; a new file
// gets newFileMode (less the umask). A link planted at the name is refused and
// nothing is written. False, with error, when it could not be done.
bool replaceTrustedFile(const QString& path, const QByteArray& content, mode_t newFileMode,
                        QString* error = nullptr);

// Opens the folder at path (resolved as above), creating it with createMode
// (less the umask) when missing; a link or a non-folder there is refused.
FileDescriptor openTrustedFolder(const QString& path, mode_t createMode, QString* error = nullptr);

// Opens relative (components separated by "/", no "..", no empty component)
// beneath the folder rootFd, every component with O_NOFOLLOW: a folder or file
// swapped for a link is refused (ELOOP or ENOTDIR in *error). flags apply to
// the last component. Returns -1 with errno-style *error on failure.
int openBeneath(int rootFd, const QByteArray& relative, int flags, int* error = nullptr);

// The same for a relative path held as text (decodeFileName): each component
// is tried in the byte forms its text may have on disk (fileNameCandidates),
// so a GBK or Latin-1 name opens by its own bytes. *bytes, when given,
// receives the path's bytes that opened.
int openBeneathText(int rootFd, const QString& relative, int flags, int* error = nullptr,
                    QByteArray* bytes = nullptr);

} // namespace vellora
