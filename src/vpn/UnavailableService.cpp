#include "vpn/UnavailableService.h"

#include "platform/Log.h"
#include "platform/MainThread.h"

using namespace Qt::StringLiterals;

UnavailableService::UnavailableService(VPNProtocolType protocol, QString reason, QObject *parent)
    : VPNServiceProtocol(parent)
    , m_protocol(protocol)
    , m_reason(std::move(reason))
{
}

QString UnavailableService::serverName() const
{
    return u"Not Connected"_s;
}

void UnavailableService::connect(const std::optional<QString> &, const std::optional<QString> &)
{
    Log::system(u"❌ "_s + VPNProtocol::shortName(m_protocol) + u": "_s + m_reason);
    setState(VPNConnectionState::connecting());
    MainThread::post(this, [this] { setState(VPNConnectionState::error(m_reason)); });
}

void UnavailableService::disconnect()
{
    setState(VPNConnectionState::disconnected());
}

void UnavailableService::setState(const VPNConnectionState &state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit connectionStateChanged(m_state);
}
