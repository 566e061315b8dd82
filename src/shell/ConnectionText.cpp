#include "shell/ConnectionText.h"

#include "model/ConnectionPresentation.h"
#include "shell/DisplayText.h"

namespace ConnectionText {

QString reason(const VPNConnectionState &state)
{
    if (!state.isError())
        return {};
    return DisplayText::clean(state.errorMessage().trimmed(), DisplayText::messageLimit);
}

QString trayToolTip(const VPNConnectionState &state)
{
    // The first line is always ours and holds no markup, so Qt shows the
    // whole tooltip as plain text.
    QString text = ConnectionPresentation::trayTitle(VPNDisplay::status(state));
    const QString why = reason(state);
    if (!why.isEmpty())
        text += u'\n' + why;
    return text;
}

std::optional<Notice> DropWatch::next(const VPNConnectionState &state)
{
    using Kind = VPNConnectionState::Kind;
    const VPNConnectionState previous = std::exchange(m_previous, state);
    if (state == previous)
        return std::nullopt;
    const bool wasLive = previous.is(Kind::Connected) || previous.is(Kind::Reconnecting);
    switch (state.kind()) {
    case Kind::Connected:
        m_wasUp = true;
        return std::nullopt;
    case Kind::Reconnecting:
        return std::nullopt;
    case Kind::Connecting:
    case Kind::Disconnecting:
        m_wasUp = false;
        return std::nullopt;
    case Kind::Disconnected:
        m_wasUp = false;
        if (!wasLive)
            return std::nullopt;
        return Notice{tr("VPN disconnected"), tr("The VPN connection dropped. Open Velorin VPN to connect again.")};
    case Kind::Error:
        if (!m_wasUp)
            return std::nullopt;
        return Notice{wasLive ? tr("VPN connection lost") : tr("VPN could not reconnect"), reason(state)};
    }
    return std::nullopt;
}

} // namespace ConnectionText
