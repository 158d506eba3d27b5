#include "monitor/MonitorCycle.h"

#include "core/AppState.h"
#include "core/FileNames.h"
#include "core/ProgramFolder.h"
#include "monitor/FolderWatcher.h"
#include "monitor/MonitorJournal.h"
#include "monitor/MonitorTimer.h"
#include "monitor/PhotoCheck.h"
#include "sheet/PictureHandle.h"
#include "sheet/SheetGeometry.h"
#include "sheet/SheetRenderer.h"

#include "core/SafeFile.h"

#include <QFile>

#include <algorithm>
#include <mutex>

#include <fcntl.h>

namespace vellora {

OutputBusy::OutputBusy(AppState& state) : m_state(state)
{
    ++m_state.outputBusy;
}

OutputBusy::~OutputBusy()
{
    --m_state.outputBusy;
}

namespace {

QString photoPath(const AppState& state, const QString& entry)
{
    return normalisedFolder(state.monitorFolder) + u'/' + entry;
}

// The name a photo taken from the queue has now, after the renames seen
// since (queueLock held).
QString followRenamesLocked(const AppState& state, const QString& entry)
{
    QString name = entry;
    for (const MonitorRename& r : std::as_const(state.monitorRenames)) {
        if (name == r.from)
            name = r.to;
        else if (r.isFolder && name.startsWith(r.from) && name.size() > r.from.size() &&
                 name[r.from.size()] == u'/')
            name = r.to + name.mid(r.from.size());
    }
    return name;
}

QString followRenames(AppState& state, const QString& entry)
{
    std::lock_guard<std::mutex> lock(state.queueLock);
    return followRenamesLocked(state, entry);
}

enum class Check { Lay, Skip, Later };

// Only a whole picture is laid out: a copy of nothing would waste a cell of
// photo paper, or a whole sheet. Only the file the watcher reported is read,
// opened from the hot folder without following a link: the folder is open to
// other accounts, and a name swapped meanwhile for a link to someone else's
// picture must never reach the printer. Never blocks on another program's
// lease or oplock: such a photo waits for the next tick. The bytes read are
// the ones the pass draws, so the photo is opened once.
Check checkPhoto(AppState& state, const FileDescriptor& folder, MonitorEntry& entry,
                 QByteArray& bytes, QString& reason)
{
    if (!entry.stamp.isKnown()) {
        reason = QStringLiteral("监控没有看到它写完");
        return Check::Skip;
    }
    if (!folder.isValid()) {
        reason = QStringLiteral("监控目录打不开");
        return Check::Skip;
    }
    const QSize cell = largestCell(state.currentTemplate);
    QString why;
    PhotoLook look = readPhotoBeneath(folder.get(), fileNameBytesIn(folder.get(), entry.name),
                                      &entry.stamp, cell, bytes, &why);
    if (look == PhotoLook::Gone) {
        const QString renamed = followRenames(state, entry.name);
        if (renamed != entry.name) {
            entry.name = renamed;
            look = readPhotoBeneath(folder.get(), fileNameBytesIn(folder.get(), entry.name),
                                    &entry.stamp, cell, bytes, &why);
        }
    }
    switch (look) {
    case PhotoLook::Ready:
        break;
    case PhotoLook::Busy:
        return Check::Later;
    case PhotoLook::Gone:
        // Renamed or moved before the watcher could say so (polling sees it
        // at its next scan): it waits until the watcher has looked.
        if (state.watchHandle && state.watchHandle->mayReportRename(entry.name))
            return Check::Later;
        reason = QStringLiteral("文件已不在");
        return Check::Skip;
    case PhotoLook::Unreadable:
        reason = QStringLiteral("无法读取：") + why;
        return Check::Skip;
    case PhotoLook::Empty:
        reason = QStringLiteral("空文件");
        return Check::Skip;
    case PhotoLook::NotWhole:
        reason = QStringLiteral("文件不完整");
        return Check::Skip;
    case PhotoLook::Link:
        reason = QStringLiteral("不跟随链接：") + why;
        return Check::Skip;
    case PhotoLook::Changed:
        reason = QStringLiteral("不是监控看到写完的那个文件：") + why;
        return Check::Skip;
    case PhotoLook::NotPicture:
        reason = QStringLiteral("不是可用的图片：") + why;
        return Check::Skip;
    }
    if (PictureHandle::fromBytes(bytes, QSize(64, 64)).isNull()) {
        reason = QStringLiteral("不是可用的图片");
        return Check::Skip;
    }
    return Check::Lay;
}

} // namespace

QSize largestCell(const LayoutTemplate& t)
{
    QSize cell(std::max(t.size1.width, 1), std::max(t.size1.height, 1));
    if (t.twoSize != 0)
        cell = cell.expandedTo(QSize(t.size2.width, t.size2.height));
    return cell;
}

QString templateHoldReason(const AppState& state)
{
    const LayoutTemplate& t = state.currentTemplate;
    const SheetLayout layout = computeSheetLayout(t, state.windows.numberOutsideChecked.load());
    if (layout.capacity <= 0 && (t.twoSize == 0 || layout.size2.isEmpty()))
        return QStringLiteral("排版模板“%1”没有可排的照片位置，照片留在队列中").arg(t.name);
    if (t.twoSize == 0 && t.outputCount <= 0)
        return QStringLiteral("排版模板“%1”的照片输出张数为0，照片留在队列中").arg(t.name);
    return {};
}

void monitorTick(AppState& state, MonitorTimer& timer)
{
    monitorTick(state, timer, TickObserver{});
}

void monitorTick(AppState& state, MonitorTimer& timer,
                 const std::function<void(const QString& entry)>& onPhoto)
{
    TickObserver observer;
    observer.photo = onPhoto;
    monitorTick(state, timer, observer);
}

void monitorTick(AppState& state, MonitorTimer& timer, const TickObserver& observer)
{
    // Raised inside a nested event loop of a tick or a print (the print
    // dialog), while a pass runs on another thread, or over the settings
    // window's board: the timer keeps running, so this tick comes again.
    if (state.outputBusy.load() > 0 || state.windows.settingsShown.load())
        return;
    std::unique_lock<std::recursive_mutex> pass(state.layoutLock, std::try_to_lock);
    if (!pass.owns_lock())
        return;
    const QString hold = templateHoldReason(state);
    if (!hold.isEmpty()) {
        if (observer.holding)
            observer.holding(hold);
        return;
    }
    const OutputBusy busy(state);

    // Stopped first: whatever the watcher reports from now on arms a new tick.
    timer.setPeriod(0);

    MonitorQueue entries{MonitorEntry()};
    {
        std::lock_guard<std::mutex> lock(state.queueLock);
        entries.swap(state.monitorQueue);
        state.monitorRenames.clear();
    }

    // Held for the tick: every photo is opened from this folder down. While
    // watching, it is the folder the watcher resolved, and a link put in its
    // place since is not followed.
    const FileDescriptor folder =
        state.watchHandle
            ? FileDescriptor(open(state.watchHandle->rootPath().constData(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC))
            : FileDescriptor(open(QFile::encodeName(normalisedFolder(state.monitorFolder)),
                                  O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    MonitorJournal* journal = state.journal.get();
    // Counted before anything is done with them: a crash from here on leaves
    // them queued in the ledger, for the next start.
    if (journal)
        journal->recordArrivals(folder.get(), entries);
    MonitorQueue later;
    for (MonitorEntry queued : std::as_const(entries)) {
        if (queued.name.isEmpty())
            continue;
        QString reason;
        QByteArray bytes;
        Check check = checkPhoto(state, folder, queued, bytes, reason);
        const QString& entry = queued.name;
        if (check == Check::Later) {
            later << queued;
            continue;
        }
        // The same bytes again (a save over the photo, a copy made twice):
        // printing them again would only waste paper.
        if (check == Check::Lay && journal && journal->printedBefore(queued, bytes)) {
            reason = QStringLiteral("与已打印的照片完全相同，不再打印");
            check = Check::Skip;
        }
        if (check == Check::Skip) {
            if (journal)
                journal->notLaidOut(queued, reason, bytes);
            if (observer.skipped)
                observer.skipped(entry, reason);
            continue;
        }
        if (observer.photo)
            observer.photo(entry);
        state.pendingSheet.copiesLeft =
            queued.copies > 0 ? queued.copies : state.currentTemplate.outputCount;
        // Drawn from the bytes just read: a second open could wait on a lease
        // another program took meanwhile.
        const PreparedPhoto read{photoPath(state, entry), QSize(), QImage(), bytes};
        // A sheet filled and printed before every copy found a cell: the rest
        // start the fresh sheet, as many sheets as the copies need.
        do {
            if (journal)
                journal->beginPass(queued, bytes);
            layOutPhoto(state, entry, &read);
            if (journal)
                journal->endPass();
        } while (state.currentTemplate.twoSize == 0 && state.pendingSheet.copiesLeft > 0 &&
                 state.windows.monitoring.load());
    }
    if (!later.isEmpty()) {
        // Held by another program for now, or not found yet: first in line at
        // the next tick, under the names they have now.
        std::lock_guard<std::mutex> lock(state.queueLock);
        for (MonitorEntry& entry : later)
            entry.name = followRenamesLocked(state, entry.name);
        state.monitorQueue = MonitorQueue{MonitorEntry()} + later + state.monitorQueue.mid(1);
        timer.setPeriod(500);
    }
}

void layOutPhoto(AppState& state, const QString& entry, const PreparedPhoto* read)
{
    state.currentPhotoPath = photoPath(state, entry);
    layOutCurrentPhoto(state, read);
    state.currentPhotoPath = state.monitorFolder;
}

} // namespace vellora
