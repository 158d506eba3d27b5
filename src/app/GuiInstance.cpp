#include "app/GuiInstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vellora {

namespace {

constexpr char kRaise = 'R';

bool socketAddress(const QByteArray& path, sockaddr_un& address)
{
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= qsizetype(sizeof address.sun_path))
        return false;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    return true;
}

} // namespace

GuiInstance::GuiInstance(const QString& programFolder, QObject* parent) : QObject(parent)
{
    const QString real = QFileInfo(programFolder).canonicalFilePath();
    m_key = QString::fromLatin1(
        QCryptographicHash::hash((real.isEmpty() ? programFolder : real).toUtf8(),
                                 QCryptographicHash::Sha256)
            .toHex()
            .left(16));
}

GuiInstance::~GuiInstance()
{
    delete m_notifier;
}

GuiInstance::Claim GuiInstance::claim(const QString& runtimeFolder)
{
    const QString folder = runtimeFolder.isEmpty()
                               ? QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation)
                               : runtimeFolder;
    const QByteArray base = QFile::encodeName(QDir(folder).filePath(QStringLiteral("vellora-")));
    const QByteArray lockPath = base + m_key.toLatin1() + ".lock";
    const QByteArray socketPath = base + m_key.toLatin1() + ".sock";
    sockaddr_un address{};
    // No runtime folder of our own, or a name too long: nothing to share, so
    // this GUI goes on alone (the ledger's lock still keeps monitors apart).
    struct stat st
    {
    };
    if (folder.isEmpty() || ::stat(QFile::encodeName(folder).constData(), &st) != 0 ||
        st.st_uid != geteuid() || (st.st_mode & 077) != 0 || !socketAddress(socketPath, address)) {
        m_error = QStringLiteral("no private runtime folder");
        return Claim::First;
    }
    m_lock.reset(::open(lockPath.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (m_lock.isValid() && ::flock(m_lock.get(), LOCK_EX | LOCK_NB) == 0) {
        ::unlink(socketPath.constData()); // left by a GUI that crashed
        m_listener.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!m_listener.isValid() ||
            ::bind(m_listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
                0 ||
            ::listen(m_listener.get(), 4) != 0) {
            m_error = QString::fromLocal8Bit(std::strerror(errno));
            m_listener.reset();
            return Claim::First;
        }
        m_notifier = new QSocketNotifier(m_listener.get(), QSocketNotifier::Read);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] { answer(); });
        return Claim::First;
    }
    if (!m_lock.isValid()) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        return Claim::First;
    }
    m_lock.reset();
    const FileDescriptor client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (client.isValid() &&
        ::connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::write(client.get(), &kRaise, 1) == 1)
        return Claim::Raised;
    m_error = QString::fromLocal8Bit(std::strerror(errno));
    return Claim::Unknown;
}

void GuiInstance::answer()
{
    for (;;) {
        const FileDescriptor peer(::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!peer.isValid())
            return;
        // Only this user can reach the socket; one byte asks to come forward.
        char wanted = 0;
        struct timeval wait
        {
            0, 200000
        };
        ::setsockopt(peer.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        if (::read(peer.get(), &wanted, 1) == 1 && wanted == kRaise && m_raise)
            m_raise();
    }
}

} // namespace vellora
