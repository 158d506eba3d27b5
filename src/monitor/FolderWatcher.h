#pragma once

#include "core/MonitorEntry.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <thread>

namespace vellora {

struct AppState;

// A running watch of a folder tree; the "watch handle". Destroying the last
// reference stops it without waiting on the caller's thread.
class FolderWatch;

// How a tree is watched. Remote file systems (NFS, SMB/CIFS, FUSE, …) and a
// tree that runs out of inotify watches are always polled.
struct WatchOptions
{
    bool forcePolling = false; // poll even a local folder (the CLI's --poll, tests)
    int pollIntervalMs = 1000; // one scan per interval while polling
    // Act as if no lease could ever be taken (photos owned by another account
    // without CAP_LEASE, file systems without leases): the settle time and the
    // completeness check decide instead. For tests and `watch --no-leases`.
    bool noLeases = false;
    // A folder inside the tree whose files are never photos (the program's
    // own 未打印, where unprinted sheets are kept).
    QString excludedFolder;
    // Called on the watcher thread just before it checks whether a file still
    // has a writer (tests use it to act at that exact moment).
    std::function<void(const QByteArray& relative)> beforeWriterCheck;
    // Most inotify watches the tree may take; past it the tree is polled.
    // 0: half of the kernel's max_user_watches, which the account's other
    // programs share (the desktop's file manager, the system's own watches).
    int maxWatches = 0;
};

// Folders more levels than this below the hot folder are neither watched nor
// scanned: a tree made deep on purpose cannot take every watch there is.
inline constexpr int kMaxWatchDepth = 64;

// Folders of the tree whose photos are never seen, and why.
struct WatchGaps
{
    int folders = 0;   // how many
    QStringList named; // the first few, "folder（why）", by name
    bool operator==(const WatchGaps&) const = default;
};

// What the operator is told about them; empty when every folder is watched.
QString watchGapsNotice(const WatchGaps& gaps);

// Asks the UI thread to set the monitor timer's period to 500 ms. Must post
// and return at once (it is called with queueLock held).
using ArmMonitorTimer = std::function<void()>;

// The folder a typed text names: one trailing "/" or "\" taken off ("/"
// itself stays). The watch and the layout of its photos both use this.
QString normalisedFolder(const QString& folderText);

// Why a folder text cannot be watched, for the operator; empty when it can.
QString watchProblem(const QString& folderText);

// Files other tools make beside or instead of photos, never photos
// themselves: AppleDouble "._" sidecars and anything inside a hidden folder
// (rsync's .~tmp~ and partial folders, trash folders, …).
bool isToolArtefact(const QByteArray& relative);

// Starts watching the folder and every folder below it. Returns null when the
// folder does not exist or cannot be read and written (watchProblem says why).
// When the folder is deleted later, the watch waits for it to come back and
// then counts every photo in it.
std::shared_ptr<FolderWatch> startWatch(AppState& state, const QString& folderText,
                                        ArmMonitorTimer arm);
std::shared_ptr<FolderWatch> startWatch(AppState& state, const QString& folderText,
                                        ArmMonitorTimer arm, const WatchOptions& options);

// Starts the closing of the watch and empties the handle at once.
void stopWatch(std::shared_ptr<FolderWatch>& handle);

// The filter and append step for one change report, under queueLock: only
// action 3 (modified) counts; it arms the timer for every such file; names
// whose last three bytes are jpg/bmp/JPG/BMP and differ from the last queue
// entry are appended.
inline constexpr int kActionModified = 3;
// A name equal to the last entry's takes on the newer stamp instead.
void queueChangedFile(AppState& state, int action, const QString& name, const ArmMonitorTimer& arm,
                      const PhotoStamp& stamp = {});

// The photo filter of queueChangedFile: the last three GBK bytes of the name
// are exactly jpg, bmp, JPG or BMP (no dot check).
bool passesPhotoFilter(const QString& name);

class FolderWatch
{
public:
    struct Impl;
    FolderWatch(std::shared_ptr<Impl> impl, std::thread thread);
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // True while the tree is watched by scanning instead of inotify.
    bool isPolling() const;
    // False while the folder is gone (deleted or unreachable); the watch
    // waits for it to return and is running again once it has.
    bool isRunning() const;
    // The watched folder's real path, links resolved once at the start.
    QByteArray rootPath() const;
    // True once every folder of the tree is watched (or the first scan is
    // done); changes before that in folders below the root may be reported
    // out of order.
    bool isReady() const;
    // Makes the watcher thread handle an inotify queue overflow as if the
    // kernel had reported one: the changes it has not read yet are lost
    // (for tests).
    void simulateOverflow();
    // The folders that cannot be watched right now (too deep, a path too
    // long, no permission). Any thread.
    WatchGaps gaps() const;

    // Whether a queued file the tick found gone may still be reported as
    // renamed: a rename is seen only when the watcher next reads its events
    // or, polling, scans the tree. True until it has done so twice since the
    // first question about the name. UI thread.
    bool mayReportRename(const QString& entry);

private:
    std::shared_ptr<Impl> m_impl;
    std::thread m_thread;
    QHash<QString, quint64> m_missingSince; // entry → passes when first asked
};

} // namespace vellora
