#pragma once

#include "sheet/SheetRenderer.h"

#include <QHash>
#include <QStringList>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace vellora {

// Renders the photo areas of a job's photos ahead of their layout passes, on
// worker threads, so that decoding the next photos overlaps placing and
// saving the current one. The photos are taken in list order; at most
// `ahead` finished areas wait at any time, so memory stays flat however long
// the list. Destroying it stops the workers after the photo each is on.
class PhotoPrefetch
{
public:
    PhotoPrefetch(QStringList paths, QSize cell, int workers, int ahead);
    ~PhotoPrefetch();
    PhotoPrefetch(const PhotoPrefetch&) = delete;
    PhotoPrefetch& operator=(const PhotoPrefetch&) = delete;

    // Photo i (0-based) of the list, waiting for it if a worker is on it.
    // Called in list order, each index once.
    PreparedPhoto take(int index);

    // Worker threads for this machine: one per core. Decoding is most of the
    // work; the job's own thread mostly waits for it, placing and saving in
    // between.
    static int defaultWorkers();
    // How many finished photo areas of this cell size may wait.
    static int aheadFor(QSize cell);

private:
    void work();

    const QStringList m_paths;
    const QSize m_cell;
    const int m_ahead;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    QHash<int, QImage> m_done;
    int m_next = 0;     // the next photo a worker takes
    int m_consumed = 0; // photos handed to the job
    bool m_stopping = false;
    std::vector<std::thread> m_workers;
};

} // namespace vellora
