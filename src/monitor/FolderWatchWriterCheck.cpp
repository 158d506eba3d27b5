#include "monitor/FolderWatchImpl.h"

namespace vellora {

using namespace watch;

// The writer check: a file counts once no writer holds it (its close, a lease,
// or settling and looking whole).

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
    if (!statBeneath(relative, st)) {
        noteVanished(relative);
        return;
    }
    // A link is never followed, but never passed over in silence either:
    // the tick reports it (不跟随链接).
    if (S_ISLNK(st.st_mode)) {
        deliverIfChanged(relative, stampOf(st));
        return;
    }
    if (!S_ISREG(st.st_mode) || st.st_size == 0)
        return;
    // A writer may set the permissions only after its close (or never):
    // looked at again for a while before the tick is left to report it.
    int openError = 0;
    const int fd = openBeneath(rootFd.get(), relative, O_RDONLY | O_NONBLOCK, &openError);
    if (fd >= 0)
        close(fd);
    else if (openError == EACCES) {
        addCandidate(relative);
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
    deliver(relative, stamp);
}

constexpr int kFirstLookAfterMs = 50;
constexpr int kLongestLookIntervalMs = 2000;

void FolderWatch::Impl::addCandidate(const QByteArray& relative)
{
    if (isIgnored(relative) || candidates.contains(relative))
        return;
    candidates.insert(
        relative, {std::chrono::steady_clock::now() + std::chrono::milliseconds(kFirstLookAfterMs),
                   kFirstLookAfterMs, std::nullopt});
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
    int openError = 0;
    const int fd = openBeneath(rootFd.get(), relative, O_RDONLY | O_NONBLOCK, &openError);
    if (fd < 0) {
        // Swapped for a link, or below a folder that now is one: never
        // followed, and not a photo of this tree.
        if (openError == ELOOP)
            return Look::Done;
        // Another program's lease (EWOULDBLOCK) or permissions not set yet
        // (EACCES): not a reason to drop the file.
        if (openError == EACCES)
            return Look::Unreadable;
        if (openError != ENOENT && openError != ENOTDIR)
            return Look::Retry;
        errno = openError;
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
        if (statBeneath(it.key(), st) && S_ISLNK(st.st_mode)) {
            const QByteArray path = it.key();
            it = candidates.erase(it);
            deliverFile(path);
            continue;
        }
        if (!S_ISREG(st.st_mode)) {
            noteVanished(it.key());
            it = candidates.erase(it);
            continue;
        }
        const Look look = lookAgain(it.key(), stampOf(st));
        if (look == Look::Done || look == Look::Settling) {
            it = candidates.erase(it);
            continue;
        }
        if (look == Look::Unreadable) {
            if (!it->unreadableSince) {
                it->unreadableSince = now;
            } else if (now - *it->unreadableSince >=
                       std::chrono::milliseconds(kUnreadableReportAfterMs)) {
                // Never silently: the tick tries it and says why it cannot.
                const QByteArray path = it.key();
                it = candidates.erase(it);
                if (unreadable.size() > 10000)
                    unreadable.clear();
                unreadable.insert(path, true);
                deliverIfChanged(path, stampOf(st));
                continue;
            }
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

void FolderWatch::Impl::checkSettling()
{
    const auto now = std::chrono::steady_clock::now();
    for (auto it = settling.begin(); it != settling.end();) {
        struct stat st
        {
        };
        if (!statBeneath(it.key(), st) || !S_ISREG(st.st_mode)) {
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
            const PhotoStamp expected = stamp.photoStamp();
            const PhotoLook look =
                readPhotoBeneath(rootFd.get(), it.key(), &expected, QSize(1, 1), bytes);
            // A picture that can never be drawn is done too: the tick says so.
            if (look != PhotoLook::Ready && look != PhotoLook::NotPicture) {
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

} // namespace vellora
