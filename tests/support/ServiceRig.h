#pragma once

#include "backend/Endpoints.h"
#include "model/VPNConnectionState.h"
#include "storage/KeychainManager.h"
#include "support/FakeKeychain.h"
#include "support/StubServer.h"
#include "support/TempDefaults.h"

#include <QStringList>

#include <optional>

// Around a protocol service: throw-away settings, a token store (signed in
// unless `token` is empty), the stub VPN API and the published states.
struct ServiceRig
{
    TempDefaults defaults;
    FakeKeychain keychain;
    KeychainManager tokens{defaults.standard(), keychain};
    StubServer server;
    QStringList states;

    explicit ServiceRig(const QString &token)
    {
        if (!token.isEmpty())
            tokens.save(token, KeychainManager::accessTokenKey);
    }

    Endpoints endpoints(const std::optional<QString> &baseURL) const
    {
        return Endpoints::at(baseURL.value_or(server.baseUrl()));
    }

    template <typename Service>
    void recordStates(Service *service)
    {
        QObject::connect(service, &Service::connectionStateChanged, service,
                         [this](const VPNConnectionState &state) { states.append(state.description()); });
    }
};
