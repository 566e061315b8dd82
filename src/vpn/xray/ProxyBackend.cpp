#include "vpn/xray/ProxyBackend.h"

#include "vpn/xray/GnomeProxy.h"
#include "vpn/xray/KdeProxy.h"
#include "vpn/xray/NetworkSetupProxy.h"

using namespace Qt::StringLiterals;

QString ProxyEndpoints::describe() const
{
    return u"SOCKS "_s + host + u':' + QString::number(socksPort) + u", HTTP and HTTPS "_s + host + u':'
        + QString::number(httpPort);
}

QString ProxyBackend::place(const QVariantMap &) const
{
    return label();
}

QString ProxyBackend::where(const QVariantMap &captured) const
{
    return u"in "_s + place(captured);
}

QString ProxyBackend::summary(const QVariantMap &captured) const
{
    return where(captured) + u": "_s + m_endpoints.describe();
}

namespace ProxyBackends {

namespace {

// The store a desktop's own settings tool writes, by one item of
// XDG_CURRENT_DESKTOP (or a DESKTOP_SESSION name); empty when it has none.
QString storeOfDesktop(const QString &name)
{
    const QString item = name.trimmed().toLower();
    if (item.isEmpty())
        return {};
    if (item == u"kde" || item.startsWith(u"plasma"_s))
        return kde;
    for (const char *prefix : {"gnome", "ubuntu", "unity", "budgie", "x-cinnamon", "cinnamon", "mate", "pantheon"})
        if (item.startsWith(QLatin1StringView(prefix)))
            return gnome;
    return {};
}

bool isKnown(const QString &id)
{
    return id == gnome || id == kde || id == networkSetup;
}

} // namespace

QString printable(const QString &text)
{
    QString out = text.left(60);
    for (QChar &c : out)
        if (!c.isPrint())
            c = u'?';
    return out;
}

ProxyChoice choose(const Inputs &given)
{
    Inputs inputs = given;
    for (QString *text : {&inputs.environmentOverride, &inputs.settingOverride, &inputs.currentDesktop,
                          &inputs.desktopSession})
        *text = printable(*text);
    ProxyChoice choice;
    choice.desktop = !inputs.currentDesktop.isEmpty() ? inputs.currentDesktop
        : !inputs.desktopSession.isEmpty()            ? inputs.desktopSession
                                                      : u"unknown"_s;
    const std::pair<QString, QString> overrides[] = {
        {inputs.environmentOverride.trimmed().toLower(), QString::fromLatin1(overrideVariable)},
        {inputs.settingOverride.trimmed().toLower(), u"the setting "_s + settingKey},
    };
    for (const auto &[value, source] : overrides) {
        if (value.isEmpty() || value == u"auto")
            continue;
        if (!isKnown(value)) {
            choice.error = source + u" names \""_s + value + u"\", which is not gnome, kde, networksetup or auto"_s;
            return choice;
        }
        choice.id = value;
        choice.reason = source + u'=' + value;
        return choice;
    }
    if (inputs.toolExists) {
        choice.id = networkSetup;
        choice.reason = u"the proxy tool is installed"_s;
        return choice;
    }
    for (const QString &item : inputs.currentDesktop.split(u':', Qt::SkipEmptyParts)) {
        choice.id = storeOfDesktop(item);
        if (!choice.id.isEmpty()) {
            choice.reason = u"XDG_CURRENT_DESKTOP="_s + inputs.currentDesktop;
            return choice;
        }
    }
    if (inputs.currentDesktop.isEmpty()) {
        choice.id = storeOfDesktop(inputs.desktopSession);
        if (!choice.id.isEmpty()) {
            choice.reason = u"DESKTOP_SESSION="_s + inputs.desktopSession;
            return choice;
        }
    }
    choice.reason = inputs.currentDesktop.isEmpty() ? u"XDG_CURRENT_DESKTOP is not set"_s
                                                    : QString(u"XDG_CURRENT_DESKTOP="_s + inputs.currentDesktop);
    return choice;
}

std::unique_ptr<ProxyBackend> make(const QString &id, const ProxyEndpoints &endpoints, const QString &toolPath)
{
    if (id == networkSetup)
        return std::make_unique<NetworkSetupProxy>(toolPath, endpoints);
    if (id == gnome)
        return std::make_unique<GnomeProxy>(endpoints);
    if (id == kde)
        return std::make_unique<KdeProxy>(KdeProxy::defaultConfigDirectory(), endpoints);
    return nullptr;
}

QString labelOf(const QString &id, const QString &toolPath)
{
    if (id == networkSetup)
        return NetworkSetupProxy::labelFor(toolPath);
    if (id == gnome)
        return GnomeProxy::labelText();
    if (id == kde)
        return KdeProxy::labelText();
    return id;
}

QString noStoreMessage(const QString &desktop, const ProxyEndpoints &endpoints)
{
    const QString which = desktop == u"unknown" ? u"this desktop (XDG_CURRENT_DESKTOP is not set)"_s
                                                : QString(u"this desktop ("_s + desktop + u')');
    return u"Velorin cannot set the system proxy on "_s + which
        + u": it has no proxy setting Velorin knows. Connect with “velorin connect --proxy-only” and point your "
          "programs at SOCKS5 "_s
        + endpoints.host + u':' + QString::number(endpoints.socksPort) + u" or HTTP "_s + endpoints.host + u':'
        + QString::number(endpoints.httpPort) + u'.';
}

} // namespace ProxyBackends
