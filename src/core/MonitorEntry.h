#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace vellora {

// What the watcher saw of a photo when it reported it written. The tick lays
// out that very file or nothing: a name swapped meanwhile for a link, or for
// another file, is skipped. A photo rewritten in place is reported again,
// with its new size.
struct PhotoStamp
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = -1; // -1: never seen
    qint64 mtimeNs = 0;

    bool isKnown() const { return size >= 0; }
    // The same file at the same length: what the tick checks before it reads.
    bool sameFile(const PhotoStamp& other) const
    {
        return device == other.device && inode == other.inode && size == other.size;
    }
    bool operator==(const PhotoStamp&) const = default;
};

// One queued photo: its name relative to the hot folder and the file it was.
// The first entry of the queue is always the empty sentinel.
struct MonitorEntry
{
    MonitorEntry() = default;
    // Implicit: the sentinel and names without a stamp read as plain names.
    MonitorEntry(QString entryName, PhotoStamp entryStamp = {})
        : name(std::move(entryName)), stamp(entryStamp)
    {
    }

    QString name;
    PhotoStamp stamp;
    // The photo's row in the print ledger; 0 until it is recorded there.
    qint64 ledgerId = 0;
    // Its path under the hot folder as the file system gave it when counted.
    QByteArray ledgerPath;
    // Copies to lay out; 0: the template's output count.
    int copies = 0;
    // Taken up again after a restart or asked for again (加印): printed even
    // when the same bytes were printed before.
    bool again = false;
    // Laid out because the operator asked for more copies.
    bool reprint = false;

    bool operator==(const MonitorEntry&) const = default;
};

using MonitorQueue = QList<MonitorEntry>;

inline QStringList queuedNames(const MonitorQueue& queue)
{
    QStringList names;
    names.reserve(queue.size());
    for (const MonitorEntry& entry : queue)
        names.append(entry.name);
    return names;
}

} // namespace vellora
