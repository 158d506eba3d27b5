#pragma once

#include "printing/PrinterDevice.h"

#include <QHash>
#include <QList>
#include <QString>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace vellora {

// Follows print jobs to their end on a thread of its own, so that a slow or
// hung scheduler never holds up the caller: each round (a second) it asks
// each printer once about all of its jobs, and tells what it heard of each.
// Nothing here decides what an answer means.
class JobFollower
{
public:
    struct Job
    {
        qint64 sheetId = 0;
        QString printer;
        int jobId = 0;
        friend bool operator==(const Job&, const Job&) = default;
    };
    using Ask = std::function<QHash<int, JobReconciliation>(const QString& printer,
                                                            const QList<int>& jobIds)>;
    // Called on the follower's thread.
    using Told = std::function<void(const Job& job, const JobReconciliation& answer)>;

    JobFollower(Ask ask, Told told, int roundMs = 1000);
    ~JobFollower(); // asks nothing more; waits for a question under way
    JobFollower(const JobFollower&) = delete;
    JobFollower& operator=(const JobFollower&) = delete;

    // The jobs still open, replacing the last list.
    void follow(const QList<Job>& jobs);
    QList<Job> jobs() const;

    // Also asks, every few rounds and in a round of its own, whether this
    // printer would take a job (empty: no printer is watched). With neither
    // jobs nor a printer the thread sleeps.
    using PrinterTold = std::function<void(const QString& printer, const QueueCheck& check)>;
    void watchPrinter(const QString& printer, std::function<QueueCheck(const QString&)> check,
                      PrinterTold told);

private:
    void run();

    Ask m_ask;
    Told m_told;
    const int m_roundMs;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    QList<Job> m_jobs;
    QString m_printer;
    std::function<QueueCheck(const QString&)> m_check;
    PrinterTold m_printerTold;
    int m_roundsToCheck = 0; // rounds until the watched printer is asked again
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace vellora
