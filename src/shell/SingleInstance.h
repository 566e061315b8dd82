#pragma once

#include "vpn/ControlProtocol.h"

#include <QLockFile>
#include <QString>

// One application per user (and settings folder). The first start takes a
// lock it holds for its whole run and then listens on the control socket; a
// second start finds the lock taken, asks the running application over that
// socket to bring a window forward, and ends. Two starts at the same instant
// are serialised by the lock: exactly one becomes the application. A lock
// left by a run that was killed is taken over (its process is gone).
class SingleInstance
{
public:
    enum class Claim {
        Owner,       // this process is the application
        HandedOver,  // another one runs and was asked to show the window
        Unavailable, // neither: message() says why
    };

    explicit SingleInstance(ControlProtocol::Places places);

    // Waits up to `waitMs` for a running application that is still starting
    // to answer.
    Claim claim(const QString &window, int waitMs = 5000);
    QString message() const { return m_message; }
    const ControlProtocol::Places &places() const { return m_places; }

private:
    bool handOver(const QString &window);

    ControlProtocol::Places m_places;
    QLockFile m_lock;
    QString m_message;
};
