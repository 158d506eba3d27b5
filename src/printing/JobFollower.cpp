#include "printing/JobFollower.h"

#include <chrono>

namespace vellora {

JobFollower::JobFollower(Ask ask, Told told, int roundMs)
    : m_ask(std::move(ask)), m_told(std::move(told)), m_roundMs(roundMs)
{
    m_thread = std::thread([this] { run(); });
}

JobFollower::~JobFollower()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void JobFollower::follow(const QList<Job>& jobs)
{
    {
        std::lock_guard lock(m_mutex);
        if (jobs == m_jobs)
            return;
        m_jobs = jobs;
    }
    m_wake.notify_all();
}

void JobFollower::watchPrinter(const QString& printer,
                               std::function<QueueCheck(const QString&)> check, PrinterTold told)
{
    {
        std::lock_guard lock(m_mutex);
        if (printer != m_printer)
            m_roundsToCheck = 0;
        m_printer = printer;
        m_check = std::move(check);
        m_printerTold = std::move(told);
    }
    m_wake.notify_all();
}

QList<JobFollower::Job> JobFollower::jobs() const
{
    std::lock_guard lock(m_mutex);
    return m_jobs;
}

void JobFollower::run()
{
    // The watched printer is asked every this many rounds.
    constexpr int kRoundsPerPrinterCheck = 5;
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        if (m_jobs.isEmpty() && m_printer.isEmpty()) {
            m_wake.wait(lock,
                        [this] { return m_stop || !m_jobs.isEmpty() || !m_printer.isEmpty(); });
            continue;
        }
        const auto roundEnds =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(m_roundMs);
        QHash<QString, QList<Job>> byPrinter;
        for (const Job& job : std::as_const(m_jobs))
            byPrinter[job.printer] << job;
        // A round of its own for the printer's state: never two requests a
        // second to one printer.
        const bool checkPrinter = !m_printer.isEmpty() && m_roundsToCheck-- <= 0;
        const QString printer = m_printer;
        const auto check = m_check;
        const auto printerTold = m_printerTold;
        if (checkPrinter) {
            m_roundsToCheck = kRoundsPerPrinterCheck - 1;
            byPrinter.remove(printer);
        }
        lock.unlock();
        if (checkPrinter && check && printerTold)
            printerTold(printer, check(printer));
        for (auto it = byPrinter.cbegin(); it != byPrinter.cend(); ++it) {
            if (std::lock_guard stopping(m_mutex); m_stop)
                break;
            QList<int> ids;
            for (const Job& job : it.value())
                ids << job.jobId;
            const QHash<int, JobReconciliation> answers = m_ask(it.key(), ids);
            for (const Job& job : it.value())
                if (answers.contains(job.jobId))
                    m_told(job, answers.value(job.jobId));
        }
        lock.lock();
        m_wake.wait_until(lock, roundEnds, [this] { return m_stop; });
    }
}

} // namespace vellora
