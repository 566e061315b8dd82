#include "support/FakeSystemVpn.h"

#include "platform/MainThread.h"

void FakeSystemVpn::complete(const Completion &completion, const std::optional<QString> &error)
{
    MainThread::post(this, [completion, error]() { completion(error); });
}

void FakeSystemVpn::loadFromPreferences(Completion completion)
{
    ++loadCalls;
    if (std::exchange(reportStatusOnLoad, false))
        emitStatus(m_status);
    complete(completion, loadCalls >= loadErrorFromCall ? loadError : std::nullopt);
}

void FakeSystemVpn::saveToPreferences(const IKEv2Profile &profile, Completion completion)
{
    savedProfiles.append(profile);
    complete(completion, saveError);
}

std::optional<QString> FakeSystemVpn::startTunnel()
{
    ++startCalls;
    if (startError)
        return startError;
    m_failureReason.clear();
    play(startScript, std::nullopt);
    return std::nullopt;
}

void FakeSystemVpn::stopTunnel()
{
    ++stopCalls;
    if (m_status == Status::Disconnected || m_status == Status::Invalid)
        return;
    play({Status::Disconnecting, Status::Disconnected}, std::nullopt);
}

void FakeSystemVpn::emitStatus(Status status)
{
    play({status}, std::nullopt);
}

void FakeSystemVpn::emitFailure(Status status, const QString &reason)
{
    play({status}, reason);
}

// Like the system, status() takes the first status at once; each status is
// delivered, and becomes status(), from the event loop.
void FakeSystemVpn::play(const QList<Status> &script, const std::optional<QString> &reasonForLast)
{
    if (!script.isEmpty())
        m_status = script.first();
    for (qsizetype i = 0; i < script.size(); ++i) {
        const Status status = script[i];
        const std::optional<QString> reason = i == script.size() - 1 ? reasonForLast : std::nullopt;
        MainThread::post(this, [this, status, reason]() {
            if (reason)
                m_failureReason = *reason;
            m_status = status;
            emit statusChanged(status);
        });
    }
}
