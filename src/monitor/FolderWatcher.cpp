#include "monitor/FolderWatcher.h"

#include "app/AppState.h"
#include "platform/Gbk.h"

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QSet>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <ctime>
#include <limits>
#include <mutex>
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

bool passesPhotoFilter(const QString& name)
{
    const QByteArray bytes = toGbk(name);
    const QByteArray tail = bytes.right(3);
    return tail == "jpg" || tail == "bmp" || tail == "JPG" || tail == "BMP";
}

void queueChangedFile(AppState& state, int action, const QString& name, const ArmMonitorTimer& arm)
{
    std::lock_guard<std::mutex> lock(state.queueLock);
    if (action != kActionModified)
        return;
    if (arm)
        arm();
    if (!passesPhotoFilter(name))
        return;
    if (!state.monitorQueue.isEmpty() && state.monitorQueue.constLast() == name)
        return;
    state.monitorQueue.append(name);
    if (arm)
        arm();
}

namespace {

// What a file looked like when last seen: enough to tell a rewrite (new
// content, new inode, or a touched ctime) from the same file seen twice.
struct FileStamp
{
    ino_t inode = 0;
    off_t size = 0;
    qint64 mtimeNs = 0;
    qint64 ctimeNs = 0;

    bool operator==(const FileStamp&) const = default;
    bool sameContent(const FileStamp& o) const
    {
        return inode == o.inode && size == o.size && mtimeNs == o.mtimeNs;
    }
};

qint64 nanoseconds(const timespec& t)
{
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

FileStamp stampOf(const struct stat& st)
{
    return {st.st_ino, st.st_size, nanoseconds(st.st_mtim), nanoseconds(st.st_ctim)};
}

qint64 wallClockNs()
{
    timespec t{};
    // The coarse clock is the one file times come from.
    clock_gettime(CLOCK_REALTIME_COARSE, &t);
    return nanoseconds(t);
}

QByteArray joinRelative(const QByteArray& folder, const QByteArray& name)
{
    if (folder.isEmpty())
        return name;
    return folder + '/' + name;
}

bool isUnder(const QByteArray& path, const QByteArray& folder)
{
    return path == folder ||
           (path.startsWith(folder) && path.size() > folder.size() && path[folder.size()] == '/');
}

// File systems whose changes made by other machines inotify never sees.
bool isRemoteFileSystem(const QByteArray& path)
{
    struct statfs fs
    {
    };
    if (statfs(path.constData(), &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969UL:     // NFS
    case 0x517BUL:     // SMB
    case 0xFF534D42UL: // CIFS
    case 0xFE534D42UL: // SMB2
    case 0x65735546UL: // FUSE (sshfs, gvfs, …)
    case 0x01021997UL: // 9P (shared folders of virtual machines)
    case 0x73757245UL: // Coda
    case 0x5346414FUL: // AFS
    case 0x00C36400UL: // Ceph
    case 0x0BD00BD0UL: // Lustre
    case 0x47504653UL: // GPFS
        return true;
    default:
        return false;
    }
}

constexpr uint32_t kFolderMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE |
                                 IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW |
                                 IN_EXCL_UNLINK;

} // namespace

struct FolderWatch::Impl
{
    Impl(AppState& s, QByteArray rootPath, ArmMonitorTimer a, const WatchOptions& o)
        : state(s), arm(std::move(a)), root(std::move(rootPath)), options(o)
    {
        wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
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
    int inotifyFd = -1;
    bool usePolling = false;
    qint64 startNs = 0;
    QHash<int, QByteArray> wdPath;          // watch → folder relative to the root
    QHash<QByteArray, int> pathWd;          // folder → watch
    QHash<QByteArray, FileStamp> delivered; // the file as it was when last queued
    struct PendingMove
    {
        QByteArray path;
        bool isFolder = false;
        std::chrono::steady_clock::time_point deadline;
    };
    QHash<uint32_t, PendingMove> pendingMoves; // IN_MOVED_FROM by cookie
    // Files found by a scan whose writer could not be ruled out: counted once
    // they keep their size and time for a while (unless their close arrives).
    struct Settling
    {
        FileStamp stamp;
        std::chrono::steady_clock::time_point since;
    };
    QHash<QByteArray, Settling> settling;
    // Files that appeared while some process had them open for writing.
    // Most will report their close; one written unnamed (O_TMPFILE) and
    // linked in never does, so each counts once no writer is left.
    QSet<QByteArray> createdOpen;
    qint64 lastBatchNs = 0;
    bool outOfWatches = false;
    std::vector<char> buffer;

    // Calls onEntry(child, st) for every entry of a folder but "." and ".."
    // (lstat, so links are not followed) until a stop; false when the folder
    // cannot be opened.
    template <typename OnEntry> bool forEachEntry(const QByteArray& folder, OnEntry&& onEntry);
    bool stopping() const { return stopRequested.load(std::memory_order_relaxed); }
    QByteArray absolute(const QByteArray& relative) const
    {
        return relative.isEmpty() ? root : root + '/' + relative;
    }

    void deliver(const QByteArray& relative);
    void deliverFile(const QByteArray& relative);
    void deliverIfChanged(const QByteArray& relative, const FileStamp& stamp);
    enum class Writers { None, Open, Unknown };
    Writers considerExisting(const QByteArray& relative, const FileStamp& stamp);
    void checkCreatedOpen();

    InotifyEnd runInotify();
    bool watchFolder(const QByteArray& relative);
    void watchTree(const QByteArray& relative, bool queueClosedFiles, qint64 modifiedAfterNs,
                   bool topFilesToo = true);
    void forgetTree(const QByteArray& relative);
    void renameTree(const QByteArray& from, const QByteArray& to);
    bool readEvents(InotifyEnd& end);
    void handleEvent(const inotify_event& event, InotifyEnd& end, bool& overflow);
    void rescanAfterOverflow();
    void expireMoves(bool all);
    void checkSettling();

    void runPolling(qint64 countedBeforeNs);
};

void FolderWatch::Impl::deliver(const QByteArray& relative)
{
    std::lock_guard<std::mutex> lock(deliverLock);
    if (stopped)
        return;
    queueChangedFile(state, kActionModified, QFile::decodeName(relative), arm);
}

// A file reported as written: queued unless it is exactly as it was when it
// was last queued (the same close seen by a scan and by its event).
void FolderWatch::Impl::deliverFile(const QByteArray& relative)
{
    settling.remove(relative);
    createdOpen.remove(relative);
    struct stat st
    {
    };
    if (lstat(absolute(relative).constData(), &st) != 0) {
        // Gone already; still reported, as a modification of a file that then
        // went away would have been.
        deliver(relative);
        return;
    }
    deliverIfChanged(relative, stampOf(st));
}

void FolderWatch::Impl::deliverIfChanged(const QByteArray& relative, const FileStamp& stamp)
{
    const auto it = delivered.constFind(relative);
    if (it != delivered.constEnd() && *it == stamp)
        return;
    if (delivered.size() > 100000)
        delivered.clear();
    delivered.insert(relative, stamp);
    deliver(relative);
}

// A file found by scanning a folder rather than by its close: queued when no
// process has it open for writing. A file still being written is left to its
// IN_CLOSE_WRITE, which the folder's watch (already in place) reports.
FolderWatch::Impl::Writers FolderWatch::Impl::considerExisting(const QByteArray& relative,
                                                               const FileStamp& stamp)
{
    const auto it = delivered.constFind(relative);
    if (it != delivered.constEnd() && *it == stamp)
        return Writers::None;
    const int fd = open(absolute(relative).constData(),
                        O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return Writers::None;
    // A read lease is refused (EAGAIN) exactly when the file is open for
    // writing anywhere. It is held for a moment only; a writer opening the
    // file meanwhile waits that moment (its lease-break signal is ignored).
    if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        // While the lease is held nobody writes: this is the file as its
        // writer left it. The stamp from the scan may be older (taken before
        // the writer closed), and queuing under it would make the close's own
        // report look like a new write, queuing the photo twice.
        struct stat now
        {
        };
        const FileStamp current = fstat(fd, &now) == 0 ? stampOf(now) : stamp;
        fcntl(fd, F_SETLEASE, F_UNLCK);
        close(fd);
        deliverIfChanged(relative, current);
        return Writers::None;
    }
    const int error = errno;
    close(fd);
    if (error == EAGAIN)
        return Writers::Open;
    // No lease here (another owner without CAP_LEASE, or a file system
    // without leases): wait for the file to settle instead.
    settling.insert(relative, {stamp, std::chrono::steady_clock::now()});
    return Writers::Unknown;
}

void FolderWatch::Impl::checkCreatedOpen()
{
    for (auto it = createdOpen.begin(); it != createdOpen.end();) {
        struct stat st
        {
        };
        if (lstat(absolute(*it).constData(), &st) != 0 || !S_ISREG(st.st_mode) ||
            considerExisting(*it, stampOf(st)) != Writers::Open)
            it = createdOpen.erase(it);
        else
            ++it;
    }
}

bool FolderWatch::Impl::prepare()
{
    // The short read leases taken to see whether a file is still being
    // written send SIGIO when a writer opens the file meanwhile; by default
    // that signal would end the program.
    static std::once_flag sigioIgnored;
    std::call_once(sigioIgnored, [] {
        struct sigaction current
        {
        };
        if (sigaction(SIGIO, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            signal(SIGIO, SIG_IGN);
    });
    startNs = wallClockNs();
    lastBatchNs = startNs;
    usePolling = options.forcePolling || isRemoteFileSystem(root);
    if (usePolling)
        return true;
    inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd < 0) {
        usePolling = true; // out of inotify instances
        return true;
    }
    if (watchFolder({}))
        return true;
    if (outOfWatches) {
        usePolling = true;
        return true;
    }
    return false;
}

void FolderWatch::Impl::run()
{
    // A fresh watch takes what is there as seen; only later writes count.
    qint64 countedBefore = std::numeric_limits<qint64>::max();
    if (!usePolling) {
        const InotifyEnd end = runInotify();
        if (end == InotifyEnd::UsePolling) {
            usePolling = true;
            // Files written since the last event read may have gone unseen.
            countedBefore = lastBatchNs - 1000000000;
        }
        if (end == InotifyEnd::FolderGone)
            running = false;
    }
    if (inotifyFd >= 0) {
        close(inotifyFd);
        inotifyFd = -1;
    }
    if (usePolling && !stopping()) {
        polling = true;
        runPolling(countedBefore);
    }
    std::lock_guard<std::mutex> lock(finishLock);
    finished = true;
    finishCv.notify_all();
}

// --- inotify -----------------------------------------------------------------

bool FolderWatch::Impl::watchFolder(const QByteArray& relative)
{
    const int wd = inotify_add_watch(inotifyFd, absolute(relative).constData(), kFolderMask);
    if (wd < 0) {
        if (errno == ENOSPC)
            outOfWatches = true;
        return false;
    }
    const auto old = wdPath.constFind(wd);
    if (old != wdPath.constEnd() && *old != relative)
        pathWd.remove(*old);
    wdPath.insert(wd, relative);
    pathWd.insert(relative, wd);
    return true;
}

template <typename OnEntry>
bool FolderWatch::Impl::forEachEntry(const QByteArray& folder, OnEntry&& onEntry)
{
    DIR* dir = opendir(absolute(folder).constData());
    if (!dir)
        return false;
    while (const dirent* entry = readdir(dir)) {
        if (stopping())
            break;
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const QByteArray child = joinRelative(folder, name);
        struct stat st
        {
        };
        if (lstat(absolute(child).constData(), &st) != 0)
            continue;
        onEntry(child, st);
    }
    closedir(dir);
    return true;
}

// Watches a folder and everything below it. With queueClosedFiles, files
// already there (modified after modifiedAfterNs) count as written: they were
// written before the watch could see them.
void FolderWatch::Impl::watchTree(const QByteArray& relative, bool queueClosedFiles,
                                  qint64 modifiedAfterNs, bool topFilesToo)
{
    std::vector<QByteArray> folders{relative};
    while (!folders.empty() && !stopping() && !outOfWatches) {
        const QByteArray folder = folders.back();
        folders.pop_back();
        // The watch comes first, so that nothing written after the listing
        // goes unseen.
        if (!watchFolder(folder))
            continue;
        forEachEntry(folder, [&](const QByteArray& child, const struct stat& st) {
            if (S_ISDIR(st.st_mode))
                folders.push_back(child);
            else if (queueClosedFiles && S_ISREG(st.st_mode) &&
                     (topFilesToo || folder != relative) &&
                     nanoseconds(st.st_mtim) >= modifiedAfterNs)
                considerExisting(child, stampOf(st));
        });
    }
}

void FolderWatch::Impl::forgetTree(const QByteArray& relative)
{
    std::vector<int> gone;
    for (auto it = wdPath.constBegin(); it != wdPath.constEnd(); ++it) {
        if (isUnder(it.value(), relative))
            gone.push_back(it.key());
    }
    for (int wd : gone) {
        inotify_rm_watch(inotifyFd, wd);
        pathWd.remove(wdPath.value(wd));
        wdPath.remove(wd);
    }
}

void FolderWatch::Impl::renameTree(const QByteArray& from, const QByteArray& to)
{
    std::vector<std::pair<int, QByteArray>> moved;
    for (auto it = wdPath.constBegin(); it != wdPath.constEnd(); ++it) {
        if (isUnder(it.value(), from))
            moved.emplace_back(it.key(), to + it.value().mid(from.size()));
    }
    for (const auto& [wd, path] : moved)
        pathWd.remove(wdPath.value(wd));
    for (const auto& [wd, path] : moved) {
        wdPath.insert(wd, path);
        pathWd.insert(path, wd);
    }
}

FolderWatch::Impl::InotifyEnd FolderWatch::Impl::runInotify()
{
    // Subfolders are watched one by one from here; a file closed in one of
    // them before its watch came counts as written after the start. The
    // root's own files are covered by its watch, in place since prepare().
    watchTree({}, true, startNs, false);
    ready = true;
    if (outOfWatches)
        return InotifyEnd::UsePolling;

    for (;;) {
        int timeout = -1;
        if (!pendingMoves.isEmpty())
            timeout = 20;
        else if (!createdOpen.isEmpty())
            timeout = 50;
        else if (!settling.isEmpty())
            timeout = 250;
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {inotifyFd, POLLIN, 0}};
        const int polled = poll(fds, 2, timeout);
        if (stopping())
            return InotifyEnd::Stopped;
        if (polled < 0 && errno != EINTR)
            return InotifyEnd::FolderGone;
        if (fds[0].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] const auto n = read(wakeFd, &count, sizeof count);
        }
        InotifyEnd end = InotifyEnd::Stopped;
        bool keepGoing = true;
        if (overflowRequested.exchange(false))
            rescanAfterOverflow();
        if (fds[1].revents & POLLIN)
            keepGoing = readEvents(end);
        if (!keepGoing)
            return end;
        expireMoves(polled == 0);
        checkCreatedOpen();
        checkSettling();
        if (stopping())
            return InotifyEnd::Stopped;
        if (outOfWatches)
            return InotifyEnd::UsePolling;
    }
}

// Reads and handles everything pending. Returns false when the watch ends.
bool FolderWatch::Impl::readEvents(InotifyEnd& end)
{
    for (;;) {
        int available = 0;
        if (ioctl(inotifyFd, FIONREAD, &available) != 0 || available <= 0)
            available = 0;
        const size_t wanted = std::max<size_t>(size_t(available), 256 * 1024);
        if (buffer.size() < wanted)
            buffer.resize(wanted);
        const ssize_t n = read(inotifyFd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        if (n == 0)
            return true;
        const qint64 readAt = wallClockNs();
        bool overflow = false;
        ssize_t offset = 0;
        while (offset + ssize_t(sizeof(inotify_event)) <= n) {
            if (stopping()) {
                end = InotifyEnd::Stopped;
                return false;
            }
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + offset);
            offset += ssize_t(sizeof(inotify_event)) + event->len;
            handleEvent(*event, end, overflow);
            if (end != InotifyEnd::Stopped)
                return false;
        }
        if (overflow)
            rescanAfterOverflow();
        lastBatchNs = readAt;
    }
}

void FolderWatch::Impl::handleEvent(const inotify_event& event, InotifyEnd& end, bool& overflow)
{
    if (event.mask & IN_Q_OVERFLOW) {
        overflow = true;
        return;
    }
    const auto folderIt = wdPath.constFind(event.wd);
    if (folderIt == wdPath.constEnd())
        return; // a watch already forgotten
    const QByteArray folder = *folderIt;
    const bool isRoot = folder.isEmpty();

    if (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
        if (isRoot) {
            end = InotifyEnd::FolderGone;
            return;
        }
        if (event.mask & IN_IGNORED) {
            pathWd.remove(folder);
            wdPath.remove(event.wd);
        }
        // A subfolder moved or deleted: its parent reports the move.
        return;
    }
    if (event.len == 0)
        return;
    const QByteArray name(event.name); // NUL-padded
    const QByteArray path = joinRelative(folder, name);
    const bool isFolder = event.mask & IN_ISDIR;

    if (event.mask & IN_CREATE) {
        if (isFolder) {
            watchTree(path, true, 0);
            return;
        }
        struct stat st
        {
        };
        if (lstat(absolute(path).constData(), &st) == 0 && S_ISREG(st.st_mode) &&
            considerExisting(path, stampOf(st)) == Writers::Open)
            createdOpen.insert(path);
        return;
    }
    if (event.mask & IN_CLOSE_WRITE) {
        if (!isFolder)
            deliverFile(path);
        return;
    }
    if (event.mask & IN_MOVED_FROM) {
        pendingMoves.insert(
            event.cookie,
            {path, isFolder, std::chrono::steady_clock::now() + std::chrono::milliseconds(100)});
        return;
    }
    if (event.mask & IN_MOVED_TO) {
        const auto it = pendingMoves.find(event.cookie);
        if (it == pendingMoves.end()) {
            // Moved in from outside the tree: written, as far as we can tell.
            if (isFolder)
                watchTree(path, true, 0);
            else
                deliverFile(path);
            return;
        }
        const PendingMove from = *it;
        pendingMoves.erase(it);
        if (isFolder) {
            renameTree(from.path, path);
            return;
        }
        settling.remove(from.path);
        createdOpen.remove(from.path);
        // A save that writes a temporary name and renames it to the photo.
        if (!passesPhotoFilter(QFile::decodeName(from.path)) &&
            passesPhotoFilter(QFile::decodeName(path)))
            deliverFile(path);
    }
}

// Moves whose other half never came left the tree.
void FolderWatch::Impl::expireMoves(bool all)
{
    const auto now = std::chrono::steady_clock::now();
    for (auto it = pendingMoves.begin(); it != pendingMoves.end();) {
        if (all || it->deadline <= now) {
            settling.remove(it->path);
            createdOpen.remove(it->path);
            if (it->isFolder)
                forgetTree(it->path);
            it = pendingMoves.erase(it);
        } else {
            ++it;
        }
    }
}

void FolderWatch::Impl::checkSettling()
{
    const auto now = std::chrono::steady_clock::now();
    for (auto it = settling.begin(); it != settling.end();) {
        struct stat st
        {
        };
        if (lstat(absolute(it.key()).constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
            it = settling.erase(it);
            continue;
        }
        const FileStamp stamp = stampOf(st);
        if (!stamp.sameContent(it->stamp)) {
            it->stamp = stamp;
            it->since = now;
            ++it;
        } else if (now - it->since >= std::chrono::seconds(1)) {
            const QByteArray path = it.key();
            it = settling.erase(it);
            deliverIfChanged(path, stamp);
        } else {
            ++it;
        }
    }
}

// Events were dropped: watch every folder again (those made meanwhile too)
// and queue the photos written since the last batch handled.
void FolderWatch::Impl::rescanAfterOverflow()
{
    const qint64 since = lastBatchNs - 1000000000;
    pendingMoves.clear();
    const QHash<int, QByteArray> before = wdPath;
    wdPath.clear();
    pathWd.clear();
    watchTree({}, true, since);
    for (auto it = before.constBegin(); it != before.constEnd(); ++it) {
        if (!wdPath.contains(it.key()))
            inotify_rm_watch(inotifyFd, it.key());
    }
}

// --- polling -----------------------------------------------------------------

void FolderWatch::Impl::runPolling(qint64 countedBeforeNs)
{
    struct Seen
    {
        FileStamp last;
        FileStamp counted;
        bool hasCounted = false;
        bool present = false;
    };
    QHash<QByteArray, Seen> seen;
    bool firstScan = true;
    for (;;) {
        for (auto it = seen.begin(); it != seen.end(); ++it)
            it->present = false;
        std::vector<QByteArray> folders{QByteArray()};
        bool rootOk = true;
        while (!folders.empty() && !stopping()) {
            const QByteArray folder = folders.back();
            folders.pop_back();
            const bool opened =
                forEachEntry(folder, [&](const QByteArray& child, const struct stat& st) {
                    if (S_ISDIR(st.st_mode)) {
                        folders.push_back(child);
                        return;
                    }
                    if (!S_ISREG(st.st_mode))
                        return;
                    const FileStamp stamp = stampOf(st);
                    auto it = seen.find(child);
                    if (it == seen.end()) {
                        Seen s;
                        s.last = stamp;
                        s.present = true;
                        const auto d = delivered.constFind(child);
                        if (firstScan && (stamp.mtimeNs < countedBeforeNs ||
                                          (d != delivered.constEnd() && d->sameContent(stamp)))) {
                            s.counted = stamp;
                            s.hasCounted = true;
                        }
                        seen.insert(child, s);
                        return;
                    }
                    it->present = true;
                    if (!it->last.sameContent(stamp)) {
                        it->last = stamp;
                        return;
                    }
                    // Unchanged between two scans: its writer is done with it.
                    if (!it->hasCounted || !it->counted.sameContent(stamp)) {
                        it->counted = stamp;
                        it->hasCounted = true;
                        deliver(child);
                    }
                });
            if (!opened && folder.isEmpty())
                rootOk = false;
        }
        if (stopping())
            return;
        if (!rootOk) {
            running = false;
            return;
        }
        for (auto it = seen.begin(); it != seen.end();) {
            if (it->present)
                ++it;
            else
                it = seen.erase(it);
        }
        firstScan = false;
        ready = true;

        pollfd fds[1] = {{wakeFd, POLLIN, 0}};
        poll(fds, 1, options.pollIntervalMs);
        if (stopping())
            return;
        uint64_t count = 0;
        [[maybe_unused]] const auto n = read(wakeFd, &count, sizeof count);
    }
}

// --- the handle --------------------------------------------------------------

FolderWatch::FolderWatch(std::shared_ptr<Impl> impl, std::thread thread)
    : m_impl(std::move(impl)), m_thread(std::move(thread))
{
}

FolderWatch::~FolderWatch()
{
    {
        std::lock_guard<std::mutex> lock(m_impl->deliverLock);
        m_impl->stopped = true;
    }
    m_impl->stopRequested = true;
    m_impl->wake();
    // The thread notices at once unless a system call holds it (a stat on a
    // hung network mount); then it is left to finish on its own, keeping its
    // half of the state alive, and it delivers nothing more.
    bool finished = false;
    {
        std::unique_lock<std::mutex> lock(m_impl->finishLock);
        finished = m_impl->finishCv.wait_for(lock, std::chrono::milliseconds(200),
                                             [this] { return m_impl->finished; });
    }
    if (finished)
        m_thread.join();
    else
        m_thread.detach();
}

bool FolderWatch::isPolling() const
{
    return m_impl->polling.load();
}

bool FolderWatch::isRunning() const
{
    return m_impl->running.load();
}

bool FolderWatch::isReady() const
{
    return m_impl->ready.load();
}

void FolderWatch::simulateOverflow()
{
    m_impl->overflowRequested = true;
    m_impl->wake();
}

// --- start and stop ----------------------------------------------------------

std::shared_ptr<FolderWatch> startWatch(AppState& state, const QString& folderText,
                                        ArmMonitorTimer arm)
{
    return startWatch(state, folderText, std::move(arm), WatchOptions{});
}

std::shared_ptr<FolderWatch> startWatch(AppState& state, const QString& folderText,
                                        ArmMonitorTimer arm, const WatchOptions& options)
{
    QString folder = folderText;
    if (folder.size() > 1 && (folder.endsWith(u'/') || folder.endsWith(u'\\')))
        folder.chop(1);
    if (folder.isEmpty())
        return nullptr;
    const QByteArray path = QFile::encodeName(folder);
    struct stat st
    {
    };
    if (stat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return nullptr;
    if (access(path.constData(), R_OK | W_OK | X_OK) != 0)
        return nullptr;
    // Watches never follow links below the root, but the root itself may be
    // one (a folder linked onto the desktop, say).
    char* resolved = realpath(path.constData(), nullptr);
    if (!resolved)
        return nullptr;
    const QByteArray root(resolved);
    free(resolved);

    auto impl = std::make_shared<FolderWatch::Impl>(state, root, std::move(arm), options);
    if (impl->wakeFd < 0 || !impl->prepare())
        return nullptr;
    std::thread thread([impl] { impl->run(); });
    return std::make_shared<FolderWatch>(impl, std::move(thread));
}

void stopWatch(std::shared_ptr<FolderWatch>& handle)
{
    // The last reference going stops the thread (see ~FolderWatch).
    handle.reset();
}

} // namespace vellora
