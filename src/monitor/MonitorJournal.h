#pragma once

#include "core/MonitorEntry.h"
#include "core/PrintReport.h"
#include "ledger/MonitorLock.h"
#include "ledger/PrintLedger.h"
#include "notify/DesktopNotifier.h"
#include "printing/JobFollower.h"
#include "printing/PrinterDevice.h"
#include "printing/Printing.h"

#include <QElapsedTimer>
#include <QImage>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

namespace vellora {

struct AppState;

// What a start of monitoring took up again from the print ledger.
struct MonitorRecovery
{
    bool crashed = false;   // the monitoring before was cut off, not stopped
    int restoredCells = 0;  // cells of the pending sheet drawn again
    int sheetsPrinted = 0;  // sheets printed (again) because nothing of them had come out
    int photosQueued = 0;   // photos counted before and laid out now
    int photosCaughtUp = 0; // photos written while nothing watched, laid out now
    // After a clean stop: photos written while Vellora was closed, offered to
    // the operator (catchUp lays them out).
    MonitorQueue arrivedWhileClosed;
    QStringList notices; // for the operator, each a sentence

    bool isEmpty() const
    {
        return restoredCells == 0 && sheetsPrinted == 0 && photosQueued == 0 &&
               photosCaughtUp == 0 && notices.isEmpty();
    }
    // One line for the operator, in Chinese; empty when nothing was taken up.
    QString summary() const;
};

// Records copies more (加印) of a photo the ledger knows, waiting to be laid
// out by the monitor of its hot folder: now when one runs, else at its next
// start. Refused, with its path, when the photo is no longer on disk.
LedgerWrite queueReprint(PrintLedger& ledger, qint64 photoId, int copies);
// 重新打印 of a whole sheet: each of its photos queued again as a reprint of
// the copies it had there, all or none; a sheet held for the operator is then
// done with (given up in favour of the reprints). Refused for a sheet still
// on its way: being filled, waiting for the printer, or at the printer.
LedgerWrite reprintSheet(PrintLedger& ledger, qint64 sheetId);
// 放弃 of a sheet held for the operator: its photos are not printed again.
LedgerWrite giveUpSheet(PrintLedger& ledger, qint64 sheetId);

// The print ledger's side of monitoring: the tick tells it what became of
// each photo, the layout pass which cells it took, the printing of a sheet
// each step of its hand-off; a start of monitoring rebuilds from it what a
// stop or a crash left unfinished. Every change is committed before the step
// it describes acts on it. Lives on the thread that runs the tick; a sheet
// printed from elsewhere is printed under the layout lock, as the pass is.
class MonitorJournal
{
public:
    explicit MonitorJournal(AppState& state);
    ~MonitorJournal();
    MonitorJournal(const MonitorJournal&) = delete;
    MonitorJournal& operator=(const MonitorJournal&) = delete;

    // Takes the one-monitor lock for the program folder and the hot folder
    // (kept while the same folder is monitored again) and opens 打印记录.db
    // beside the program. False only when another monitor holds the lock
    // (error says who). A ledger that cannot be opened does not stop
    // monitoring: notice says so, and nothing is recorded.
    bool attach(const QString& hotFolder, QString* error, QString* notice);
    bool isRecording() const { return m_ledger.isOpen(); }
    PrintLedger& ledger() { return m_ledger; }

    // The start of monitoring, once the watcher runs (the state's monitor
    // folder set): reconciles sheets handed over before, rebuilds the pending
    // sheet in its cells, queues what was queued and, after a crash, what was
    // written since the last heartbeat, ahead of new arrivals.
    MonitorRecovery resume();
    // How photos queued from outside the tick (reprints) make it come.
    void setArm(std::function<void()> arm) { m_arm = std::move(arm); }
    // Lays out the photos offered after a clean stop (first in line).
    void catchUp(const MonitorQueue& photos);
    // The end of monitoring. The pending sheet stays in the ledger for the
    // next start.
    void stop();
    // Throws away the copies on the pending sheet (the operator chose to):
    // the sheet and its photos are recorded as discarded.
    void discardPendingSheet(const QString& reason);

    // 加印 from the history: queued behind the photos already waiting.
    bool reprint(qint64 photoId, int copies, QString* error);
    // reprintSheet on this monitor's ledger, laid out now when it monitors.
    bool reprintSheet(qint64 sheetId, QString* error);
    // Whether a session runs on hotFolder (as the ledger names it), so that
    // a reprint of one of its photos is laid out now rather than next start.
    bool monitors(const QString& hotFolder) const
    {
        return m_session != 0 && isRecording() && hotFolder == m_hotFolder;
    }

    // The tick.
    void recordArrivals(int rootFd, MonitorQueue& entries);
    void notLaidOut(const MonitorEntry& entry, const QString& reason,
                    const QByteArray& bytes = QByteArray());
    // A photo rewritten with the bytes already printed (or on their way).
    bool printedBefore(const MonitorEntry& entry, const QByteArray& bytes);
    void beginPass(const MonitorEntry& entry, const QByteArray& bytes);
    void endPass();

    // Where sheets go and how a recorded job is asked about: the printing
    // system, unless a test puts its own in.
    struct Printing
    {
        std::function<PrintReport(const QImage& sheet, const HandOffRecord& record)> handOff;
        std::function<JobReconciliation(const QString& printer, int jobId, bool documentSent)>
            reconcile;
        // Whether the printer would take a job now.
        std::function<QueueCheck()> queueReady;
    };
    void setPrinting(Printing printing)
    {
        m_follower.reset(); // it asks the way it was made to
        m_printing = std::move(printing);
    }

    // Prints a sheet the layout pass (or the preview's print button) took
    // off the board, recording its cells and each step of the hand-off. While
    // sheets kept earlier still wait, it is kept behind them.
    PrintReport printSheet(const QImage& sheet);

    // Sheets kept in 未打印 because no printer took them are handed over
    // again, oldest first, once the printer takes jobs: at every start, every
    // heartbeat and before each new sheet. Returns how many still wait.
    int printWaitingSheets();
    // Told of each waiting sheet handed over.
    void setWaitingSheetPrinted(std::function<void(const LedgerSheet&, const PrintReport&)> told)
    {
        m_waitingPrinted = std::move(told);
    }
    int waitingSheets() const { return m_waiting; }
    QString waitingReason() const { return m_waitingReason; }

    // Every job handed over is followed to its end, a question a second per
    // printer, off this thread; only a completed job makes its sheet
    // printed. A job the printing system gave up with nothing printed is
    // sent once more; after that, or when it may have printed in part, the
    // sheet is held for the operator (重新打印 or 放弃).
    enum class JobEnd {
        Printed,
        SentAgain,
        Held,
    };
    void setJobEnded(std::function<void(const LedgerSheet&, JobEnd, const QString& reason)> told)
    {
        m_jobEnded = std::move(told);
    }
    // The printers sheets go to, in order: the main one (empty: the default
    // printer), then the backups. Unset, 配置.ini's 主打印机 and 备用打印机
    // are read at each start. A printer that cannot take a job is passed
    // over for the next; while a job of the main one has stood still for a
    // minute the next sheets go to the others first. Never both for one sheet.
    void setPrinters(const QStringList& printers) { m_printersSet = printers; }
    // How long a job stands still before the others go first (a minute).
    void setStuckAfterMs(qint64 ms) { m_stuckAfterMs = ms; }
    QStringList printersInTurn() const;

    // Sheets whose jobs are at the printer, not known to have ended.
    int sheetsAtThePrinter() const;
    // What became of the sheets since this journal was made, each apart: a
    // kept sheet printed later counts as kept and as printed.
    struct SheetCounts
    {
        int printed = 0; // jobs completed
        int kept = 0;    // put in 未打印
        int held = 0;    // left to the operator
        int lost = 0;    // neither printed nor kept
    };
    SheetCounts sheetCounts() const { return m_counts; }
    // The counts as the operator reads them; empty before the first sheet.
    QString sheetCountsText() const;
    // The default printer as last asked (every few seconds while monitoring,
    // off this thread): 打印机“…”就绪, 打印中 N 张, or why it does not print
    // (trouble set); empty before it was first asked.
    QString printerStatus(bool* trouble = nullptr) const;

    // Trouble is also told on the desktop (a stopped printer, a sheet kept
    // unprinted, a job given up, a photo not laid out), at most once a minute
    // per reason; nothing without a session bus. A test puts its own here.
    using Notify = std::function<void(const QString& reason, const QString& summary,
                                      const QString& body, bool critical)>;
    void setNotify(Notify notify) { m_notify = std::move(notify); }
    // Asks about every open job now, on this thread, and settles what has
    // ended: for a last count before the program ends.
    void settleJobsNow();

private:
    qint64 ensureSheet();
    void recordRun(qint64 sheetId, int firstCell, int lastCell);
    qint64 closeSheet();
    void heartbeat();
    void pickUpReprints();
    void pruneIfDue();
    void failed(const QString& what, const QString& error);
    bool redrawSheet(const LedgerSheet& sheet, QStringList& notices);
    PrintReport handOver(qint64 id, const QImage& sheet, bool keepWhenNotSent);
    void followJobs();
    void jobTold(const JobFollower::Job& job, const JobReconciliation& answer);
    // What a handed sheet's job came to, at a start or while it is followed:
    // true when the sheet was drawn and handed over again.
    bool settleJob(const LedgerSheet& sheet, const JobReconciliation& answer, QStringList* notices,
                   bool followed = false);
    bool sendAgain(const LedgerSheet& sheet, bool resend, QStringList* notices);
    void hold(const LedgerSheet& sheet, const QString& reason);
    JobReconciliation askAbout(const QString& printer, int jobId, bool documentSent);
    void watchPrinter();
    void readConfiguredPrinters();
    void tell(const QString& reason, const QString& summary, const QString& body,
              bool critical = false);
    void printRedrawn(qint64 sheetId, MonitorRecovery& recovery);
    MonitorQueue queuedPhotos(const QList<LedgerPhoto>& photos, bool copiesLeftOnly = false);
    MonitorQueue writtenSince(qint64 sinceMs);

    AppState& m_state;
    PrintLedger m_ledger;
    MonitorLock m_lock;
    QString m_lockedFolder;
    QString m_hotFolder;
    QTimer m_heartbeat;
    qint64 m_session = 0;
    qint64 m_sheet = 0;     // the sheet being filled; 0: none started
    qint64 m_passPhoto = 0; // the photo of the pass under way
    int m_filledBefore = 0; // cells filled when it began (or the sheet closed)
    PhotoIdentity m_passIdentity;
    QString m_lastError;
    QSet<qint64> m_reprintsTaken;     // queued in memory already
    QElapsedTimer m_sincePrune;       // invalid: not pruned in this process yet
    int m_waiting = 0;                // kept sheets not yet handed over again
    QString m_waitingReason;          // why they wait
    QSet<qint64> m_waitingUnreadable; // kept sheets whose JPEG cannot be read (told once)
    std::function<void(const LedgerSheet&, const PrintReport&)> m_waitingPrinted;
    Printing m_printing;
    std::function<void()> m_arm;
    std::function<void(const LedgerSheet&, JobEnd, const QString&)> m_jobEnded;
    bool m_resending = false; // the hand-off under way is the one automatic resend
    bool m_handingOver = false;
    QString m_printerName; // the default printer, as last looked up
    bool m_printerAsked = false;
    QueueCheck m_printerCheck;                  // its answer
    QHash<qint64, QString> m_stoppedJobs;       // sheet → why its job stands still
    QHash<QString, QElapsedTimer> m_stuckSince; // printer → since when a job of it stands still
    QStringList m_printersSet;                  // from the command line
    qint64 m_stuckAfterMs = 60 * 1000;
    QStringList m_printersConfigured; // from 配置.ini, read at each start
    SheetCounts m_counts;
    Notify m_notify;
    std::unique_ptr<DesktopNotifier> m_notifier; // made when first needed
    std::unique_ptr<JobFollower> m_follower;     // last: stopped before what it tells goes
};

} // namespace vellora
