#include "monitor/FolderWatcher.h"

#include "app/AppState.h"
#include "monitor/PhotoCheck.h"
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

bool isToolArtefact(const QByteArray& relative)
{
    qsizetype start = 0;
    for (;;) {
        const qsizetype slash = relative.indexOf('/', start);
        if (slash < 0)
            return relative.mid(start).startsWith("._");
        if (slash > start && relative[start] == '.')
            return true;
        start = slash + 1;
    }
}

QString normalisedFolder(const QString& folderText)
{
    QString folder = folderText;
    if (folder.size() > 1 && (folder.endsWith(u'/') || folder.endsWith(u'\\')))
        folder.chop(1);
    return folder;
}

QString watchProblem(const QString& folderText)
{
    const QString folder = normalisedFolder(folderText);
    if (folder.isEmpty())
        return QStringLiteral("没有填写监控目录");
    const QByteArray path = QFile::encodeName(folder);
    struct stat st
    {
    };
    if (stat(path.constData(), &st) != 0) {
        if (errno == EACCES)
            return QStringLiteral("没有权限进入文件夹 %1").arg(folder);
        return QStringLiteral("文件夹 %1 不存在").arg(folder);
    }
    if (!S_ISDIR(st.st_mode))
        return QStringLiteral("%1 不是文件夹").arg(folder);
    if (access(path.constData(), R_OK | W_OK | X_OK) != 0)
        return QStringLiteral("没有读写文件夹 %1 的权限").arg(folder);
    return {};
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
        if (!options.excludedFolder.isEmpty()) {
            const QByteArray excluded = QFile::encodeName(normalisedFolder(options.excludedFolder));
            char* resolved = realpath(excluded.constData(), nullptr);
            const QByteArray real = resolved ? QByteArray(resolved) : excluded;
            free(resolved);
            if (isUnder(real, root) && real != root)
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
        FileStamp stamp;
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
    };
    QHash<QByteArray, Candidate> candidates;
    QByteArray excludedRelative; // the program's own folder inside the tree
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

    bool isIgnored(const QByteArray& relative) const
    {
        return isToolArtefact(relative) ||
               (!excludedRelative.isEmpty() && isUnder(relative, excludedRelative));
    }
    void deliver(const QByteArray& relative);
    void deliverFile(const QByteArray& relative);
    void deliverIfChanged(const QByteArray& relative, const FileStamp& stamp);
    void addCandidate(const QByteArray& relative);
    enum class Look { Done, Writer, Retry, Settling };
    Look lookAgain(const QByteArray& relative, const FileStamp& stamp);
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

void FolderWatch::Impl::deliver(const QByteArray& relative)
{
    std::lock_guard<std::mutex> lock(deliverLock);
    if (stopped)
        return;
    queueChangedFile(state, kActionModified, QFile::decodeName(relative), arm);
}

// A file reported as written: queued unless it is exactly as it was when it
// was last queued (the same close seen by a scan and by its event), empty
// (its writer has not begun; its next close reports it) or gone.
void FolderWatch::Impl::deliverFile(const QByteArray& relative)
{
    settling.remove(relative);
    candidates.remove(relative);
    if (isIgnored(relative))
        return;
    struct stat st
    {
    };
    if (lstat(absolute(relative).constData(), &st) != 0) {
        noteVanished(relative);
        return;
    }
    if (!S_ISREG(st.st_mode) || st.st_size == 0)
        return;
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

constexpr int kFirstLookAfterMs = 50;
constexpr int kLongestLookIntervalMs = 2000;

void FolderWatch::Impl::addCandidate(const QByteArray& relative)
{
    if (isIgnored(relative) || candidates.contains(relative))
        return;
    candidates.insert(
        relative, {std::chrono::steady_clock::now() + std::chrono::milliseconds(kFirstLookAfterMs),
                   kFirstLookAfterMs});
}

// A later look at a file seen at its creation or by a scan.
FolderWatch::Impl::Look FolderWatch::Impl::lookAgain(const QByteArray& relative,
                                                     const FileStamp& stamp)
{
    const auto it = delivered.constFind(relative);
    if (it != delivered.constEnd() && *it == stamp)
        return Look::Done;
    if (options.beforeWriterCheck)
        options.beforeWriterCheck(relative);
    const int fd = open(absolute(relative).constData(),
                        O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        // Another program's lease (EWOULDBLOCK) or permissions not set yet
        // (EACCES): not a reason to drop the file.
        if (errno != ENOENT)
            return Look::Retry;
        noteVanished(relative);
        return Look::Done;
    }
    // A read lease is refused (EAGAIN) exactly when the file is open for
    // writing anywhere. It is held for a moment only; a writer opening the
    // file meanwhile waits that moment (its lease-break signal is ignored).
    if (!options.noLeases && fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        // While the lease is held nobody writes: this is the file as its
        // writer left it. The stamp from before may be older (taken before
        // the writer closed), and queuing under it would make the close's own
        // report look like a new write, queuing the photo twice.
        struct stat now
        {
        };
        const bool known = fstat(fd, &now) == 0;
        fcntl(fd, F_SETLEASE, F_UNLCK);
        close(fd);
        if (!known)
            return Look::Retry;
        if (now.st_size > 0)
            deliverIfChanged(relative, stampOf(now));
        return Look::Done;
    }
    const int error = options.noLeases ? EACCES : errno;
    close(fd);
    if (error == EAGAIN)
        return Look::Writer;
    // No lease here (another owner without CAP_LEASE, or a file system
    // without leases): wait for the file to settle and look whole instead.
    settling.insert(relative, {stamp, std::chrono::steady_clock::now(), false});
    return Look::Settling;
}

void FolderWatch::Impl::checkCandidates()
{
    const auto now = std::chrono::steady_clock::now();
    for (auto it = candidates.begin(); it != candidates.end();) {
        if (it->due > now) {
            ++it;
            continue;
        }
        struct stat st
        {
        };
        if (lstat(absolute(it.key()).constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
            noteVanished(it.key());
            it = candidates.erase(it);
            continue;
        }
        const Look look = lookAgain(it.key(), stampOf(st));
        if (look == Look::Done || look == Look::Settling) {
            it = candidates.erase(it);
            continue;
        }
        // Held open for long (a log, a database): look less and less often.
        it->intervalMs = std::min(it->intervalMs * 2, kLongestLookIntervalMs);
        it->due = now + std::chrono::milliseconds(it->intervalMs);
        ++it;
    }
}

int FolderWatch::Impl::candidateTimeoutMs() const
{
    if (candidates.isEmpty())
        return -1;
    auto first = std::chrono::steady_clock::time_point::max();
    for (const Candidate& c : candidates)
        first = std::min(first, c.due);
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                          first - std::chrono::steady_clock::now())
                          .count();
    return int(std::clamp<qint64>(wait + 1, 1, kLongestLookIntervalMs));
}

namespace {

template <typename T>
void renameKeys(QHash<QByteArray, T>& hash, const QByteArray& from, const QByteArray& to,
                bool isFolder)
{
    std::vector<std::pair<QByteArray, T>> moved;
    for (auto it = hash.begin(); it != hash.end();) {
        if (it.key() == from || (isFolder && isUnder(it.key(), from))) {
            moved.emplace_back(to + it.key().mid(from.size()), it.value());
            it = hash.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& [key, value] : moved)
        hash.insert(key, value);
}

} // namespace

// A file or folder renamed inside the tree: what is known about it, and the
// queued names of photos not yet laid out, follow it.
void FolderWatch::Impl::renameEverywhere(const QByteArray& from, const QByteArray& to,
                                         bool isFolder)
{
    renameKeys(delivered, from, to, isFolder);
    renameKeys(settling, from, to, isFolder);
    renameKeys(candidates, from, to, isFolder);
    renameQueued(from, to, isFolder);
}

void FolderWatch::Impl::renameQueued(const QByteArray& from, const QByteArray& to, bool isFolder)
{
    const QString oldName = QFile::decodeName(from);
    const QString newName = QFile::decodeName(to);
    std::lock_guard<std::mutex> lock(deliverLock);
    if (stopped)
        return;
    std::lock_guard<std::mutex> queueLock(state.queueLock);
    for (QString& entry : state.monitorQueue) {
        if (entry == oldName)
            entry = newName;
        else if (isFolder && entry.startsWith(oldName) && entry.size() > oldName.size() &&
                 entry[oldName.size()] == u'/')
            entry = newName + entry.mid(oldName.size());
    }
    // A tick that already took its list finds a moved photo through these.
    state.monitorRenames.append({oldName, newName, isFolder});
    if (state.monitorRenames.size() > 10000)
        state.monitorRenames.removeFirst();
}

void FolderWatch::Impl::forgetPending(const QByteArray& relative, bool isFolder)
{
    const auto gone = [&](const QByteArray& key) {
        return key == relative || (isFolder && isUnder(key, relative));
    };
    settling.removeIf([&](const auto& it) { return gone(it.key()); });
    candidates.removeIf([&](const auto& it) { return gone(it.key()); });
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
    return startInotify();
}

// The inotify instance and the root's watch, or polling where inotify cannot
// serve. False when the root cannot be watched at all.
bool FolderWatch::Impl::startInotify()
{
    outOfWatches = false;
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
    close(inotifyFd);
    inotifyFd = -1;
    if (outOfWatches) {
        usePolling = true;
        return true;
    }
    return false;
}

// The root was deleted or became unreachable: wait for a folder of that name
// to come back (the user emptied the hot folder by deleting it) and watch it
// from scratch. False when stopped meanwhile.
bool FolderWatch::Impl::waitForReturn()
{
    wdPath.clear();
    pathWd.clear();
    pendingMoves.clear();
    settling.clear();
    candidates.clear();
    delivered.clear();
    unseenFolders.clear();
    vanished.clear();
    for (;;) {
        pollfd fds[1] = {{wakeFd, POLLIN, 0}};
        poll(fds, 1, 500);
        if (stopping())
            return false;
        struct stat st
        {
        };
        if (stat(root.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
            access(root.constData(), R_OK | W_OK | X_OK) == 0 && startInotify())
            return true;
    }
}

void FolderWatch::Impl::run()
{
    // A fresh watch takes what is there as seen; only later writes count.
    qint64 countedBefore = std::numeric_limits<qint64>::max();
    bool resumed = false;
    for (;;) {
        bool gone = false;
        if (!usePolling) {
            const InotifyEnd end = runInotify(resumed);
            if (end == InotifyEnd::UsePolling) {
                usePolling = true;
                // Files written since the last event read may have gone unseen.
                countedBefore = lastBatchNs - 1000000000;
            }
            gone = end == InotifyEnd::FolderGone;
        }
        if (inotifyFd >= 0) {
            close(inotifyFd);
            inotifyFd = -1;
        }
        if (usePolling && !gone && !stopping()) {
            polling = true;
            gone = !runPolling(countedBefore);
        }
        if (!gone || stopping())
            break;
        running = false;
        if (!waitForReturn())
            break;
        // Everything in the folder that came back arrived after it went.
        resumed = true;
        countedBefore = std::numeric_limits<qint64>::min();
        polling = usePolling;
        running = true;
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
        if (!watchFolder(folder)) {
            unseenFolders.insert(folder);
            continue;
        }
        const bool listed =
            forEachEntry(folder, [&](const QByteArray& child, const struct stat& st) {
                if (S_ISDIR(st.st_mode)) {
                    if (!isIgnored(child + '/'))
                        folders.push_back(child);
                } else if (queueClosedFiles && S_ISREG(st.st_mode) &&
                           (topFilesToo || folder != relative) &&
                           nanoseconds(st.st_mtim) >= modifiedAfterNs) {
                    addCandidate(child);
                }
            });
        if (!listed)
            unseenFolders.insert(folder);
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

FolderWatch::Impl::InotifyEnd FolderWatch::Impl::runInotify(bool resumed)
{
    // Subfolders are watched one by one from here; a file closed in one of
    // them before its watch came counts as written after the start. The
    // root's own files are covered by its watch, in place since prepare().
    // A folder that came back holds nothing that was counted.
    if (resumed)
        watchTree({}, true, 0, true);
    else
        watchTree({}, true, startNs, false);
    ready = true;
    if (outOfWatches)
        return InotifyEnd::UsePolling;

    for (;;) {
        int timeout = candidateTimeoutMs();
        const auto sooner = [&timeout](int ms) {
            if (timeout < 0 || ms < timeout)
                timeout = ms;
        };
        if (!pendingMoves.isEmpty())
            sooner(20);
        if (!settling.isEmpty())
            sooner(250);
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
        overflowIfRequested();
        if (fds[1].revents & POLLIN)
            keepGoing = readEvents(end);
        if (!keepGoing)
            return end;
        expireMoves(polled == 0);
        checkCandidates();
        checkSettling();
        ++passes;
        vanished.removeIf([this](const auto& it) { return passes.load() > it.value() + 3; });
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
        overflowIfRequested();
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
            if (!isIgnored(path + '/'))
                watchTree(path, true, 0);
            return;
        }
        addCandidate(path);
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
        // From outside the tree, or from a place whose files are not photos
        // (rsync's .~tmp~, a hidden staging folder): written, as far as we
        // can tell.
        const bool fromOutside = it == pendingMoves.end() || isIgnored(it->path + '/');
        if (fromOutside) {
            if (it != pendingMoves.end()) {
                forgetPending(it->path, it->isFolder);
                pendingMoves.erase(it);
            }
            if (isFolder) {
                if (!isIgnored(path + '/'))
                    watchTree(path, true, 0);
            } else {
                deliverFile(path);
            }
            return;
        }
        const PendingMove from = *it;
        pendingMoves.erase(it);
        if (isFolder && isIgnored(path + '/')) {
            // Out of sight from now on, like a folder moved out of the tree.
            forgetPending(from.path, true);
            forgetTree(from.path);
            return;
        }
        renameEverywhere(from.path, path, isFolder);
        if (isFolder) {
            renameTree(from.path, path);
            // Renamed before it could be looked into: looked into now. What
            // was queued from it is known under its new name, and not again.
            const qsizetype unseen = unseenFolders.removeIf(
                [&from](const QByteArray& folder) { return isUnder(folder, from.path); });
            const qsizetype lost =
                vanished.removeIf([&from](const auto& it) { return isUnder(it.key(), from.path); });
            if (unseen > 0 || lost > 0)
                watchTree(path, true, 0);
            return;
        }
        // A close whose file had gone to this name by the time it was read;
        // or a save that writes a temporary name and renames it to the photo,
        // whose stamp as a temporary file may equal the photo's (a rename
        // within one tick of the file clock): it was never queued as a photo.
        const bool lost = vanished.remove(from.path);
        if (lost || (!passesPhotoFilter(QFile::decodeName(from.path)) &&
                     passesPhotoFilter(QFile::decodeName(path)))) {
            delivered.remove(path);
            deliverFile(path);
        }
    }
}

// Moves whose other half never came left the tree.
void FolderWatch::Impl::expireMoves(bool all)
{
    const auto now = std::chrono::steady_clock::now();
    for (auto it = pendingMoves.begin(); it != pendingMoves.end();) {
        if (all || it->deadline <= now) {
            forgetPending(it->path, it->isFolder);
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
            noteVanished(it.key());
            it = settling.erase(it);
            continue;
        }
        const FileStamp stamp = stampOf(st);
        if (!stamp.sameContent(it->stamp)) {
            it->stamp = stamp;
            it->since = now;
            it->incomplete = false;
            ++it;
        } else if (now - it->since >= std::chrono::seconds(1) && !it->incomplete) {
            // Still for a second, but a writer may only have paused: the
            // photo must also end where its format says it ends.
            QByteArray bytes;
            const PhotoLook look = readPhotoFile(QFile::decodeName(absolute(it.key())), bytes);
            if (look != PhotoLook::Ready) {
                it->incomplete = look == PhotoLook::NotWhole || look == PhotoLook::Empty;
                ++it;
                continue;
            }
            const QByteArray path = it.key();
            it = settling.erase(it);
            deliverIfChanged(path, stamp);
        } else {
            ++it;
        }
    }
}

// The test seam for a kernel queue overflow: what is pending is lost, as it
// would be, and the rescan has to find it.
void FolderWatch::Impl::overflowIfRequested()
{
    if (!overflowRequested.exchange(false))
        return;
    char scrap[64 * 1024];
    while (read(inotifyFd, scrap, sizeof scrap) > 0) {
    }
    rescanAfterOverflow();
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
    unseenFolders.clear();
    watchTree({}, true, since);
    for (auto it = before.constBegin(); it != before.constEnd(); ++it) {
        if (!wdPath.contains(it.key()))
            inotify_rm_watch(inotifyFd, it.key());
    }
}

// --- polling -----------------------------------------------------------------

// False when the root went away.
bool FolderWatch::Impl::runPolling(qint64 countedBeforeNs)
{
    struct Seen
    {
        FileStamp last;
        FileStamp counted;
        bool hasCounted = false;
        bool present = false;
        bool incomplete = false; // read at `last` and found cut short or empty
        // Scans that missed it. Kept for a while: a scan that crossed a
        // rename may miss the old name before it sees the new one.
        int missed = 0;
    };
    QHash<QByteArray, Seen> seen;
    QMultiHash<ino_t, QByteArray> byInode;
    bool firstScan = true;
    // A name seen for the first time may be a file known under another name
    // that is gone: renamed or moved (itself or a folder above it). What was
    // known follows it, a queued name included, so that it is neither counted
    // again nor looked for under its old name. A second name that stays is a
    // link: a file of its own here.
    const auto takeOverRenamed = [&](const QByteArray& child, Seen& s) {
        for (auto it = byInode.constFind(s.last.inode);
             it != byInode.constEnd() && it.key() == s.last.inode; ++it) {
            const QByteArray from = it.value();
            const auto old = seen.constFind(from);
            if (from == child || old == seen.constEnd() || !old->last.sameContent(s.last))
                continue;
            struct stat st
            {
            };
            if (lstat(absolute(from).constData(), &st) == 0 && st.st_ino == s.last.inode)
                continue;
            s.counted = old->counted;
            s.hasCounted = old->hasCounted;
            s.incomplete = old->incomplete;
            seen.erase(old);
            if (s.hasCounted)
                renameQueued(from, child, false);
            return;
        }
    };
    for (;;) {
        byInode.clear();
        for (auto it = seen.begin(); it != seen.end(); ++it) {
            it->present = false;
            byInode.insert(it->last.inode, it.key());
        }
        std::vector<QByteArray> folders{QByteArray()};
        bool rootOk = true;
        while (!folders.empty() && !stopping()) {
            const QByteArray folder = folders.back();
            folders.pop_back();
            const bool opened =
                forEachEntry(folder, [&](const QByteArray& child, const struct stat& st) {
                    if (S_ISDIR(st.st_mode)) {
                        if (!isIgnored(child + '/'))
                            folders.push_back(child);
                        return;
                    }
                    if (!S_ISREG(st.st_mode) || isIgnored(child))
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
                        if (!firstScan)
                            takeOverRenamed(child, s);
                        seen.insert(child, s);
                        return;
                    }
                    it->present = true;
                    if (!it->last.sameContent(stamp)) {
                        it->last = stamp;
                        it->incomplete = false;
                        return;
                    }
                    // Unchanged between two scans, and whole: its writer is
                    // done with it (a writer that only paused leaves it cut
                    // short).
                    if ((!it->hasCounted || !it->counted.sameContent(stamp)) && !it->incomplete) {
                        QByteArray bytes;
                        const PhotoLook look =
                            passesPhotoFilter(QFile::decodeName(child))
                                ? readPhotoFile(QFile::decodeName(absolute(child)), bytes)
                                : PhotoLook::Ready;
                        if (look != PhotoLook::Ready) {
                            it->incomplete =
                                look == PhotoLook::NotWhole || look == PhotoLook::Empty;
                            return;
                        }
                        it->counted = stamp;
                        it->hasCounted = true;
                        deliver(child);
                    }
                });
            if (!opened && folder.isEmpty())
                rootOk = false;
        }
        if (stopping())
            return true;
        if (!rootOk)
            return false;
        for (auto it = seen.begin(); it != seen.end();) {
            if (it->present)
                (it++)->missed = 0;
            else if (++it->missed > 2)
                it = seen.erase(it);
            else
                ++it;
        }
        firstScan = false;
        ready = true;
        ++passes;

        pollfd fds[1] = {{wakeFd, POLLIN, 0}};
        poll(fds, 1, options.pollIntervalMs);
        if (stopping())
            return true;
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

bool FolderWatch::mayReportRename(const QString& entry)
{
    // A folder gone is watched for its return only: nothing will be reported.
    if (!m_impl->running.load())
        return false;
    const quint64 now = m_impl->passes.load();
    // Names renamed meanwhile are asked about no more: forgotten in time.
    m_missingSince.removeIf([now](const auto& it) { return now > it.value() + 16; });
    const auto it = m_missingSince.constFind(entry);
    if (it == m_missingSince.constEnd()) {
        m_missingSince.insert(entry, now);
    } else if (now >= *it + 2) {
        m_missingSince.remove(entry);
        return false;
    }
    // Scans keep their own pace; events are read at once.
    if (!m_impl->polling.load())
        m_impl->wake();
    return true;
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
    if (!watchProblem(folderText).isEmpty())
        return nullptr;
    const QByteArray path = QFile::encodeName(normalisedFolder(folderText));
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
