#pragma once

#include <atomic>
#include <memory>
#include <mutex>

namespace vellora {

// Shared between the batch window and its job. The lock lives as long as the
// window; jobs hold a reference so it outlives every job.
struct BatchControl
{
    std::atomic<bool> stopRequested{false};
    std::shared_ptr<std::mutex> jobLock;
    std::atomic<int> runningJobs{0};
};

} // namespace vellora
