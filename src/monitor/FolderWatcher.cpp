#include "core/FileNames.h"
#include "monitor/FolderWatchImpl.h"

namespace vellora {

using namespace watch;

bool watch::isRemoteFileSystem(const QByteArray& path)
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

QString watchGapsNotice(const WatchGaps& gaps)
{
    if (gaps.folders <= 0)
        return {};
    QString text = QStringLiteral("%1 个文件夹无法监控，其中的照片不会排版：").arg(gaps.folders) +
                   gaps.named.join(QStringLiteral("、"));
    if (gaps.folders > gaps.named.size())
        text += QStringLiteral(" 等");
    return text;
}

void queueChangedFile(AppState& state, int action, const QString& name, const ArmMonitorTimer& arm,
                      const PhotoStamp& stamp)
{
    std::lock_guard<std::mutex> lock(state.queueLock);
    if (action != kActionModified)
        return;
    if (arm)
        arm();
    if (!passesPhotoFilter(name))
        return;
    if (!state.monitorQueue.isEmpty() && state.monitorQueue.constLast().name == name) {
        // Written again before the tick came: the file as it is now.
        state.monitorQueue.last().stamp = stamp;
        return;
    }
    state.monitorQueue.append({name, stamp});
    if (arm)
        arm();
}

void FolderWatch::Impl::deliver(const QByteArray& relative, const FileStamp& stamp)
{
    std::lock_guard<std::mutex> lock(deliverLock);
    if (stopped)
        return;
    queueChangedFile(state, kActionModified, decodeFileName(relative), arm, stamp.photoStamp());
}

bool FolderWatch::Impl::openRoot()
{
    // root is the real path found at the start: a link there now was put
    // there since, by whoever may write its parent.
    rootFd.reset(open(root.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return rootFd.isValid();
}

int FolderWatch::Impl::openFolder(const QByteArray& folder) const
{
    if (!folder.isEmpty())
        return openBeneath(rootFd.get(), folder, O_RDONLY | O_DIRECTORY);
    // By its path, so that a root deleted (or replaced) is noticed.
    const int fd = open(root.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat now
    {
    }, held{};
    if (fd >= 0 && (fstat(fd, &now) != 0 || fstat(rootFd.get(), &held) != 0 ||
                    now.st_dev != held.st_dev || now.st_ino != held.st_ino)) {
        close(fd);
        errno = ENOENT;
        return -1;
    }
    return fd;
}

bool FolderWatch::Impl::statBeneath(const QByteArray& relative, struct stat& st) const
{
    const qsizetype slash = relative.lastIndexOf('/');
    if (slash < 0)
        return fstatat(rootFd.get(), relative.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    int error = 0;
    const FileDescriptor folder(
        openBeneath(rootFd.get(), relative.left(slash), O_RDONLY | O_DIRECTORY, &error));
    if (!folder.isValid()) {
        // A folder on the way swapped for a link: the file is not there.
        errno = error == ELOOP ? ENOTDIR : error;
        return false;
    }
    return fstatat(folder.get(), relative.mid(slash + 1).constData(), &st, AT_SYMLINK_NOFOLLOW) ==
           0;
}

void FolderWatch::Impl::publishGaps()
{
    if (!gapsChanged)
        return;
    gapsChanged = false;
    WatchGaps gaps;
    gaps.folders = int(unwatched.size());
    QList<QByteArray> folders = unwatched.keys();
    std::sort(folders.begin(), folders.end());
    for (const QByteArray& folder : folders) {
        if (gaps.named.size() >= 5)
            break;
        gaps.named << decodeFileName(folder) + QStringLiteral("（") + unwatched.value(folder) +
                          QStringLiteral("）");
    }
    std::lock_guard<std::mutex> lock(gapsLock);
    if (!(gaps == publishedGaps))
        publishedGaps = std::move(gaps);
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
    maxWatches = options.maxWatches;
    if (maxWatches <= 0) {
        // Read, never raised: the limit is the machine's administrator's.
        QFile limit(QStringLiteral("/proc/sys/fs/inotify/max_user_watches"));
        const int kernel = limit.open(QIODevice::ReadOnly) ? limit.readAll().trimmed().toInt() : 0;
        maxWatches = kernel > 1 ? kernel / 2 : 4096;
    }
    return startInotify();
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
    unwatched.clear();
    gapsChanged = true;
    publishGaps();
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

QByteArray FolderWatch::rootPath() const
{
    return m_impl->root;
}

bool FolderWatch::isReady() const
{
    return m_impl->ready.load();
}

WatchGaps FolderWatch::gaps() const
{
    std::lock_guard<std::mutex> lock(m_impl->gapsLock);
    return m_impl->publishedGaps;
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
