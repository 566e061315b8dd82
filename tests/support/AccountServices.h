#pragma once

#include "backend/APIClient.h"
#include "backend/AuthService.h"
#include "backend/DeviceManager.h"
#include "backend/EntitlementManager.h"
#include "platform/NotificationCenter.h"
#include "storage/DeviceIdentifier.h"
#include "storage/KeychainManager.h"
#include "support/FakeKeychain.h"
#include "support/TempDefaults.h"

#include <QCoro/QCoroTask>

#include <chrono>
#include <exception>
#include <optional>

// The account services wired the way AuthService::shared() wires them, over
// temporary defaults, a fake keychain and one backend address. A second
// instance over the same defaults is the next start of the application.
struct AccountServices
{
    AccountServices(TempDefaults &defaults, FakeKeychain &keychain, const QString &baseUrl,
                    std::optional<QString> version = QStringLiteral("2.5"))
        : tokens(defaults.standard(), keychain)
        , identifier(tokens)
        , api(tokens, Endpoints::at(baseUrl), nullptr, [version] { return AppInfo(version, {}); })
        , entitlements(defaults.appGroup(), Endpoints::at(baseUrl))
        , devices(tokens, identifier, Endpoints::at(baseUrl), nullptr, [version] { return AppInfo(version, {}); })
        , auth(api, tokens, entitlements, devices, center)
    {
        using namespace std::chrono_literals;
        api.setTimeouts(2s, 5s);
        entitlements.setTimeout(2s);
        devices.setTimeout(2s);
        devices.setComputerNameSource([] { return std::optional<QString>(QStringLiteral("Test Computer")); });
    }

    NotificationCenter center;
    KeychainManager tokens;
    DeviceIdentifier identifier;
    APIClient api;
    EntitlementManager entitlements;
    DeviceManager devices;
    AuthService auth;
};

// Runs a task to its end; gives what it threw (null when it ended normally).
// QCoro::waitFor alone never returns for a task that throws.
inline std::exception_ptr runToEnd(QCoro::Task<> task)
{
    struct Thrown
    {
        std::exception_ptr error;
        static QCoro::Task<Thrown> run(QCoro::Task<> task)
        {
            Thrown thrown;
            try {
                co_await std::move(task);
            } catch (...) {
                thrown.error = std::current_exception();
            }
            co_return thrown;
        }
    };
    return QCoro::waitFor(Thrown::run(std::move(task))).error;
}

// The description of a thrown error; empty for none.
inline QString describe(const std::exception_ptr &thrown)
{
    if (!thrown)
        return {};
    try {
        std::rethrow_exception(thrown);
    } catch (const std::exception &error) {
        return errorDescription(error);
    } catch (...) {
        return QStringLiteral("(not a std::exception)");
    }
}
