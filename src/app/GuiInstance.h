#pragma once

#include "core/SafeFile.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QSocketNotifier;

namespace vellora {

// One main window per program folder and user: a second start of the GUI
// asks the running one to come to the front and ends, instead of opening a
// window whose monitoring the print ledger's lock would refuse anyway. The
// lock and the socket live in this user's runtime folder (0700), so another
// account can neither answer for nor shut out this user's Vellora.
class GuiInstance : public QObject
{
public:
    enum class Claim {
        First,   // this process is the GUI: raise() is called when another starts
        Raised,  // another GUI runs and was asked to come to the front
        Unknown, // another GUI holds the lock but did not answer
    };

    explicit GuiInstance(const QString& programFolder, QObject* parent = nullptr);
    ~GuiInstance() override;

    // runtimeFolder: where the lock and the socket go; empty means this
    // user's runtime folder.
    Claim claim(const QString& runtimeFolder = QString());
    void setRaise(std::function<void()> raise) { m_raise = std::move(raise); }
    QString error() const { return m_error; }

private:
    void answer();

    QString m_key;
    FileDescriptor m_lock;
    FileDescriptor m_listener;
    QSocketNotifier* m_notifier = nullptr;
    std::function<void()> m_raise;
    QString m_error;
};

} // namespace vellora
