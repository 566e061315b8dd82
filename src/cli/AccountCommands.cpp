// The account from a terminal: register, verify, resend-code, login, logout,
// whoami, devices and revoke, over the same services the application uses.
#include "cli/Cli.h"
#include "cli/PasswordInput.h"

#include "model/InternetDateTime.h"
#include "vpn/AppServices.h"

using namespace Qt::StringLiterals;

namespace {

const QString kPasswordStdin = u"--password-stdin"_s;

// Splits `--password-stdin` from the other arguments; false when an unknown
// option is given.
bool takePasswordOption(QStringList &arguments, bool *fromStdin)
{
    *fromStdin = arguments.removeAll(kPasswordStdin) > 0;
    for (const QString &argument : std::as_const(arguments))
        if (argument.startsWith(u'-'))
            return false;
    return true;
}

std::optional<QString> askPassword(Cli::Context &context, bool fromStdin, bool confirm)
{
    QString error;
    if (fromStdin) {
        auto password = PasswordInput::fromStandardInput(&error);
        if (!password)
            Cli::fail(context, error);
        return password;
    }
    auto password = PasswordInput::fromTerminal(u"Password: "_s, &error);
    if (password && confirm) {
        const auto again = PasswordInput::fromTerminal(u"Confirm password: "_s, &error);
        if (again && *again != *password)
            error = u"the passwords do not match"_s;
        if (!again || *again != *password)
            password.reset();
    }
    if (!password)
        Cli::fail(context, error);
    return password;
}

QString dateText(const QDateTime &date)
{
    return date.toUTC().toString(u"yyyy-MM-dd HH:mm:ss 'UTC'"_s);
}

// Tells what a registration attempted after a sign-in published, if anything.
void reportRegistration(Cli::Context &context)
{
    const DeviceManager &devices = context.services->devices;
    if (devices.showDeviceLimitSheet()) {
        context.err << u"velorin: this computer was not added to the account: all "_s << devices.maxDevices()
                    << u" device slots are used. Remove one with 'velorin devices' and 'velorin revoke ID'."_s
                    << Qt::endl;
    } else if (const auto message = devices.errorMessage()) {
        context.err << u"velorin: this computer was not added to the account: "_s << *message << Qt::endl;
    }
}

// Restores the stored session the way the application does at start.
// Fails with a message when no session can be restored.
QCoro::Task<bool> restore(Cli::Context &context)
{
    AuthService &auth = context.services->auth;
    co_await auth.restoreSession();
    if (auth.authState().isAuthenticated())
        co_return true;
    // Tokens kept after a failed restore mean the service did not answer.
    if (auth.keychainManager().retrieveString(KeychainManager::refreshTokenKey))
        Cli::fail(context, u"could not reach the account service; try again later (--verbose shows why)"_s);
    else
        Cli::fail(context, u"not signed in (use 'velorin login EMAIL')"_s);
    co_return false;
}

QCoro::Task<int> registerCommand(Cli::Context &context, QStringList arguments)
{
    bool fromStdin = false;
    if (!takePasswordOption(arguments, &fromStdin) || arguments.size() != 1)
        co_return Cli::fail(context, u"usage: velorin register EMAIL [--password-stdin]"_s, Cli::kUsage);
    const QString email = arguments.first();
    const auto password = askPassword(context, fromStdin, true);
    if (!password)
        co_return Cli::kFailure;
    AuthService &auth = context.services->auth;
    co_await auth.registerAccount(email, *password);
    if (const auto message = auth.errorMessage())
        co_return Cli::fail(context, *message);
    if (auth.pendingVerificationEmail())
        context.out << u"Account created. Enter the code sent to "_s << email << u" with: velorin verify "_s << email
                    << u" CODE"_s << Qt::endl;
    else
        context.out << u"Account created. Sign in with: velorin login "_s << email << Qt::endl;
    co_return Cli::kSuccess;
}

QCoro::Task<int> verifyCommand(Cli::Context &context, QStringList arguments)
{
    if (arguments.size() != 2 || arguments.first().startsWith(u'-'))
        co_return Cli::fail(context, u"usage: velorin verify EMAIL CODE"_s, Cli::kUsage);
    AuthService &auth = context.services->auth;
    co_await auth.verifyEmail(arguments[0], arguments[1]);
    if (const auto message = auth.errorMessage())
        co_return Cli::fail(context, *message);
    if (!auth.authState().isAuthenticated())
        co_return Cli::fail(context, u"the address is verified, but signing in failed; try 'velorin login EMAIL'"_s);
    context.out << u"Email verified. Signed in as "_s << auth.authState().user()->email << Qt::endl;
    reportRegistration(context);
    co_return Cli::kSuccess;
}

QCoro::Task<int> resendCommand(Cli::Context &context, QStringList arguments)
{
    if (arguments.size() != 1 || arguments.first().startsWith(u'-'))
        co_return Cli::fail(context, u"usage: velorin resend-code EMAIL"_s, Cli::kUsage);
    AuthService &auth = context.services->auth;
    co_await auth.resendCode(arguments.first());
    if (const auto message = auth.errorMessage())
        co_return Cli::fail(context, *message);
    context.out << u"A new code is on its way to "_s << arguments.first() << Qt::endl;
    co_return Cli::kSuccess;
}

QCoro::Task<int> loginCommand(Cli::Context &context, QStringList arguments)
{
    bool fromStdin = false;
    if (!takePasswordOption(arguments, &fromStdin) || arguments.size() != 1)
        co_return Cli::fail(context, u"usage: velorin login EMAIL [--password-stdin]"_s, Cli::kUsage);
    const auto password = askPassword(context, fromStdin, false);
    if (!password)
        co_return Cli::kFailure;
    AuthService &auth = context.services->auth;
    co_await auth.login(arguments.first(), *password);
    if (const auto message = auth.errorMessage())
        co_return Cli::fail(context, *message);
    context.out << u"Signed in as "_s << auth.authState().user()->email << Qt::endl;
    reportRegistration(context);
    co_return Cli::kSuccess;
}

QCoro::Task<int> logoutCommand(Cli::Context &context, QStringList arguments)
{
    if (!arguments.isEmpty())
        co_return Cli::fail(context, u"'logout' takes no arguments"_s, Cli::kUsage);
    context.services->auth.signOut();
    context.out << u"Signed out"_s << Qt::endl;
    co_return Cli::kSuccess;
}

QCoro::Task<int> whoamiCommand(Cli::Context &context, QStringList arguments)
{
    if (!arguments.isEmpty())
        co_return Cli::fail(context, u"'whoami' takes no arguments"_s, Cli::kUsage);
    const bool restored = co_await restore(context);
    if (!restored)
        co_return Cli::kFailure;
    const User user = *context.services->auth.authState().user();
    context.out << u"Email:         "_s << user.email << u'\n'
                << u"User ID:       "_s << user.id << u'\n'
                << u"Created:       "_s << dateText(user.createdAt) << u'\n';
    if (const auto cache = context.services->entitlements.loadCachedEntitlement()) {
        context.out << u"Plan:          "_s << cache->provider << u'\n'
                    << u"Active:        "_s << (cache->isActive ? u"yes"_s : u"no"_s) << u'\n'
                    << u"Expires:       "_s << dateText(cache->expiresAt) << u'\n'
                    << u"Last checked:  "_s << dateText(cache->lastVerified) << u'\n';
    } else {
        context.out << u"Subscription:  none on record\n"_s;
    }
    context.out.flush();
    co_return Cli::kSuccess;
}

// Restores the session and fetches the list; fails with the manager's message.
QCoro::Task<bool> loadDevices(Cli::Context &context)
{
    const bool restored = co_await restore(context);
    if (!restored)
        co_return false;
    DeviceManager &devices = context.services->devices;
    co_await devices.fetchDevices();
    if (const auto message = devices.errorMessage()) {
        Cli::fail(context, *message);
        co_return false;
    }
    co_return true;
}

QCoro::Task<int> devicesCommand(Cli::Context &context, QStringList arguments)
{
    if (!arguments.isEmpty())
        co_return Cli::fail(context, u"'devices' takes no arguments"_s, Cli::kUsage);
    const bool loaded = co_await loadDevices(context);
    if (!loaded)
        co_return Cli::kFailure;
    const DeviceManager &manager = context.services->devices;
    context.out << u"  "_s << u"ID"_s.leftJustified(10) << u"NAME"_s.leftJustified(26) << u"PLATFORM"_s.leftJustified(10)
                << u"VERSION"_s.leftJustified(9) << u"CREATED"_s << u'\n';
    for (const RegisteredDevice &device : manager.devices()) {
        context.out << (manager.isCurrentDevice(device) ? u"* "_s : u"  "_s) << device.deviceId.left(8).leftJustified(10)
                    << device.nickname.leftJustified(25) << u' ' << device.platform.value_or(u"unknown"_s).leftJustified(10)
                    << device.appVersion.value_or(u"-"_s).leftJustified(9) << device.createdAt << u'\n';
    }
    context.out << u"\n"_s << manager.activeDeviceCount() << u" of "_s << manager.maxDevices()
                << u" device slots used; * this computer\n"_s;
    context.out.flush();
    co_return Cli::kSuccess;
}

QCoro::Task<int> revokeCommand(Cli::Context &context, QStringList arguments)
{
    if (arguments.size() != 1 || arguments.first().startsWith(u'-'))
        co_return Cli::fail(context, u"usage: velorin revoke DEVICE_ID (see 'velorin devices')"_s, Cli::kUsage);
    const QString wanted = arguments.first();
    const bool loaded = co_await loadDevices(context);
    if (!loaded)
        co_return Cli::kFailure;
    DeviceManager &manager = context.services->devices;
    // The listing shows the first 8 characters; any unambiguous start will do.
    QList<RegisteredDevice> matches;
    for (const RegisteredDevice &device : manager.devices())
        if (device.deviceId.startsWith(wanted, Qt::CaseInsensitive))
            matches.append(device);
    if (matches.isEmpty())
        co_return Cli::fail(context, u"no active device '"_s + wanted + u"' (see 'velorin devices')"_s);
    if (matches.size() > 1)
        co_return Cli::fail(context, u"'"_s + wanted + u"' matches "_s + QString::number(matches.size())
                                         + u" devices; give more of its ID"_s);
    const RegisteredDevice device = matches.first();
    const bool isThisComputer = manager.isCurrentDevice(device);
    co_await manager.revokeDevice(device.deviceId);
    if (const auto message = manager.errorMessage())
        co_return Cli::fail(context, *message);
    context.out << u"Removed "_s << device.nickname << u" ("_s << device.deviceId.left(8) << u")"_s
                << (isThisComputer ? u"; this computer is added back at its next sign-in or session restore"_s : QString()) << Qt::endl;
    co_return Cli::kSuccess;
}

const bool registered = [] {
    Cli::registerCommand({u"register"_s, u"EMAIL"_s, u"create an account; a code is mailed to EMAIL"_s, registerCommand});
    Cli::registerCommand({u"verify"_s, u"EMAIL CODE"_s, u"confirm the address with its code and sign in"_s, verifyCommand});
    Cli::registerCommand({u"resend-code"_s, u"EMAIL"_s, u"mail a new verification code"_s, resendCommand});
    Cli::registerCommand({u"login"_s, u"EMAIL"_s, u"sign in (password from the terminal, or --password-stdin)"_s, loginCommand});
    Cli::registerCommand({u"logout"_s, {}, u"sign out on this computer"_s, logoutCommand});
    Cli::registerCommand({u"whoami"_s, {}, u"show the signed-in user and the subscription"_s, whoamiCommand});
    Cli::registerCommand({u"devices"_s, {}, u"list the account's devices; * marks this computer"_s, devicesCommand});
    Cli::registerCommand({u"revoke"_s, u"DEVICE_ID"_s, u"remove a device from the account"_s, revokeCommand});
    return true;
}();

} // namespace
