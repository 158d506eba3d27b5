#include "core/FileNames.h"
#include "monitor/FolderWatchImpl.h"

namespace vellora {

using namespace watch;

// Polling, where inotify cannot serve (remote file systems, no watches left).

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
            if (statBeneath(from, st) && st.st_ino == s.last.inode)
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
        QHash<QByteArray, QString> gaps;
        while (!folders.empty() && !stopping()) {
            const QByteArray folder = folders.back();
            folders.pop_back();
            const bool opened = forEachEntry(folder, [&](const QByteArray& child,
                                                         const struct stat& st) {
                if (S_ISDIR(st.st_mode)) {
                    if (isIgnored(child + '/'))
                        return;
                    if (depthOf(child) > kMaxWatchDepth)
                        gaps.insert(child, QStringLiteral("比监控目录深 %1 层，只监控 %2 层以内")
                                               .arg(depthOf(child))
                                               .arg(kMaxWatchDepth));
                    else
                        folders.push_back(child);
                    return;
                }
                if (S_ISLNK(st.st_mode) && !isIgnored(child)) {
                    // Never followed; reported by the tick once it appears.
                    if (firstScan && nanoseconds(st.st_mtim) < countedBeforeNs)
                        delivered.insert(child, stampOf(st));
                    else
                        deliverIfChanged(child, stampOf(st));
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
                    const PhotoStamp expected = stamp.photoStamp();
                    const PhotoLook look =
                        passesPhotoFilter(decodeFileName(child))
                            ? readPhotoBeneath(rootFd.get(), child, &expected, QSize(1, 1), bytes)
                            : PhotoLook::Ready;
                    // A picture that can never be drawn is done too: the
                    // tick says so.
                    if (look != PhotoLook::Ready && look != PhotoLook::NotPicture) {
                        it->incomplete = look == PhotoLook::NotWhole || look == PhotoLook::Empty;
                        return;
                    }
                    it->counted = stamp;
                    it->hasCounted = true;
                    deliver(child, stamp);
                }
            });
            if (!opened && folder.isEmpty())
                rootOk = false;
            else if (!opened && errno != ENOENT && errno != ENOTDIR && errno != ELOOP)
                gaps.insert(folder, QStringLiteral("无法读取：") +
                                        QString::fromLocal8Bit(std::strerror(errno)));
        }
        if (stopping())
            return true;
        if (!rootOk)
            return false;
        if (gaps != unwatched) {
            unwatched = gaps;
            gapsChanged = true;
            publishGaps();
        }
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

} // namespace vellora
