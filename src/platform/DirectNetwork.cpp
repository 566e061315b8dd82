#include "platform/DirectNetwork.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>

QNetworkAccessManager *DirectNetwork::create(QObject *parent)
{
    auto *network = new QNetworkAccessManager(parent);
    network->setProxy(QNetworkProxy::NoProxy);
    return network;
}
