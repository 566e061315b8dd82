#include "platform/SecretServiceKeychain.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

#include <qt6keychain/keychain.h>

using namespace Qt::StringLiterals;

namespace {

const QString kSecretServiceName = u"org.freedesktop.secrets"_s;
constexpr int kBusCallTimeoutMs = 2000;

Keychain::Status statusFor(QKeychain::Error error)
{
    switch (error) {
    case QKeychain::NoError:
        return Keychain::Success;
    case QKeychain::EntryNotFound:
        return Keychain::ItemNotFound;
    case QKeychain::AccessDenied:
        return Keychain::AuthFailed;
    case QKeychain::AccessDeniedByUser:
        return Keychain::UserCanceled;
    case QKeychain::NoBackendAvailable:
    case QKeychain::NotImplemented:
        return Keychain::NotAvailable;
    case QKeychain::CouldNotDeleteEntry:
    case QKeychain::OtherError:
        break;
    }
    return Keychain::InternalError;
}

// Asks the bus daemon one question about a name; nothing when it does not answer.
std::optional<QVariant> askBus(QDBusConnection &bus, const QString &method, const QVariantList &arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(u"org.freedesktop.DBus"_s, u"/org/freedesktop/DBus"_s,
                                                          u"org.freedesktop.DBus"_s, method);
    message.setArguments(arguments);
    const QDBusMessage reply = bus.call(message, QDBus::Block, kBusCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    return reply.arguments().constFirst();
}

// Runs a QtKeychain job to its end. The job is deleted here, or, when it
// outlives the time limit, by itself once it ends.
Keychain::Status runJob(QKeychain::Job *job, std::chrono::milliseconds timeLimit, QString *errorText,
                        QByteArray *data = nullptr)
{
    job->setAutoDelete(false);
    job->setInsecureFallback(false);
    bool finished = false;
    QEventLoop loop;
    QObject::connect(job, &QKeychain::Job::finished, &loop, [&finished, &loop] {
        finished = true;
        loop.quit();
    });
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    job->start();
    if (!finished) {
        limit.start(timeLimit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (!finished) {
        job->setAutoDelete(true);
        *errorText = u"The keychain did not answer in time"_s;
        return Keychain::TimedOut;
    }
    const Keychain::Status status = statusFor(job->error());
    *errorText = status == Keychain::Success ? QString() : job->errorString();
    if (status == Keychain::Success && data)
        *data = static_cast<QKeychain::ReadPasswordJob *>(job)->binaryData();
    delete job;
    return status;
}

} // namespace

SecretServiceKeychain::SecretServiceKeychain(std::chrono::milliseconds timeLimit)
    : m_timeLimit(timeLimit)
{
}

bool SecretServiceKeychain::isServiceReachable()
{
    // Without an address D-Bus would try to auto-launch a bus of its own;
    // only a bus that already runs can hold a keyring.
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
        const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
        if (runtimeDir.isEmpty() || !QFileInfo::exists(runtimeDir + u"/bus"_s))
            return false;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    if (askBus(bus, u"NameHasOwner"_s, {kSecretServiceName}).value_or(false).toBool())
        return true;
    const auto activatable = askBus(bus, u"ListActivatableNames"_s, {});
    return activatable && activatable->toStringList().contains(kSecretServiceName);
}

Keychain::Status SecretServiceKeychain::read(const QString &service, const QString &account, QByteArray *value)
{
    auto *job = new QKeychain::ReadPasswordJob(service);
    job->setKey(account);
    return runJob(job, m_timeLimit, &m_lastError, value);
}

Keychain::Status SecretServiceKeychain::write(const QString &service, const QString &account, const QByteArray &value)
{
    auto *job = new QKeychain::WritePasswordJob(service);
    job->setKey(account);
    job->setBinaryData(value);
    return runJob(job, m_timeLimit, &m_lastError);
}

Keychain::Status SecretServiceKeychain::add(const QString &service, const QString &account, const QByteArray &value,
                                            QByteArray *persistentRef)
{
    if (!isValidService(service))
        return BadParameter;
    if (!isServiceReachable())
        return NotAvailable;
    const Status existing = read(service, account, nullptr);
    if (existing == Success)
        return DuplicateItem;
    if (existing != ItemNotFound)
        return existing;
    const Status status = write(service, account, value);
    if (status == Success && persistentRef)
        *persistentRef = makePersistentRef(service, account);
    return status;
}

Keychain::Status SecretServiceKeychain::update(const QString &service, const QString &account, const QByteArray &value)
{
    if (!isServiceReachable())
        return NotAvailable;
    const Status existing = read(service, account, nullptr);
    if (existing != Success)
        return existing;
    return write(service, account, value);
}

Keychain::Status SecretServiceKeychain::copy(const QString &service, const QString &account, QByteArray *value,
                                             QByteArray *persistentRef)
{
    if (!isServiceReachable())
        return NotAvailable;
    QByteArray data;
    const Status status = read(service, account, &data);
    if (status != Success)
        return status;
    if (value)
        *value = data;
    if (persistentRef)
        *persistentRef = makePersistentRef(service, account);
    return Success;
}

Keychain::Status SecretServiceKeychain::remove(const QString &service, const QString &account)
{
    if (!isServiceReachable())
        return ItemNotFound;
    // The Secret Service reports success for a deletion that matched nothing;
    // look first so that a missing item reads as ItemNotFound.
    const Status existing = read(service, account, nullptr);
    if (existing != Success)
        return existing;
    auto *job = new QKeychain::DeletePasswordJob(service);
    job->setKey(account);
    return runJob(job, m_timeLimit, &m_lastError);
}
