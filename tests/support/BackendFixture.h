#pragma once

#include "support/AccountServices.h"
#include "support/StubServer.h"

#include <QtTest>

// A stub backend and the application's services wired to it.
struct BackendFixture
{
    StubServer server;
    TempDefaults defaults;
    FakeKeychain keychain;
    AccountServices services;

    static inline const QByteArray tokens = R"({"access_token":"AT-new","refresh_token":"RT-new","expires_in":900})";
    static inline const QByteArray user = R"({"id":"u-1","email":"ada@example.com","email_verified":true,)"
                                          R"("display_name":null,"apple_linked":false,"created_at":"2026-01-31T12:00:00.123Z"})";
    static inline const QByteArray subscription =
        R"({"status":"active","plan":"monthly","expires_at":"2027-03-01T00:00:00Z","is_trial":false})";
    static inline const QByteArray registered = R"({"status":"ok","message":"Device registered","device_id":"d"})";
    static inline const QByteArray devices = R"({"devices":[{"id":1,"device_id":"D-1","nickname":"Desk",)"
                                             R"("platform":"linux","is_active":true,"last_seen_at":null,)"
                                             R"("created_at":"2026-01-31T12:00:00Z","app_version":"1.0"}],)"
                                             R"("device_limit":5,"active_count":1,"can_add_more":true})";

    explicit BackendFixture(std::optional<QString> version = QStringLiteral("2.5"),
                            VPNServiceManager::ServiceProvider protocols = {})
        : services(defaults, keychain, server.baseUrl(), std::move(version), std::move(protocols))
    {
    }

    std::optional<QString> token(const QString &key) { return services.tokens.retrieveString(key); }

    // A working account with an active subscription and one device.
    void serveAccount()
    {
        using Response = StubServer::Response;
        for (const QString &path : {QStringLiteral("/auth/login"), QStringLiteral("/auth/refresh"),
                                   QStringLiteral("/auth/verify-email")})
            server.on("POST", path, Response::json(200, tokens));
        server.on("GET", QStringLiteral("/auth/me"), Response::json(200, user));
        server.on("GET", QStringLiteral("/api/v1/subscriptions/status"), Response::json(200, subscription));
        server.on("POST", QStringLiteral("/api/v1/devices/register"), Response::json(200, registered));
        server.on("GET", QStringLiteral("/api/v1/devices"), Response::json(200, devices));
    }
};
