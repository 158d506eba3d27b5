#include "monitor/MonitorJournal.h"

#include "core/AppState.h"
#include "core/Config.h"
#include "core/FileNames.h"
#include "core/ProgramFolder.h"
#include "core/SafeFile.h"
#include "monitor/FolderWatcher.h"
#include "monitor/MonitorCycle.h"
#include "monitor/PhotoCheck.h"
#include "printing/PrinterDevice.h"
#include "printing/Printing.h"
#include "sheet/SheetGeometry.h"
#include "sheet/SheetRenderer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <csignal>
#include <mutex>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellora {

namespace {

constexpr int kHeartbeatMs = 5000;
// A photo counted by the watcher reaches the ledger at the next tick, after
// its writer's settling time; one written this long before the last heartbeat
// may still have been on its way when monitoring was cut off.
constexpr qint64 kCatchUpSlackMs = 60 * 1000;

// IPP job-state values of a job the printing system gave up.
constexpr int kJobCanceled = 7;
constexpr int kJobAborted = 8;

PhotoStamp stampOf(const struct stat& st)
{
    PhotoStamp stamp;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.size = st.st_size;
    stamp.mtimeNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return stamp;
}

PhotoIdentity identityOf(const MonitorEntry& entry, const QByteArray& bytes)
{
    PhotoIdentity identity;
    if (bytes.isEmpty())
        return identity;
    identity.size = bytes.size();
    identity.mtimeNs = entry.stamp.mtimeNs;
    identity.inode = entry.stamp.inode;
    identity.device = entry.stamp.device;
    identity.sha256 = photoDigest(bytes);
    return identity;
}

// A test seam: the process kills itself at a step of the hand-off, as a crash
// or a power cut would, so that a restart's reconciliation can be proven.
void crashPointFor(const char* step)
{
    static const QByteArray where = qgetenv("VELLORA_TEST_KILL_AT");
    if (!where.isEmpty() && where == step)
        raise(SIGKILL);
}

// The hot folder as the ledger names it: absolute, whatever folder the
// monitor was started from, so that a reprint asked from elsewhere finds it.
QString ledgerFolder(const QString& folderText)
{
    return QDir::cleanPath(QFileInfo(normalisedFolder(folderText)).absoluteFilePath());
}

FileDescriptor openHotFolder(const AppState& state, const QString& hotFolder)
{
    if (state.watchHandle && ledgerFolder(state.monitorFolder) == hotFolder)
        return FileDescriptor(open(state.watchHandle->rootPath().constData(),
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return FileDescriptor(open(QFile::encodeName(hotFolder), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

} // namespace

LedgerWrite queueReprint(PrintLedger& ledger, qint64 photoId, int copies)
{
    LedgerWrite result;
    const LedgerResult<std::optional<LedgerPhoto>> found = ledger.photo(photoId);
    if (!found.ok() || !found.value) {
        result.error =
            found.ok() ? QStringLiteral("打印记录里没有照片 %1").arg(photoId) : found.error;
        return result;
    }
    const LedgerPhoto& photo = *found.value;
    const QString shown = photo.hotFolder + u'/' + decodeFileName(photo.path);
    if (copies < 1) {
        result.error = QStringLiteral("加印份数必须至少为 1");
        return result;
    }
    // Looked at without following a link, as the tick will read it.
    const FileDescriptor folder(
        open(QFile::encodeName(photo.hotFolder), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const FileDescriptor file(
        folder.isValid() ? openBeneath(folder.get(), photo.path, O_RDONLY | O_NONBLOCK) : -1);
    struct stat st
    {
    };
    if (!file.isValid() || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        result.error = QStringLiteral("照片已不在：%1").arg(shown);
        return result;
    }
    return ledger.recordPhotoQueued(photo.hotFolder, photo.path, copies, true);
}

namespace {

// Which sheets the operator may decide about.
QString refusedForOperator(const LedgerSheet& sheet)
{
    switch (sheet.state) {
    case SheetState::Filling:
        return QStringLiteral("相纸 %1 还在排版").arg(sheet.id);
    case SheetState::Kept:
        return QStringLiteral("相纸 %1 在等打印机，打印机恢复后自动打印").arg(sheet.id);
    case SheetState::Handed:
        return sheet.held ? QString()
                          : QStringLiteral("相纸 %1 正在打印（打印机“%2”的作业 %3）")
                                .arg(sheet.id)
                                .arg(sheet.printer)
                                .arg(sheet.jobId);
    case SheetState::Printed:
    case SheetState::Discarded:
        return QString();
    }
    return QString();
}

LedgerResult<LedgerSheet> sheetForOperator(PrintLedger& ledger, qint64 sheetId)
{
    LedgerResult<LedgerSheet> result;
    const LedgerResult<std::optional<LedgerSheet>> found = ledger.sheet(sheetId);
    if (!found.ok() || !found.value)
        result.error =
            found.ok() ? QStringLiteral("打印记录里没有相纸 %1").arg(sheetId) : found.error;
    else if (const QString refused = refusedForOperator(*found.value); !refused.isEmpty())
        result.error = refused;
    else
        result.value = *found.value;
    return result;
}

} // namespace

LedgerWrite reprintSheet(PrintLedger& ledger, qint64 sheetId)
{
    LedgerWrite result;
    const LedgerResult<LedgerSheet> sheet = sheetForOperator(ledger, sheetId);
    if (!sheet.ok()) {
        result.error = sheet.error;
        return result;
    }
    if (sheet.value.placements.isEmpty()) {
        result.error = QStringLiteral("相纸 %1 上没有照片").arg(sheetId);
        return result;
    }
    if (const LedgerWrite begun = ledger.beginBatch(); !begun.ok())
        return begun;
    for (const LedgerPlacement& placed : sheet.value.placements) {
        const LedgerWrite queued = queueReprint(ledger, placed.photoId, placed.cells.count);
        if (!queued.ok()) {
            ledger.rollbackBatch();
            return queued;
        }
    }
    if (sheet.value.held) {
        const LedgerWrite done = ledger.sheetDiscarded(
            sheetId,
            QStringLiteral("已重新打印：照片按原份数加印") +
                (sheet.value.reason.isEmpty() ? QString()
                                              : QStringLiteral("（") + sheet.value.reason + u'）'));
        if (!done.ok()) {
            ledger.rollbackBatch();
            return done;
        }
    }
    return ledger.commitBatch();
}

LedgerWrite giveUpSheet(PrintLedger& ledger, qint64 sheetId)
{
    LedgerWrite result;
    const LedgerResult<LedgerSheet> sheet = sheetForOperator(ledger, sheetId);
    if (!sheet.ok()) {
        result.error = sheet.error;
        return result;
    }
    if (!sheet.value.held) {
        result.error = QStringLiteral("相纸 %1 没有等待处理").arg(sheetId);
        return result;
    }
    return ledger.sheetDiscarded(sheetId, QStringLiteral("操作员放弃：") + sheet.value.reason);
}

QString MonitorRecovery::summary() const
{
    QStringList parts;
    if (crashed)
        parts << QStringLiteral("上次监控意外中断");
    if (restoredCells > 0)
        parts << QStringLiteral("未打满的相纸已恢复（%1 格）").arg(restoredCells);
    if (sheetsPrinted > 0)
        parts << QStringLiteral("补打 %1 张相纸").arg(sheetsPrinted);
    if (photosQueued > 0)
        parts << QStringLiteral("%1 张排队的照片继续排版").arg(photosQueued);
    if (photosCaughtUp > 0)
        parts << QStringLiteral("%1 张中断期间到达的照片补排").arg(photosCaughtUp);
    parts << notices;
    return parts.join(QStringLiteral("；"));
}

MonitorJournal::MonitorJournal(AppState& state) : m_state(state)
{
    m_heartbeat.setInterval(kHeartbeatMs);
    QObject::connect(&m_heartbeat, &QTimer::timeout, [this] { heartbeat(); });
}

MonitorJournal::~MonitorJournal() = default;

bool MonitorJournal::attach(const QString& hotFolder, QString* error, QString* notice)
{
    const QString folder = ledgerFolder(hotFolder);
    if (m_lock.isHeld() && m_lockedFolder != folder)
        m_lock.release();
    if (!m_lock.isHeld()) {
        if (!m_lock.acquire(m_state.programFolder, folder)) {
            if (error)
                *error = m_lock.error();
            return false;
        }
        m_lockedFolder = folder;
    }
    if (!m_ledger.isOpen()) {
        const LedgerOpening opened = m_ledger.open(m_state.programFolder);
        if (notice && !opened.ok)
            *notice = QStringLiteral("打印记录打不开（%1），这次监控不作记录").arg(opened.error);
        else if (notice)
            *notice = opened.notice;
    }
    pruneIfDue();
    return true;
}

// At each start and once a day while monitoring runs: a studio's ledger
// would otherwise grow by every photo of every day.
void MonitorJournal::pruneIfDue()
{
    constexpr qint64 kDayMs = 24 * 3600 * 1000;
    if (!isRecording() || (m_sincePrune.isValid() && m_sincePrune.elapsed() < kDayMs))
        return;
    m_sincePrune.start();
    bool numeric = false;
    const int days = readConfigText(m_state.configPath(), QString::fromUtf16(kConfigSection),
                                    QString::fromUtf16(kConfigLedgerDaysKey))
                         .toInt(&numeric);
    const LedgerResult<PruneReport> pruned =
        m_ledger.prune(numeric && days >= 1 ? qMin(days, 36500) : kDefaultLedgerDays);
    failed(QStringLiteral("清理打印记录"), pruned.error);
}

void MonitorJournal::failed(const QString& what, const QString& error)
{
    if (error.isEmpty())
        return;
    m_lastError = what + QStringLiteral("：") + error;
    qWarning("%s", qPrintable(m_lastError));
    // SQLite found the file damaged while in use: it is set aside and a fresh
    // ledger goes on, rather than monitoring going on unrecorded.
    if (m_ledger.isDamaged()) {
        m_ledger.recover();
        m_sheet = 0;
        m_session = 0;
    }
}

void MonitorJournal::heartbeat()
{
    if (m_session != 0 && isRecording()) {
        failed(QStringLiteral("打印记录"), m_ledger.heartbeat(m_session).error);
        pickUpReprints();
        pruneIfDue();
        readConfiguredPrinters();
        printWaitingSheets();
        followJobs();
        // The default printer looked up again here only: a request to the
        // scheduler is not made for every job answer or hand-off.
        watchPrinter();
    }
}

bool MonitorJournal::reprint(qint64 photoId, int copies, QString* error)
{
    if (!isRecording()) {
        if (error)
            *error = QStringLiteral("没有打印记录");
        return false;
    }
    const LedgerWrite queued = queueReprint(m_ledger, photoId, copies);
    if (!queued.ok()) {
        if (error)
            *error = queued.error;
        return false;
    }
    if (m_session != 0)
        pickUpReprints();
    return true;
}

bool MonitorJournal::reprintSheet(qint64 sheetId, QString* error)
{
    const LedgerWrite queued = isRecording() ? vellora::reprintSheet(m_ledger, sheetId)
                                             : LedgerWrite{0, QStringLiteral("没有打印记录")};
    if (!queued.ok()) {
        if (error)
            *error = queued.error;
        return false;
    }
    if (m_session != 0)
        pickUpReprints();
    return true;
}

void MonitorJournal::pickUpReprints()
{
    const LedgerResult<QList<LedgerPhoto>> waiting = m_ledger.queuedReprints();
    QList<LedgerPhoto> fresh;
    for (const LedgerPhoto& photo : waiting.value)
        if (photo.hotFolder == m_hotFolder && !m_reprintsTaken.contains(photo.id))
            fresh << photo;
    if (fresh.isEmpty())
        return;
    const MonitorQueue entries = queuedPhotos(fresh);
    for (const LedgerPhoto& photo : std::as_const(fresh))
        m_reprintsTaken.insert(photo.id);
    {
        std::lock_guard<std::mutex> lock(m_state.queueLock);
        m_state.monitorQueue += entries;
    }
    if (m_arm && !entries.isEmpty())
        m_arm();
}

qint64 MonitorJournal::ensureSheet()
{
    if (m_sheet == 0 && isRecording()) {
        const LayoutTemplate& t = m_state.currentTemplate;
        const SheetLayout layout =
            computeSheetLayout(t, m_state.windows.numberOutsideChecked.load());
        const LedgerWrite made = m_ledger.newSheet(t.name, layout.capacity);
        failed(QStringLiteral("打印记录"), made.error);
        m_sheet = made.value;
    }
    return m_sheet;
}

void MonitorJournal::recordRun(qint64 sheetId, int firstCell, int lastCell)
{
    if (sheetId == 0 || m_passPhoto == 0 || lastCell < firstCell)
        return;
    failed(QStringLiteral("打印记录"),
           m_ledger
               .photoOnSheet(m_passPhoto, sheetId, CellRun{firstCell, lastCell - firstCell + 1},
                             m_passIdentity)
               .error);
}

void MonitorJournal::recordArrivals(int rootFd, MonitorQueue& entries)
{
    if (!isRecording())
        return;
    const LayoutTemplate& t = m_state.currentTemplate;
    bool any = false;
    for (const MonitorEntry& entry : std::as_const(entries))
        any = any || (!entry.name.isEmpty() && entry.ledgerId == 0);
    if (!any)
        return;
    // One commit for the tick's arrivals: a burst costs one sync, not one each.
    m_ledger.beginBatch();
    for (MonitorEntry& entry : entries) {
        if (entry.name.isEmpty() || entry.ledgerId != 0)
            continue;
        entry.ledgerPath = fileNameBytesIn(rootFd, entry.name);
        const int copies = entry.copies > 0 ? entry.copies : t.twoSize != 0 ? 1 : t.outputCount;
        const LedgerWrite w =
            m_ledger.recordPhotoQueued(m_hotFolder, entry.ledgerPath, copies, entry.reprint);
        failed(QStringLiteral("打印记录"), w.error);
        entry.ledgerId = w.value;
    }
    failed(QStringLiteral("打印记录"), m_ledger.commitBatch().error);
}

void MonitorJournal::notLaidOut(const MonitorEntry& entry, const QString& reason,
                                const QByteArray& bytes)
{
    tell(QStringLiteral("not-laid-out"), QStringLiteral("照片没有排版"),
         entry.name + QStringLiteral("：") + reason);
    if (isRecording() && entry.ledgerId != 0)
        failed(QStringLiteral("打印记录"),
               m_ledger.photoNotLaidOut(entry.ledgerId, reason, identityOf(entry, bytes)).error);
}

bool MonitorJournal::printedBefore(const MonitorEntry& entry, const QByteArray& bytes)
{
    if (!isRecording() || entry.again || entry.ledgerPath.isEmpty())
        return false;
    const LedgerResult<bool> same = m_ledger.hasPrintedSameBytes(
        m_hotFolder, entry.ledgerPath, photoDigest(bytes), entry.ledgerId);
    failed(QStringLiteral("打印记录"), same.error);
    return same.value;
}

void MonitorJournal::beginPass(const MonitorEntry& entry, const QByteArray& bytes)
{
    m_passPhoto = isRecording() ? entry.ledgerId : 0;
    m_passIdentity = identityOf(entry, bytes);
    m_filledBefore = m_state.pendingSheet.filledCells;
}

void MonitorJournal::endPass()
{
    const int filled = m_state.pendingSheet.filledCells;
    if (m_passPhoto != 0 && filled > m_filledBefore)
        recordRun(ensureSheet(), m_filledBefore + 1, filled);
    m_passPhoto = 0;
}

qint64 MonitorJournal::closeSheet()
{
    // The pass under way filled the sheet: its cells are recorded before the
    // sheet is handed over, and its copies left over start the next sheet.
    const int filled = m_state.pendingSheet.filledCells;
    if (m_passPhoto != 0 && filled > m_filledBefore)
        recordRun(ensureSheet(), m_filledBefore + 1, filled);
    const qint64 sheet = m_sheet;
    m_sheet = 0;
    m_filledBefore = 0;
    return sheet;
}

PrintReport MonitorJournal::printSheet(const QImage& sheet)
{
    std::lock_guard<std::recursive_mutex> passLock(m_state.layoutLock);
    const qint64 id = isRecording() ? closeSheet() : 0;
    if (id == 0)
        return printSheetWithReport(sheet, m_state.programFolder, m_state.printDialog);
    // Sheets print in the order they filled: behind waiting ones, it waits.
    if (printWaitingSheets() > 0) {
        const PrintReport kept = keepSheetUnprinted(
            sheet, m_state.programFolder,
            QStringLiteral("前面还有 %1 张相纸在等打印机：%2").arg(m_waiting).arg(m_waitingReason));
        if (kept.outcome == PrintOutcome::SavedUnprinted) {
            failed(QStringLiteral("打印记录"),
                   m_ledger.sheetKept(id, kept.savedPath, kept.error).error);
            ++m_waiting;
            ++m_counts.kept;
        } else {
            ++m_counts.lost;
        }
        tell(QStringLiteral("sheet-kept"), QStringLiteral("相纸没有打印，已存入“未打印”"),
             kept.error + QStringLiteral("；打印机恢复后自动打印"), true);
        return kept;
    }
    return handOver(id, sheet, true);
}

PrintReport MonitorJournal::handOver(qint64 id, const QImage& sheet, bool keepWhenNotSent)
{
    const bool resend = m_resending;
    // What the follower tells meanwhile (a dialog's event loop) waits.
    const bool wasHandingOver = std::exchange(m_handingOver, true);
    HandOffRecord record;
    record.keepWhenNotSent = keepWhenNotSent;
    record.printers = printersInTurn();
    record.jobCreated = [this, id, resend](const QString& printer, int jobId) {
        // Unrecorded, a crash now would leave a job the next start cannot
        // ask about; the sheet still prints rather than being held back.
        failed(QStringLiteral("打印记录"),
               m_ledger.sheetJobCreated(id, printer, jobId, resend).error);
        crashPointFor("job-created");
        return true;
    };
    record.documentSent = [this, id] {
        crashPointFor("document-sent");
        failed(QStringLiteral("打印记录"), m_ledger.sheetDocumentSent(id).error);
    };
    const PrintReport report =
        m_printing.handOff
            ? m_printing.handOff(sheet, record)
            : printSheetWithReport(sheet, m_state.programFolder,
                                   keepWhenNotSent ? m_state.printDialog : PrintDialogSeam{},
                                   &record);
    if (report.outcome == PrintOutcome::SavedUnprinted) {
        failed(QStringLiteral("打印记录"),
               m_ledger.sheetKept(id, report.savedPath, report.error).error);
        ++m_waiting;
        ++m_counts.kept;
        m_waitingReason = report.error;
        tell(QStringLiteral("sheet-kept"), QStringLiteral("相纸没有打印，已存入“未打印”"),
             report.error + QStringLiteral("；打印机恢复后自动打印"), true);
    } else if (report.outcome == PrintOutcome::Lost && !report.unsure && keepWhenNotSent) {
        ++m_counts.lost;
        tell(QStringLiteral("sheet-lost"), QStringLiteral("相纸既没有打印也没有保存"), report.error,
             true);
    }
    m_handingOver = wasHandingOver;
    if (report.outcome == PrintOutcome::Printed)
        followJobs();
    // Neither printed nor kept: the sheet stays unfinished in the ledger, and
    // the next start of monitoring draws it again from its photos.
    return report;
}

namespace {

// A kept sheet's JPEG, read from 未打印 without following a link (the folder
// is the operators' group's to write).
QImage readKeptSheet(const QString& keptPath, QString* why)
{
    const FileDescriptor dir = openTrustedFolder(QFileInfo(keptPath).path(), 02770, why);
    if (!dir.isValid())
        return {};
    QByteArray bytes;
    const PhotoLook look =
        readPhotoBeneath(dir.get(), QFile::encodeName(QFileInfo(keptPath).fileName()), nullptr,
                         QSize(1, 1), bytes, why);
    if (look != PhotoLook::Ready)
        return {};
    QImage picture = QImage::fromData(bytes, "JPEG");
    if (picture.isNull() && why)
        *why = QStringLiteral("不是可用的图片");
    return picture;
}

// Printed at last: the JPEG leaves 未打印, so that nobody prints it by hand a
// second time (the ledger keeps its photos for a reprint).
void removeKeptSheet(const QString& keptPath)
{
    const FileDescriptor dir = openTrustedFolder(QFileInfo(keptPath).path(), 02770);
    if (dir.isValid())
        unlinkat(dir.get(), QFile::encodeName(QFileInfo(keptPath).fileName()).constData(), 0);
}

} // namespace

int MonitorJournal::printWaitingSheets()
{
    if (!isRecording())
        return m_waiting = 0;
    std::lock_guard<std::recursive_mutex> passLock(m_state.layoutLock);
    const LedgerResult<UnfinishedWork> work = m_ledger.unfinishedWork();
    if (!work.ok()) {
        failed(QStringLiteral("打印记录"), work.error);
        return m_waiting;
    }
    QList<LedgerSheet> waiting;
    for (const LedgerSheet& sheet : work.value.kept)
        if (!m_waitingUnreadable.contains(sheet.id))
            waiting << sheet;
    m_waiting = int(waiting.size());
    if (waiting.isEmpty())
        return 0;
    // Any of the printers will do: the hand-off passes over those that
    // cannot take the job.
    QueueCheck ready;
    if (m_printing.queueReady) {
        ready = m_printing.queueReady();
    } else {
        const QStringList printers = printersInTurn();
        ready.reason = QStringLiteral("没有默认打印机");
        QStringList reasons;
        for (const QString& printer : printers) {
            ready = checkPrintQueue(printer);
            if (ready.ready)
                break;
            reasons << ready.reason;
        }
        if (!ready.ready && reasons.size() > 1)
            ready.reason = reasons.join(QStringLiteral("；"));
    }
    if (!ready.ready) {
        m_waitingReason = ready.reason;
        return m_waiting;
    }
    for (const LedgerSheet& sheet : std::as_const(waiting)) {
        QString why;
        const QImage picture = readKeptSheet(sheet.keptPath, &why);
        if (picture.isNull()) {
            // Taken away or spoilt in 未打印: the operator decides (the
            // history lists its photos for 加印); the others go on.
            m_waitingUnreadable.insert(sheet.id);
            failed(QStringLiteral("未打印的相纸 %1（%2）").arg(sheet.id).arg(sheet.keptPath), why);
            --m_waiting;
            continue;
        }
        const PrintReport report = handOver(sheet.id, picture, false);
        if (report.outcome != PrintOutcome::Printed) {
            // Still waiting, with its JPEG; a job made for it is known not to
            // hold its document (else it stays handed over, to be asked about).
            if (report.jobId != 0 && !report.unsure)
                failed(QStringLiteral("打印记录"),
                       m_ledger.sheetKept(sheet.id, sheet.keptPath, report.error).error);
            m_waitingReason = report.error;
            break;
        }
        --m_waiting;
        removeKeptSheet(sheet.keptPath);
        if (m_waitingPrinted)
            m_waitingPrinted(sheet, report);
    }
    return m_waiting;
}

JobReconciliation MonitorJournal::askAbout(const QString& printer, int jobId, bool documentSent)
{
    return m_printing.reconcile ? m_printing.reconcile(printer, jobId, documentSent)
                                : reconcileJob(printer, jobId, documentSent);
}

void MonitorJournal::followJobs()
{
    QList<JobFollower::Job> jobs;
    if (isRecording() && m_session != 0) {
        const LedgerResult<QList<LedgerSheet>> open = m_ledger.sheetsAtThePrinter();
        failed(QStringLiteral("打印记录"), open.error);
        for (const LedgerSheet& sheet : open.value)
            jobs << JobFollower::Job{sheet.id, sheet.printer, sheet.jobId};
    }
    if (!m_follower) {
        if (jobs.isEmpty() && m_session == 0)
            return;
        const auto reconcile = m_printing.reconcile;
        m_follower = std::make_unique<JobFollower>(
            [reconcile](const QString& printer, const QList<int>& jobIds) {
                if (!reconcile)
                    return followPrintJobs(printer, jobIds);
                QHash<int, JobReconciliation> answers;
                for (int id : jobIds)
                    answers.insert(id, reconcile(printer, id, true));
                return answers;
            },
            // Settled on this thread, where the ledger and the board are
            // used; dropped when the journal has gone.
            [this](const JobFollower::Job& job, const JobReconciliation& answer) {
                QMetaObject::invokeMethod(
                    &m_heartbeat, [this, job, answer] { jobTold(job, answer); },
                    Qt::QueuedConnection);
            });
    }
    m_follower->follow(jobs);
    for (auto it = m_stoppedJobs.begin(); it != m_stoppedJobs.end();)
        it = std::any_of(jobs.begin(), jobs.end(),
                         [&](const JobFollower::Job& job) { return job.sheetId == it.key(); })
                 ? std::next(it)
                 : m_stoppedJobs.erase(it);
}

void MonitorJournal::tell(const QString& reason, const QString& summary, const QString& body,
                          bool critical)
{
    if (m_notify) {
        m_notify(reason, summary, body, critical);
        return;
    }
    if (!m_notifier)
        m_notifier = std::make_unique<DesktopNotifier>();
    // The desktop reads a little markup in the body.
    m_notifier->notify(reason, summary, body.toHtmlEscaped(),
                       critical ? DesktopNotifier::Urgency::Critical
                                : DesktopNotifier::Urgency::Normal);
}

// At each start and heartbeat: a choice made in the window applies within
// seconds.
void MonitorJournal::readConfiguredPrinters()
{
    const QString section = QString::fromUtf16(kConfigPrinterSection);
    m_printersConfigured = {
        readConfigText(m_state.configPath(), section, QString::fromUtf16(kConfigMainPrinterKey)),
        readConfigText(m_state.configPath(), section, QString::fromUtf16(kConfigBackupPrinterKey))};
}

QStringList MonitorJournal::printersInTurn() const
{
    const QStringList given = m_printersSet.isEmpty() ? m_printersConfigured : m_printersSet;
    QStringList printers;
    for (qsizetype i = 0; i < std::max<qsizetype>(given.size(), 1); ++i) {
        const QString name = i == 0 && given.value(0).trimmed().isEmpty()
                                 ? defaultPrinterName()
                                 : given.value(i).trimmed();
        if (!name.isEmpty() && !printers.contains(name))
            printers << name;
    }
    // A job standing still for a minute (paper, a jam): the others first,
    // until it moves again.
    if (printers.size() > 1) {
        const auto stuck = m_stuckSince.constFind(printers.first());
        if (stuck != m_stuckSince.cend() && stuck->elapsed() >= m_stuckAfterMs)
            printers.move(0, printers.size() - 1);
    }
    return printers;
}

void MonitorJournal::watchPrinter()
{
    if (!m_follower)
        return;
    const bool watching = m_session != 0 && isRecording();
    m_printerName = watching ? printersInTurn().value(0) : QString();
    if (!watching)
        m_printerAsked = false;
    const auto queueReady = m_printing.queueReady;
    m_follower->watchPrinter(
        m_printerName,
        [queueReady](const QString& printer) {
            return queueReady ? queueReady() : checkPrintQueue(printer);
        },
        [this](const QString& printer, const QueueCheck& check) {
            QMetaObject::invokeMethod(
                &m_heartbeat,
                [this, printer, check] {
                    if (printer != m_printerName)
                        return;
                    m_printerCheck = check;
                    m_printerAsked = true;
                    if (!check.ready)
                        tell(QStringLiteral("printer-stopped:") + printer,
                             QStringLiteral("打印机不能打印"), check.reason, true);
                },
                Qt::QueuedConnection);
        });
}

QString MonitorJournal::printerStatus(bool* trouble) const
{
    const auto say = [trouble](const QString& text, bool bad) {
        if (trouble)
            *trouble = bad;
        return text;
    };
    if (m_session == 0 || !isRecording())
        return say(QString(), false);
    if (m_printerName.isEmpty())
        return say(QStringLiteral("没有默认打印机"), true);
    if (m_printerAsked && !m_printerCheck.ready)
        return say(m_printerCheck.reason, true);
    if (!m_stoppedJobs.isEmpty())
        return say(QStringLiteral("打印机“%1”的作业停住了：%2")
                       .arg(m_printerName, m_stoppedJobs.begin().value()),
                   true);
    if (const int at = sheetsAtThePrinter(); at > 0)
        return say(QStringLiteral("打印机“%1”打印中 %2 张").arg(m_printerName).arg(at), false);
    if (m_printerAsked)
        return say(QStringLiteral("打印机“%1”就绪").arg(m_printerName), false);
    return say(QString(), false);
}

QString MonitorJournal::sheetCountsText() const
{
    const int at = sheetsAtThePrinter();
    if (m_counts.printed + m_counts.kept + m_counts.held + m_counts.lost + at == 0)
        return {};
    QString text =
        QStringLiteral("已打印 %1 张，打印中 %2 张，存入未打印 %3 张（还在等打印机 %4 张）")
            .arg(m_counts.printed)
            .arg(at)
            .arg(m_counts.kept)
            .arg(m_waiting);
    if (m_counts.held > 0)
        text += QStringLiteral("，等待处理 %1 张").arg(m_counts.held);
    if (m_counts.lost > 0)
        text += QStringLiteral("，丢失 %1 张").arg(m_counts.lost);
    return text;
}

int MonitorJournal::sheetsAtThePrinter() const
{
    return m_follower ? int(m_follower->jobs().size()) : 0;
}

void MonitorJournal::jobTold(const JobFollower::Job& job, const JobReconciliation& answer)
{
    if (!isRecording() || m_session == 0 || m_handingOver || m_passPhoto != 0)
        return; // asked again next round
    const LedgerResult<std::optional<LedgerSheet>> found = m_ledger.sheet(job.sheetId);
    const std::optional<LedgerSheet>& sheet = found.value;
    if (sheet && sheet->state == SheetState::Handed && !sheet->held && sheet->jobId == job.jobId)
        settleJob(*sheet, answer, nullptr, true);
    // IPP job-state 6: processing-stopped (paper, jam, an operator's pause).
    if (answer.fate == JobReconciliation::Fate::AlreadyThere && answer.jobState == 6) {
        m_stoppedJobs.insert(job.sheetId, printerTroubleText(answer.stateReasons, QString()));
        if (!m_stuckSince.contains(job.printer))
            m_stuckSince[job.printer].start();
    } else {
        m_stoppedJobs.remove(job.sheetId);
        // Any answer but a standing job: the printer moves.
        if (answer.fate != JobReconciliation::Fate::CannotTell)
            m_stuckSince.remove(job.printer);
    }
    followJobs();
}

void MonitorJournal::settleJobsNow()
{
    if (!isRecording())
        return;
    const LedgerResult<QList<LedgerSheet>> open = m_ledger.sheetsAtThePrinter();
    for (const LedgerSheet& sheet : open.value) {
        const JobReconciliation answer = askAbout(sheet.printer, sheet.jobId, true);
        if (answer.fate == JobReconciliation::Fate::CannotTell)
            break;
        // Not sent again on the way out: the next start does that.
        if (answer.fate == JobReconciliation::Fate::Printed ||
            answer.fate == JobReconciliation::Fate::AlreadyThere)
            settleJob(sheet, answer, nullptr, true);
    }
    followJobs();
}

bool MonitorJournal::settleJob(const LedgerSheet& sheet, const JobReconciliation& answer,
                               QStringList* notices, bool followed)
{
    using Fate = JobReconciliation::Fate;
    const QString reasons = answer.stateReasons.join(QStringLiteral(", "));
    switch (answer.fate) {
    case Fate::AlreadyThere:
        if (!sheet.documentSent)
            failed(QStringLiteral("打印记录"), m_ledger.sheetDocumentSent(sheet.id).error);
        if (answer.jobState != 0 &&
            (answer.jobState != sheet.jobState || reasons != sheet.jobReasons))
            failed(QStringLiteral("打印记录"),
                   m_ledger.sheetJobState(sheet.id, answer.jobState, reasons).error);
        return false;
    case Fate::Printed:
        if (answer.jobState != 0)
            m_ledger.sheetJobState(sheet.id, answer.jobState, reasons);
        failed(QStringLiteral("打印记录"), m_ledger.sheetPrinted(sheet.id).error);
        ++m_counts.printed;
        if (m_jobEnded)
            m_jobEnded(sheet, JobEnd::Printed, QString());
        return false;
    case Fate::SendAgain: {
        // Given up by the printing system (not a job that never got its
        // document): once more by itself, then the operator decides.
        // A followed job had its whole document: nothing else sends it back.
        const bool gaveUp =
            followed || answer.jobState == kJobCanceled || answer.jobState == kJobAborted;
        if (answer.jobState != 0)
            m_ledger.sheetJobState(sheet.id, answer.jobState, reasons);
        if (gaveUp && sheet.resent >= 1) {
            hold(sheet, QStringLiteral("打印系统又放弃了作业 %1（%2），已重新打印过一次")
                            .arg(sheet.jobId)
                            .arg(answer.reason));
            return false;
        }
        if (gaveUp)
            tell(QStringLiteral("job-aborted:") + sheet.printer, QStringLiteral("打印作业中止"),
                 QStringLiteral("相纸 %1：%2；已重新打印一次").arg(sheet.id).arg(answer.reason),
                 true);
        return sendAgain(sheet, gaveUp, notices);
    }
    case Fate::Failed:
        if (answer.jobState != 0)
            m_ledger.sheetJobState(sheet.id, answer.jobState, reasons);
        hold(sheet, answer.reason);
        if (notices)
            *notices << QStringLiteral("相纸 %1（打印机“%2”的作业 %3）：%4")
                            .arg(sheet.id)
                            .arg(sheet.printer)
                            .arg(sheet.jobId)
                            .arg(answer.reason);
        return false;
    case Fate::CannotTell:
        return false;
    }
    return false;
}

void MonitorJournal::hold(const LedgerSheet& sheet, const QString& reason)
{
    failed(QStringLiteral("打印记录"), m_ledger.sheetHeld(sheet.id, reason).error);
    ++m_counts.held;
    tell(
        QStringLiteral("job-held:") + sheet.printer, QStringLiteral("打印作业失败，等待处理"),
        QStringLiteral("相纸 %1：%2。请在“打印记录”里选择重新打印或放弃").arg(sheet.id).arg(reason),
        true);
    if (m_jobEnded)
        m_jobEnded(sheet, JobEnd::Held, reason);
}

bool MonitorJournal::sendAgain(const LedgerSheet& sheet, bool resend, QStringList* notices)
{
    std::lock_guard<std::recursive_mutex> passLock(m_state.layoutLock);
    // The board holds the pending sheet: it is set aside while this one is
    // drawn again from its photos, and put back after.
    const QImage board = m_state.sheetSurface.snapshotImage();
    const PendingSheet pending = m_state.pendingSheet;
    const qint64 filling = m_sheet;
    const int filledBefore = m_filledBefore;
    const QString currentPath = m_state.currentPhotoPath;
    // Nothing drawn again prints by itself: only this decides.
    const bool monitoring = m_state.windows.monitoring.exchange(false);
    m_state.sheetSurface.clear();
    m_state.pendingSheet = PendingSheet{};
    m_sheet = 0;
    QStringList lost;
    LedgerSheet full = sheet;
    if (full.placements.isEmpty()) {
        if (const auto withCells = m_ledger.sheet(sheet.id).value)
            full = *withCells;
    }
    const bool drawn = redrawSheet(full, lost);
    m_state.windows.monitoring = monitoring;
    if (drawn) {
        MonitorRecovery unused;
        m_resending = resend;
        printRedrawn(sheet.id, unused);
        m_resending = false;
    } else {
        hold(sheet,
             QStringLiteral("照片已读不到，无法重新打印：") + lost.join(QStringLiteral("；")));
    }
    if (notices)
        *notices << lost;
    if (!board.isNull())
        m_state.sheetSurface.pixels() = board;
    m_state.pendingSheet = pending;
    m_sheet = filling;
    m_filledBefore = filledBefore;
    m_state.currentPhotoPath = currentPath;
    if (drawn && m_jobEnded)
        m_jobEnded(sheet, JobEnd::SentAgain, QString());
    return drawn;
}

bool MonitorJournal::redrawSheet(const LedgerSheet& sheet, QStringList& notices)
{
    PendingSheet& pending = m_state.pendingSheet;
    const QSize cover = largestCell(m_state.currentTemplate);
    int last = 0;
    for (const LedgerPlacement& placed : sheet.placements) {
        const LedgerResult<std::optional<LedgerPhoto>> found = m_ledger.photo(placed.photoId);
        if (!found.value)
            continue;
        const LedgerPhoto& photo = *found.value;
        const QString shown = photo.hotFolder + u'/' + decodeFileName(photo.path);
        const FileDescriptor folder = openHotFolder(m_state, photo.hotFolder);
        QByteArray bytes;
        QString why;
        const PhotoLook look = folder.isValid() ? readPhotoBeneath(folder.get(), photo.path,
                                                                   nullptr, cover, bytes, &why)
                                                : PhotoLook::Gone;
        if (look != PhotoLook::Ready) {
            notices << QStringLiteral("照片 %1 已读不到（%2），它的 %3 格空着")
                           .arg(shown, why.isEmpty() ? QStringLiteral("文件已不在") : why)
                           .arg(placed.cells.count);
            continue;
        }
        pending.filledCells = placed.cells.first - 1;
        pending.copiesLeft = placed.cells.count;
        m_state.currentPhotoPath = shown;
        const PreparedPhoto read{shown, QSize(), QImage(), bytes};
        layOutCurrentPhoto(m_state, &read);
        last = std::max(last, placed.cells.first + placed.cells.count - 1);
    }
    pending.filledCells = last;
    pending.copiesLeft = 0;
    m_state.currentPhotoPath = m_state.monitorFolder;
    return last > 0;
}

void MonitorJournal::printRedrawn(qint64 sheetId, MonitorRecovery& recovery)
{
    m_sheet = sheetId;
    m_passPhoto = 0;
    const QImage picture = m_state.sheetSurface.snapshotImage();
    if (m_state.printSheet)
        m_state.printSheet(picture);
    else
        printSheet(picture);
    m_sheet = 0;
    m_state.sheetSurface.clear();
    m_state.pendingSheet = PendingSheet{};
    ++recovery.sheetsPrinted;
}

MonitorQueue MonitorJournal::queuedPhotos(const QList<LedgerPhoto>& photos, bool copiesLeftOnly)
{
    MonitorQueue entries;
    const FileDescriptor folder = openHotFolder(m_state, m_hotFolder);
    for (const LedgerPhoto& photo : photos) {
        if (photo.hotFolder != m_hotFolder)
            continue; // waits for its own folder to be monitored again
        MonitorEntry entry(decodeFileName(photo.path));
        entry.ledgerId = photo.id;
        entry.ledgerPath = photo.path;
        entry.copies = photo.copies;
        entry.reprint = photo.reprint;
        entry.again = photo.reprint;
        if (copiesLeftOnly) {
            for (const LedgerPlacement& placed : photo.placements)
                entry.copies -= placed.cells.count;
            if (entry.copies <= 0)
                continue;
            entry.again = true; // its own first copies are no reason to skip it
        }
        const FileDescriptor file(
            folder.isValid() ? openBeneath(folder.get(), photo.path, O_RDONLY | O_NONBLOCK) : -1);
        struct stat st
        {
        };
        if (!file.isValid() || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            notLaidOut(entry, QStringLiteral("文件已不在"));
            continue;
        }
        entry.stamp = stampOf(st);
        entries << entry;
    }
    return entries;
}

MonitorQueue MonitorJournal::writtenSince(qint64 sinceMs)
{
    struct Found
    {
        MonitorEntry entry;
        qint64 mtimeNs;
    };
    QList<Found> found;
    const FileDescriptor root = openHotFolder(m_state, m_hotFolder);
    if (!root.isValid())
        return {};
    QByteArray excluded;
    const QString unprinted = ledgerFolder(m_state.besideProgram(kUnprintedFolderName));
    if (unprinted.startsWith(m_hotFolder + u'/'))
        excluded = QFile::encodeName(unprinted.mid(m_hotFolder.size() + 1));
    // The folders below, walked without following a link, as the watcher does.
    std::vector<std::pair<QByteArray, int>> folders{{QByteArray(), 0}};
    while (!folders.empty()) {
        const auto [relative, depth] = folders.back();
        folders.pop_back();
        const int fd = relative.isEmpty()
                           ? dup(root.get())
                           : openBeneath(root.get(), relative, O_RDONLY | O_DIRECTORY);
        if (fd < 0)
            continue;
        DIR* dir = fdopendir(fd);
        if (!dir) {
            close(fd);
            continue;
        }
        while (const dirent* item = readdir(dir)) {
            const QByteArray name(item->d_name);
            if (name == "." || name == "..")
                continue;
            const QByteArray child = relative.isEmpty() ? name : relative + '/' + name;
            struct stat st
            {
            };
            if (fstatat(dirfd(dir), item->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                isToolArtefact(child))
                continue;
            if (S_ISDIR(st.st_mode)) {
                if (child != excluded && depth < kMaxWatchDepth)
                    folders.push_back({child, depth + 1});
                continue;
            }
            const qint64 mtimeMs = qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
            const QString shown = decodeFileName(child);
            if (!S_ISREG(st.st_mode) || mtimeMs < sinceMs || !passesPhotoFilter(shown))
                continue;
            if (m_ledger.countedSince(m_hotFolder, child, mtimeMs).value)
                continue;
            MonitorEntry entry(shown, stampOf(st));
            found.append({entry, entry.stamp.mtimeNs});
        }
        closedir(dir);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const Found& a, const Found& b) { return a.mtimeNs < b.mtimeNs; });
    MonitorQueue entries;
    for (const Found& f : std::as_const(found))
        entries << f.entry;
    return entries;
}

MonitorRecovery MonitorJournal::resume()
{
    MonitorRecovery recovery;
    m_hotFolder = ledgerFolder(m_state.monitorFolder);
    if (!isRecording())
        return recovery;
    const LayoutTemplate& t = m_state.currentTemplate;
    const std::optional<LedgerSession> before = m_ledger.lastSession().value;
    recovery.crashed = before && before->crashed();
    const bool sameFolder = before && before->hotFolder == m_hotFolder;
    // Counted in the ledger before this session begins: the next start looks
    // for uncounted photos only from this session's start on, so a crash
    // anywhere below (a sheet taken up is handed over, the first tick has not
    // come) must not take them with it.
    MonitorQueue missed;
    if (sameFolder && recovery.crashed) {
        const qint64 since = std::max(before->heartbeatAt.toMSecsSinceEpoch() - kCatchUpSlackMs,
                                      before->startedAt.toMSecsSinceEpoch());
        missed = writtenSince(since);
        const FileDescriptor root = openHotFolder(m_state, m_hotFolder);
        recordArrivals(root.get(), missed);
        recovery.photosCaughtUp = int(missed.size());
    }
    readConfiguredPrinters();
    if (m_session != 0)
        m_ledger.endSession(m_session, true);
    const LedgerWrite session =
        m_ledger.beginSession(m_hotFolder, t.name, QCoreApplication::applicationPid());
    failed(QStringLiteral("打印记录"), session.error);
    m_session = session.value;
    m_heartbeat.start();

    const LedgerResult<UnfinishedWork> work = m_ledger.unfinishedWork();
    if (!work.ok()) {
        failed(QStringLiteral("打印记录"), work.error);
        return recovery;
    }
    // Asked before the hand-offs are settled below, which may call their
    // sheets printed.
    const LedgerResult<QList<LedgerPhoto>> cutShort = m_ledger.cutShort();
    failed(QStringLiteral("打印记录"), cutShort.error);
    MonitorQueue taken;
    {
        std::lock_guard<std::recursive_mutex> passLock(m_state.layoutLock);
        // Nothing drawn again below prints by itself: only this decides.
        const bool monitoring = m_state.windows.monitoring.exchange(false);
        m_state.sheetSurface.clear();
        m_state.pendingSheet = PendingSheet{};
        m_sheet = 0;
        m_passPhoto = 0;

        // Sheets handed over before: the scheduler tells which never arrived.
        for (const LedgerSheet& sheet : work.value.handed) {
            const JobReconciliation fate = askAbout(sheet.printer, sheet.jobId, sheet.documentSent);
            if (fate.fate == JobReconciliation::Fate::CannotTell) {
                recovery.notices << QStringLiteral("打印系统没有回答，交出的相纸下次再查：") +
                                        fate.reason;
                break;
            }
            if (settleJob(sheet, fate, &recovery.notices))
                ++recovery.sheetsPrinted;
        }

        // Sheets being filled: the last one of this template is the pending
        // sheet again, in its cells; any other is printed first. A sheet of
        // another template is not printed half empty: its photos are laid out
        // again on the current one.
        qint64 pendingId = 0;
        for (const LedgerSheet& sheet : work.value.filling)
            if (sheet.templateName == t.name && !sheet.placements.isEmpty())
                pendingId = sheet.id;
        for (const LedgerSheet& sheet : work.value.filling) {
            if (sheet.placements.isEmpty())
                continue;
            if (sheet.templateName != t.name) {
                for (const LedgerPlacement& placed : sheet.placements) {
                    const auto photo = m_ledger.photo(placed.photoId).value;
                    if (!photo || photo->hotFolder != m_hotFolder)
                        continue;
                    MonitorEntry entry(decodeFileName(photo->path));
                    entry.copies = placed.cells.count;
                    entry.again = true;
                    taken << entry;
                }
                m_ledger.sheetDiscarded(
                    sheet.id, QStringLiteral("排版模板已换成“%1”，照片按它重新排版").arg(t.name));
                continue;
            }
            if (!redrawSheet(sheet, recovery.notices))
                continue;
            if (sheet.id != pendingId || m_state.pendingSheet.filledCells >= sheet.capacity) {
                printRedrawn(sheet.id, recovery);
            } else {
                m_sheet = sheet.id;
                recovery.restoredCells = m_state.pendingSheet.filledCells;
            }
        }
        m_state.windows.monitoring = monitoring;
    }

    // The copies a cut-off pass left, the queued photos, then those written
    // while nothing watched (queued in the ledger above: once only).
    taken += queuedPhotos(cutShort.value, true);
    QSet<qint64> caughtUp;
    for (const MonitorEntry& entry : std::as_const(missed))
        caughtUp.insert(entry.ledgerId);
    QList<LedgerPhoto> waiting;
    for (const LedgerPhoto& photo : work.value.queued) {
        if (photo.reprint)
            m_reprintsTaken.insert(photo.id);
        if (!caughtUp.contains(photo.id))
            waiting << photo;
    }
    const MonitorQueue queued = queuedPhotos(waiting);
    recovery.photosQueued = int(queued.size());
    taken += queued;
    taken += missed;
    if (sameFolder && !recovery.crashed && before->stoppedAt.isValid())
        recovery.arrivedWhileClosed = writtenSince(before->stoppedAt.toMSecsSinceEpoch());
    catchUp(taken);
    printWaitingSheets();
    followJobs();
    watchPrinter();
    return recovery;
}

void MonitorJournal::catchUp(const MonitorQueue& photos)
{
    if (photos.isEmpty())
        return;
    std::lock_guard<std::mutex> lock(m_state.queueLock);
    // A photo counted at a pause is still in the queue it was counted from.
    QSet<qint64> queued;
    for (const MonitorEntry& entry : std::as_const(m_state.monitorQueue))
        if (entry.ledgerId != 0)
            queued.insert(entry.ledgerId);
    MonitorQueue fresh;
    for (const MonitorEntry& entry : photos)
        if (entry.ledgerId == 0 || !queued.contains(entry.ledgerId))
            fresh << entry;
    m_state.monitorQueue = MonitorQueue{MonitorEntry()} + fresh + m_state.monitorQueue.mid(1);
}

void MonitorJournal::stop()
{
    m_heartbeat.stop();
    if (m_session != 0 && isRecording()) {
        // Photos the watcher reported that no tick has counted yet (a tick
        // held up by the printer, say): counted now, or a clean stop would
        // leave the next start nothing to find them by.
        {
            std::lock_guard<std::mutex> lock(m_state.queueLock);
            if (m_state.monitorQueue.size() > 1) {
                const FileDescriptor root = openHotFolder(m_state, m_hotFolder);
                if (root.isValid())
                    recordArrivals(root.get(), m_state.monitorQueue);
            }
        }
        failed(QStringLiteral("打印记录"), m_ledger.endSession(m_session, true).error);
    }
    m_session = 0;
    followJobs();
    watchPrinter();
}

void MonitorJournal::discardPendingSheet(const QString& reason)
{
    std::lock_guard<std::recursive_mutex> passLock(m_state.layoutLock);
    if (m_sheet != 0 && isRecording())
        failed(QStringLiteral("打印记录"), m_ledger.sheetDiscarded(m_sheet, reason).error);
    m_sheet = 0;
    m_state.sheetSurface.clear();
    m_state.pendingSheet = PendingSheet{};
}

} // namespace vellora
