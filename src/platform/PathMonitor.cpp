#include "platform/PathMonitor.h"

#include <QNetworkInformation>

#include <optional>

namespace {

QNetworkInformation *networkInformation()
{
    if (QNetworkInformation *info = QNetworkInformation::instance())
        return info;
    if (QNetworkInformation::loadDefaultBackend() || QNetworkInformation::loadBackendByName(u"glib"))
        return QNetworkInformation::instance();
    return nullptr;
}

std::optional<PathMonitor::Status> statusOf(QNetworkInformation::Reachability reachability)
{
    switch (reachability) {
    case QNetworkInformation::Reachability::Online:
    case QNetworkInformation::Reachability::Site:
        return PathMonitor::Status::Satisfied;
    case QNetworkInformation::Reachability::Disconnected:
    case QNetworkInformation::Reachability::Local:
        return PathMonitor::Status::Unsatisfied;
    case QNetworkInformation::Reachability::Unknown:
        break;
    }
    return std::nullopt;
}

} // namespace

void QtPathMonitor::start()
{
    QNetworkInformation *info = networkInformation();
    if (!info || m_connection)
        return;
    const auto report = [this](QNetworkInformation::Reachability reachability) {
        if (const auto status = statusOf(reachability))
            emit pathUpdated(*status);
    };
    m_connection = QObject::connect(info, &QNetworkInformation::reachabilityChanged, this, report);
    report(info->reachability());
}

void QtPathMonitor::cancel()
{
    QObject::disconnect(m_connection);
    m_connection = {};
}

PathMonitorFactory QtPathMonitor::factory()
{
    return [] { return std::make_unique<QtPathMonitor>(); };
}
