#pragma once

// The watcher's inside, shared by its parts: FolderWatcher.cpp (start, stop,
// the thread's life and delivery), FolderWatchTree.cpp (the inotify tree and
// move pairing), FolderWatchPolling.cpp (the polling scan) and
// FolderWatchWriterCheck.cpp (whether a writer still holds a file: leases,
// settling, completeness).

#include "monitor/FolderWatcher.h"

#include "core/AppState.h"
#include "core/Gbk.h"
#include "core/SafeFile.h"
#include "monitor/PhotoCheck.h"

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <optional>
#include <vector>

#include <cstdlib>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace vellora {

namespace watch {

// What a file looked like when last seen: enough to tell a rewrite (new
// content, new inode, or a touched ctime) from the same file seen twice.
struct FileStamp
{
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    qint64 mtimeNs = 0;
    qint64 ctimeNs = 0;

    bool operator==(const FileStamp&) const = default;
    bool sameContent(const FileStamp& o) const
    {
        return device == o.device && inode == o.inode && size == o.size && mtimeNs == o.mtimeNs;
    }
    // What the queue carries: the file the tick must find under the name.
    PhotoStamp photoStamp() const
    {
        return {quint64(device), quint64(inode), qint64(size), mtimeNs};
    }
};

inline qint64 nanoseconds(const timespec& t)
{
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

inline FileStamp stampOf(const struct stat& st)
{
    return {st.st_dev, st.st_ino, st.st_size, nanoseconds(st.st_mtim), nanoseconds(st.st_ctim)};
}

inline qint64 wallClockNs()
{
    timespec t{};
    // The coarse clock is the one file times come from.
    clock_gettime(CLOCK_REALTIME_COARSE, &t);
    return nanoseconds(t);
}

inline QByteArray joinRelative(const QByteArray& folder, const QByteArray& name)
{
    if (folder.isEmpty())
        return name;
    return folder + '/' + name;
}

// Levels below the root: "" 0, "a" 1, "a/b" 2.
inline int depthOf(const QByteArray& relative)
{
    return relative.isEmpty() ? 0 : int(relative.count('/')) + 1;
}

inline bool isUnder(const QByteArray& path, const QByteArray& folder)
{
    return path == folder ||
           (path.startsWith(folder) && path.size() > folder.size() && path[folder.size()] == '/');
}

// File systems whose changes made by other machines inotify never sees.
bool isRemoteFileSystem(const QByteArray& path);

// IN_ATTRIB: a photo its writer left unreadable to us becomes readable by a
// chmod or chown, which writes nothing.
inline constexpr uint32_t kFolderMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE |
                                        IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                        IN_DONT_FOLLOW | IN_EXCL_UNLINK;

// How long a photo we may not read is looked at again before it is reported
// (the tick says 无法读取); a change of its permissions later still counts it.
inline constexpr int kUnreadableReportAfterMs = 3000;

} // namespace watch

struct FolderWatch::Impl
{
    Impl(AppState& s, QByteArray rootPath, ArmMonitorTimer a, const WatchOptions& o)
        : state(s), arm(std::move(a)), root(std::move(rootPath)), options(o)
    {
        wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (!options.excludedFolder.isEmpty()) {
            const QByteArray excluded = QFile::encodeName(normalisedFolder(options.excludedFolder));
            char* resolved = realpath(excluded.constData(), nullptr);
            const QByteArray real = resolved ? QByteArray(resolved) : excluded;
            free(resolved);
            if (watch::isUnder(real, root) && real != root)
                excludedRelative = real.mid(root.size() + 1);
        }
    }
    ~Impl()
    {
        if (wakeFd >= 0)
            close(wakeFd);
        if (inotifyFd >= 0)
            close(inotifyFd);
    }

    // Shared with the owning FolderWatch.
    AppState& state;
    const ArmMonitorTimer arm;
    const QByteArray root; // local path, no trailing separator
    const WatchOptions options;
    int wakeFd = -1;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> overflowRequested{false};
    std::atomic<bool> polling{false};
    std::atomic<bool> running{true};
    std::atomic<bool> ready{false};
    // Rounds done: inotify events read and handled, or scans of the tree.
    std::atomic<quint64> passes{0};
    // The folders that cannot be watched, as last published by the thread.
    mutable std::mutex gapsLock;
    WatchGaps publishedGaps;
    // Held while a name is handed to the queue; the owner sets `stopped` under
    // it, so nothing is delivered once the FolderWatch is gone.
    std::mutex deliverLock;
    bool stopped = false;
    std::mutex finishLock;
    std::condition_variable finishCv;
    bool finished = false;

    // On the caller's thread: the inotify instance and the root's watch, so
    // that the root is watched when startWatch returns. False when the folder
    // cannot be watched at all.
    bool prepare();
    void run();
    void wake() const
    {
        const uint64_t one = 1;
        [[maybe_unused]] const auto n = write(wakeFd, &one, sizeof one);
    }

private:
    enum class InotifyEnd { Stopped, FolderGone, UsePolling };

    // Thread-private from here on (prepare() runs before the thread starts).
    // The root, held open: photos and folders below it are opened from it,
    // one component at a time, never through a link.
    FileDescriptor rootFd;
    int inotifyFd = -1;
    int maxWatches = 0;
    // Folders that cannot be watched (or, polling, scanned) → why.
    QHash<QByteArray, QString> unwatched;
    bool gapsChanged = false;
    void noteUnwatched(const QByteArray& folder, const QString& why)
    {
        unwatched.insert(folder, why);
        gapsChanged = true;
    }
    // Forgets the folders at or below one (watched now, gone, or moved).
    void forgetUnwatched(const QByteArray& folder)
    {
        if (unwatched.removeIf([&](const auto& it) { return watch::isUnder(it.key(), folder); }) >
            0)
            gapsChanged = true;
    }
    void publishGaps();
    bool openRoot();
    bool usePolling = false;
    qint64 startNs = 0;
    QHash<int, QByteArray> wdPath;                 // watch → folder relative to the root
    QHash<QByteArray, int> pathWd;                 // folder → watch
    QHash<QByteArray, watch::FileStamp> delivered; // the file as it was when last queued
    struct PendingMove
    {
        QByteArray path;
        bool isFolder = false;
        std::chrono::steady_clock::time_point deadline;
    };
    QHash<uint32_t, PendingMove> pendingMoves; // IN_MOVED_FROM by cookie
    // Folders that could not be watched or listed when they appeared: most
    // often gone already under another name (copied in and renamed at once).
    QSet<QByteArray> unseenFolders;
    // Files found gone when their close or a look came to them: renamed, or
    // below a folder renamed, by a report still to be read. Forgotten once
    // the reports that follow have been read.
    QHash<QByteArray, quint64> vanished;
    void noteVanished(const QByteArray& relative)
    {
        if (errno == ENOENT || errno == ENOTDIR)
            vanished.insert(relative, passes.load());
    }
    // Files whose writer could not be ruled out without a lease: counted once
    // they keep their size and time for a while and look whole (unless their
    // close arrives first).
    struct Settling
    {
        watch::FileStamp stamp;
        std::chrono::steady_clock::time_point since;
        bool incomplete = false; // read at this stamp and found cut short
    };
    QHash<QByteArray, Settling> settling;
    // Files seen at their creation or by a scan. That first look never
    // counts: the creator may not even hold its descriptor yet. They are
    // looked at again, less and less often while a writer holds them, and
    // count once none does (most report their close before that; one written
    // unnamed with O_TMPFILE and linked in never does).
    struct Candidate
    {
        std::chrono::steady_clock::time_point due;
        int intervalMs = 0;
        // First found closed to us (EACCES); reported after a while.
        std::optional<std::chrono::steady_clock::time_point> unreadableSince;
    };
    QHash<QByteArray, Candidate> candidates;
    // Photos reported unreadable: counted again when their permissions change.
    QHash<QByteArray, bool> unreadable;
    QByteArray excludedRelative; // the program's own folder inside the tree
    qint64 lastBatchNs = 0;
    bool outOfWatches = false;
    std::vector<char> buffer;

    // Calls onEntry(child, st) for every entry of a folder but "." and ".."
    // (links not followed) until a stop; false, with errno, when the folder
    // cannot be opened: gone, a link, or the root no longer the one held.
    template <typename OnEntry> bool forEachEntry(const QByteArray& folder, OnEntry&& onEntry);
    // The folder beneath the root, every component without following a link
    // ("" is the root, checked to be the one held); -1 with errno.
    int openFolder(const QByteArray& folder) const;
    // lstat of a file beneath the root without following a link on the way;
    // false with errno.
    bool statBeneath(const QByteArray& relative, struct stat& st) const;
    bool stopping() const { return stopRequested.load(std::memory_order_relaxed); }
    QByteArray absolute(const QByteArray& relative) const
    {
        return relative.isEmpty() ? root : root + '/' + relative;
    }

    bool isIgnored(const QByteArray& relative) const
    {
        return isToolArtefact(relative) ||
               (!excludedRelative.isEmpty() && watch::isUnder(relative, excludedRelative));
    }
    void deliver(const QByteArray& relative, const watch::FileStamp& stamp);
    void deliverFile(const QByteArray& relative);
    void deliverIfChanged(const QByteArray& relative, const watch::FileStamp& stamp);
    void addCandidate(const QByteArray& relative);
    enum class Look { Done, Writer, Retry, Unreadable, Settling };
    Look lookAgain(const QByteArray& relative, const watch::FileStamp& stamp);
    void checkCandidates();
    int candidateTimeoutMs() const;
    void renameEverywhere(const QByteArray& from, const QByteArray& to, bool isFolder);
    void renameQueued(const QByteArray& from, const QByteArray& to, bool isFolder);
    void forgetPending(const QByteArray& relative, bool isFolder);
    bool waitForReturn();

    InotifyEnd runInotify(bool resumed);
    bool startInotify();
    bool watchFolder(const QByteArray& relative);
    void watchTree(const QByteArray& relative, bool queueClosedFiles, qint64 modifiedAfterNs,
                   bool topFilesToo = true);
    void forgetTree(const QByteArray& relative);
    void renameTree(const QByteArray& from, const QByteArray& to);
    bool readEvents(InotifyEnd& end);
    void handleEvent(const inotify_event& event, InotifyEnd& end, bool& overflow);
    void rescanAfterOverflow();
    void overflowIfRequested();
    void expireMoves(bool all);
    void checkSettling();

    bool runPolling(qint64 countedBeforeNs);
};

template <typename OnEntry>
bool FolderWatch::Impl::forEachEntry(const QByteArray& folder, OnEntry&& onEntry)
{
    const int fd = openFolder(folder);
    if (fd < 0)
        return false;
    DIR* dir = fdopendir(fd);
    if (!dir) {
        const int error = errno;
        close(fd);
        errno = error;
        return false;
    }
    while (const dirent* entry = readdir(dir)) {
        if (stopping())
            break;
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const QByteArray child = watch::joinRelative(folder, name);
        struct stat st
        {
        };
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        onEntry(child, st);
    }
    closedir(dir);
    return true;
}

} // namespace vellora
