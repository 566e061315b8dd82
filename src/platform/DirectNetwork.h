#pragma once

class QNetworkAccessManager;
class QObject;

namespace DirectNetwork {

// A network access manager for the client's own requests (the backend, the
// VPN API). It uses no proxy: Qt otherwise follows the system proxy, which an
// Xray connection points at its own local xray child, so the client's
// requests would loop through that child (and fail while it restarts).
QNetworkAccessManager *create(QObject *parent);

} // namespace DirectNetwork
