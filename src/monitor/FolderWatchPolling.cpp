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
                ++it;
            else
                it = seen.erase(it);
        }
        firstScan = false;
        ready = true;

        pollfd fds[1] = {{wakeFd, POLLIN, 0}};
        poll(fds, 1, options.pollIntervalMs);
        if (stopping())
            return true;
        uint64_t count = 0;
        [[maybe_unused]] const auto n = read(wakeFd, &count, sizeof count);
    }
}

} // namespace vellora
