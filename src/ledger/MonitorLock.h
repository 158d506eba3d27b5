#pragma once

#include "core/SafeFile.h"

#include <QString>

namespace vellora {

// One monitor per program folder and per hot folder, for the life of the
// process: the GUI, `vellora-cli watch` and the service alike. Two flock
// locks, released by the kernel however the process ends:
//  - 打印记录.db.lock beside the ledger (0660, opened through the program
//    folder's descriptor without following a link): one writer of the ledger;
//  - vellora-<device>-<inode>.lock for the hot folder itself, in a folder every
//    account reaches (lockFolderForHotFolders), so that an operator's GUI and
//    the service running as another user see each other whatever program
//    folder they run from.
// Each lock file holds the pid of the process that holds it, for the message.
class MonitorLock
{
public:
    MonitorLock() = default;
    ~MonitorLock() = default;
    MonitorLock(MonitorLock&&) = default;
    MonitorLock& operator=(MonitorLock&&) = default;

    // Takes both locks, or neither (error() and holderPid() then say why).
    // lockFolder: where the hot folder's lock lives; empty means
    // lockFolderForHotFolders().
    bool acquire(const QString& programFolder, const QString& hotFolder,
                 const QString& lockFolder = QString());
    void release();
    bool isHeld() const { return m_programLock.isValid() && m_hotFolderLock.isValid(); }

    // For the operator: who holds it, in Chinese.
    QString error() const { return m_error; }
    // The process holding the lock that refused, when its lock file names a
    // live one; 0 when unknown.
    qint64 holderPid() const { return m_holderPid; }

    // /run/lock when this process may create files there (Debian makes it
    // 1777, shared by every account), else $XDG_RUNTIME_DIR (this user's
    // processes only), else the temporary folder.
    static QString lockFolderForHotFolders();

private:
    FileDescriptor m_programLock;
    FileDescriptor m_hotFolderLock;
    QString m_error;
    qint64 m_holderPid = 0;
};

} // namespace vellora
