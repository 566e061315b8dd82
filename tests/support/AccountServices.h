#pragma once

#include "platform/NotificationCenter.h"
#include "support/FakeKeychain.h"
#include "support/TempDefaults.h"
#include "vpn/AppServices.h"

#include <QCoro/QCoroTask>

#include <chrono>
#include <exception>
#include <optional>

// The application's services over temporary defaults, a fake keychain, a
// notification centre of their own and one backend address, with short
// time-outs; the protocol services are given (or the real ones). The session
// renewal stays off unless a test turns it on. A second instance over the
// same defaults is the next start of the application.
struct OwnNotificationCenter
{
    NotificationCenter ownCenter;
};

struct AccountServices : private OwnNotificationCenter, AppServices
{
    AccountServices(TempDefaults &defaults, FakeKeychain &keychain, const QString &baseUrl,
                    std::optional<QString> version = QStringLiteral("2.5"),
                    VPNServiceManager::ServiceProvider protocols = {})
        : AppServices(Setup{defaults.standard(), defaults.appGroup(), keychain, ownCenter, Endpoints::at(baseUrl),
                            [version] { return AppInfo(version, {}); }, {}, std::move(protocols), false, false})
    {
        using namespace std::chrono_literals;
        api.setTimeouts(2s, 5s);
        entitlements.setTimeout(2s);
        devices.setTimeout(2s);
        devices.setComputerNameSource([] { return std::optional<QString>(QStringLiteral("Test Computer")); });
    }
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
