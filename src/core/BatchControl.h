#pragma once

#include <atomic>
#include <memory>
#include <mutex>

namespace vellora {

// Shared between the batch window and its jobs.
struct BatchControl
{
    // Set by the stop button (and by closing the window during a job); read by
    // the job after each photo; cleared when the window opens and when a job
    // ends.
    std::atomic<bool> stopRequested{false};
    // Serialises jobs. Made by the window when it opens and dropped when it
    // closes; every job holds its own reference, so the lock outlives it.
    std::shared_ptr<std::mutex> jobLock;
    // Jobs between their start and their end (waiting ones included).
    std::atomic<int> runningJobs{0};
};

} // namespace vellora
