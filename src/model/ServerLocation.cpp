#include "model/ServerLocation.h"

using namespace Qt::StringLiterals;

namespace {

// The two active rows carry documentation addresses (RFC 5737); a deployment
// replaces them with its servers' public addresses.
QList<ServerLocation> makeCatalogue()
{
    auto row = [](const char16_t *id, const char16_t *name, const char16_t *country, const char16_t *code,
                  const char16_t *city, const char16_t *ip, bool active, bool premium, double lat, double lon) {
        return ServerLocation{QString::fromUtf16(id), QString::fromUtf16(name), QString::fromUtf16(country),
                              QString::fromUtf16(code), QString::fromUtf16(city), QString::fromUtf16(ip),
                              500, active, premium, lat, lon};
    };
    return {
        row(u"sg-node-01", u"Singapore", u"Singapore", u"SG", u"Singapore", u"203.0.113.10", true, false, 1.3521, 103.8198),
        row(u"us-west-01", u"United States - San Francisco", u"United States", u"US", u"San Francisco", u"198.51.100.20",
            true, false, 37.7749, -122.4194),
        row(u"uk-node-01", u"United Kingdom - London", u"United Kingdom", u"GB", u"London", u"", false, true, 51.5074, -0.1278),
        row(u"ie-node-01", u"Ireland - Dublin", u"Ireland", u"IE", u"Dublin", u"", false, true, 53.3498, -6.2603),
        row(u"in-node-01", u"India - Mumbai", u"India", u"IN", u"Mumbai", u"", false, true, 19.076, 72.8777),
        row(u"au-node-01", u"Australia - Sydney", u"Australia", u"AU", u"Sydney", u"", false, true, -33.8688, 151.2093),
        row(u"de-node-01", u"Germany - Frankfurt", u"Germany", u"DE", u"Frankfurt", u"", false, true, 50.1109, 8.6821),
        row(u"jm-node-01", u"Jamaica - Kingston", u"Jamaica", u"JM", u"Kingston", u"", false, true, 18.1096, -77.2975),
        row(u"it-node-01", u"Italy - Milan", u"Italy", u"IT", u"Milan", u"", false, true, 45.4642, 9.19),
    };
}

} // namespace

QString ServerLocation::flagEmoji() const
{
    QString flag;
    for (const char32_t scalar : countryCode.toUpper().toUcs4()) {
        const char32_t indicator = scalar + 127397;
        flag.append(QString::fromUcs4(&indicator, 1));
    }
    return flag;
}

QString ServerLocation::countryAndCity() const
{
    return country + u" - "_s + city;
}

QJsonObject ServerLocation::toJson() const
{
    return QJsonObject{
        {u"id"_s, id},
        {u"name"_s, name},
        {u"country"_s, country},
        {u"countryCode"_s, countryCode},
        {u"city"_s, city},
        {u"ipAddress"_s, ipAddress},
        {u"port"_s, port},
        {u"isActive"_s, isActive},
        {u"isPremium"_s, isPremium},
        {u"latitude"_s, latitude},
        {u"longitude"_s, longitude},
    };
}

ServerLocation ServerLocation::decode(const JsonReader &json)
{
    return ServerLocation{
        json.string(u"id"_s),
        json.string(u"name"_s),
        json.string(u"country"_s),
        json.string(u"countryCode"_s),
        json.string(u"city"_s),
        json.string(u"ipAddress"_s),
        json.integer(u"port"_s),
        json.boolean(u"isActive"_s),
        json.boolean(u"isPremium"_s),
        json.number(u"latitude"_s),
        json.number(u"longitude"_s),
    };
}

const QList<ServerLocation> &ServerLocation::allServers()
{
    static const QList<ServerLocation> servers = makeCatalogue();
    return servers;
}

const QList<ServerLocation> &ServerLocation::availableServers()
{
    static const QList<ServerLocation> servers = [] {
        QList<ServerLocation> active;
        for (const ServerLocation &server : allServers())
            if (server.isActive)
                active.append(server);
        return active;
    }();
    return servers;
}

const ServerLocation *ServerLocation::find(const QString &id)
{
    for (const ServerLocation &server : allServers())
        if (server.id == id)
            return &server;
    return nullptr;
}
