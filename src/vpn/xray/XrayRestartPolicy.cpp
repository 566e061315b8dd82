#include "vpn/xray/XrayRestartPolicy.h"

bool XrayRestartPolicy::recordLoss(qint64 nowMs)
{
    m_losses.append(nowMs);
    while (!m_losses.isEmpty() && nowMs - m_losses.first() > windowMs)
        m_losses.removeFirst();
    return m_losses.size() >= maxLossesInWindow;
}

std::optional<int> XrayRestartPolicy::nextRestartDelayMs()
{
    if (m_attempts > maxAttempts - 1)
        return std::nullopt;
    ++m_attempts;
    return 2000 * m_attempts;
}

void XrayRestartPolicy::reset()
{
    m_attempts = 0;
    m_losses.clear();
}
