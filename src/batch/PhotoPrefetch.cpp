#include "batch/PhotoPrefetch.h"

#include <algorithm>

namespace vellora {

PhotoPrefetch::PhotoPrefetch(QStringList paths, QSize cell, int workers, int ahead)
    : m_paths(std::move(paths)), m_cell(cell), m_ahead(std::max(ahead, 1))
{
    const int count = std::clamp(workers, 0, int(m_paths.size()));
    m_workers.reserve(size_t(count));
    for (int i = 0; i < count; ++i)
        m_workers.emplace_back([this] { work(); });
}

PhotoPrefetch::~PhotoPrefetch()
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    for (std::thread& worker : m_workers)
        worker.join();
}

int PhotoPrefetch::defaultWorkers()
{
    return std::max(1, int(std::thread::hardware_concurrency()));
}

void PhotoPrefetch::work()
{
    std::unique_lock<std::mutex> guard(m_mutex);
    for (;;) {
        m_changed.wait(guard, [this] {
            return m_stopping || m_next >= m_paths.size() || m_next < m_consumed + m_ahead;
        });
        if (m_stopping || m_next >= m_paths.size())
            return;
        const int index = m_next++;
        guard.unlock();
        QImage area = renderPhotoArea(m_paths[index], m_cell);
        guard.lock();
        m_done.insert(index, std::move(area));
        m_changed.notify_all();
    }
}

PreparedPhoto PhotoPrefetch::take(int index)
{
    PreparedPhoto prepared{m_paths.value(index), m_cell, {}, {}};
    std::unique_lock<std::mutex> guard(m_mutex);
    if (index >= m_next) {
        // No worker has reached it (none were started, or they are all busy
        // further back): render it here rather than wait.
        m_next = index + 1;
        guard.unlock();
        prepared.area = renderPhotoArea(prepared.path, m_cell);
        guard.lock();
    } else {
        m_changed.wait(guard, [this, index] { return m_done.contains(index); });
        prepared.area = m_done.take(index);
    }
    m_consumed = std::max(m_consumed, index + 1);
    m_changed.notify_all();
    return prepared;
}

int PhotoPrefetch::aheadFor(QSize cell)
{
    // A few photos per worker, fewer when cells are huge: the areas waiting
    // stay within 64 MB.
    const qint64 bytes = std::max<qint64>(qint64(cell.width()) * cell.height() * 4, 1);
    return int(std::clamp<qint64>((64LL << 20) / bytes, 1, 3 * defaultWorkers()));
}

} // namespace vellora
