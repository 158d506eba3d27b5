#include "core/FileNames.h"
#include "monitor/FolderWatchImpl.h"

namespace vellora {

using namespace watch;

// The inotify tree: a watch on every folder, move pairing, overflow rescans.

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
    renameKeys(unreadable, from, to, isFolder);
    renameQueued(from, to, isFolder);
}

void FolderWatch::Impl::renameQueued(const QByteArray& from, const QByteArray& to, bool isFolder)
{
    const QString oldName = decodeFileName(from);
    const QString newName = decodeFileName(to);
    std::lock_guard<std::mutex> lock(deliverLock);
    if (stopped)
        return;
    std::lock_guard<std::mutex> queueLock(state.queueLock);
    for (MonitorEntry& queued : state.monitorQueue) {
        QString& entry = queued.name;
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

// The inotify instance and the root's watch, or polling where inotify cannot
// serve. False when the root cannot be watched at all.
bool FolderWatch::Impl::startInotify()
{
    outOfWatches = false;
    if (!openRoot())
        return false;
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

bool FolderWatch::Impl::watchFolder(const QByteArray& relative)
{
    // Our share of the account's watches is used up: polled from now on,
    // like a tree that ran out of watches.
    if (wdPath.size() >= maxWatches && !pathWd.contains(relative)) {
        outOfWatches = true;
        return false;
    }
    const int wd = inotify_add_watch(inotifyFd, absolute(relative).constData(), kFolderMask);
    if (wd < 0) {
        const int error = errno;
        if (error == ENOSPC)
            outOfWatches = true;
        else if (error != ENOENT && error != ENOTDIR)
            noteUnwatched(relative, QStringLiteral("无法监控：") +
                                        QString::fromLocal8Bit(std::strerror(error)));
        errno = error;
        return false;
    }
    const auto old = wdPath.constFind(wd);
    if (old != wdPath.constEnd() && *old != relative)
        pathWd.remove(*old);
    wdPath.insert(wd, relative);
    pathWd.insert(relative, wd);
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
        if (depthOf(folder) > kMaxWatchDepth) {
            // Watched again if it is moved up the tree.
            unseenFolders.insert(folder);
            noteUnwatched(folder, QStringLiteral("比监控目录深 %1 层，只监控 %2 层以内")
                                      .arg(depthOf(folder))
                                      .arg(kMaxWatchDepth));
            continue;
        }
        // The watch comes first, so that nothing written after the listing
        // goes unseen.
        if (!watchFolder(folder)) {
            unseenFolders.insert(folder);
            continue;
        }
        if (unwatched.contains(folder))
            forgetUnwatched(folder);
        const bool listed =
            forEachEntry(folder, [&](const QByteArray& child, const struct stat& st) {
                if (S_ISDIR(st.st_mode)) {
                    if (!isIgnored(child + '/'))
                        folders.push_back(child);
                } else if (queueClosedFiles && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) &&
                           (topFilesToo || folder != relative) &&
                           nanoseconds(st.st_mtim) >= modifiedAfterNs) {
                    addCandidate(child);
                }
            });
        if (!listed) {
            const int error = errno;
            unseenFolders.insert(folder);
            if (error != ENOENT && error != ENOTDIR && error != ELOOP)
                noteUnwatched(folder, QStringLiteral("无法读取：") +
                                          QString::fromLocal8Bit(std::strerror(error)));
        }
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
    forgetUnwatched(relative);
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
    const qsizetype before = unwatched.size();
    renameKeys(unwatched, from, to, true);
    gapsChanged = gapsChanged || before > 0;
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
    publishGaps();
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
        // Let go of the root while waiting: a folder held open is not gone
        // for inotify, which reports its deletion only once nothing holds it.
        rootFd.reset();
        const int polled = poll(fds, 2, timeout);
        if (stopping())
            return InotifyEnd::Stopped;
        if (!openRoot())
            return InotifyEnd::FolderGone;
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
        publishGaps();
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

    if (event.mask & IN_ATTRIB) {
        if (isFolder)
            return;
        if (unreadable.remove(path)) {
            // Reported unreadable before: the same stamp counts again.
            delivered.remove(path);
            deliverFile(path);
        } else if (const auto it = candidates.find(path);
                   it != candidates.end() && it->unreadableSince) {
            it->due = std::chrono::steady_clock::now();
        }
        return;
    }
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
        if (lost || (!passesPhotoFilter(decodeFileName(from.path)) &&
                     passesPhotoFilter(decodeFileName(path)))) {
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
    unwatched.clear();
    gapsChanged = true;
    watchTree({}, true, since);
    for (auto it = before.constBegin(); it != before.constEnd(); ++it) {
        if (!wdPath.contains(it.key()))
            inotify_rm_watch(inotifyFd, it.key());
    }
}

} // namespace vellora
