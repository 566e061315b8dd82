#pragma once

#include "platform/NotificationCenter.h"
#include "support/FakeKeychain.h"
#include "support/TempDefaults.h"
#include "vpn/AppServices.h"

#include <QCoro/QCoroTask>

#include <chrono>
#include <exception>
#include <optional>
#include <type_traits>

// The application's services over temporary defaults, a fake keychain and
// one backend address, with short time-outs and the session renewal off. A
// second instance over the same defaults is the next start.
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

template<typename T>
struct Outcome
{
    std::optional<T> value;
    std::exception_ptr error;

    QString description() const { return error ? describe(error) : QStringLiteral("<no error>"); }

    template<typename E>
    std::optional<E> errorAs() const
    {
        try {
            if (error)
                std::rethrow_exception(error);
        } catch (const E &e) {
            return e;
        } catch (...) {
        }
        return std::nullopt;
    }
};

struct Done
{
};

// Several may run at once.
template<typename T, typename V = std::conditional_t<std::is_void_v<T>, Done, T>>
QCoro::Task<Outcome<V>> captured(QCoro::Task<T> task)
{
    Outcome<V> outcome;
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            outcome.value = Done{};
        } else {
            outcome.value = co_await std::move(task);
        }
    } catch (...) {
        outcome.error = std::current_exception();
    }
    co_return outcome;
}

// QCoro::waitFor alone never returns for a task that throws.
template<typename T>
auto outcomeOf(QCoro::Task<T> task)
{
    return QCoro::waitFor(captured(std::move(task)));
}

inline std::exception_ptr runToEnd(QCoro::Task<> task)
{
    return outcomeOf(std::move(task)).error;
}
