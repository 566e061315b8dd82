#include "support/FakeKeychain.h"

Keychain::Status FakeKeychain::record(Operation operation, const QString &service, const QString &account)
{
    calls.append({operation, service, account});
    return failure(operation, account).value_or(Success);
}

std::optional<Keychain::Status> FakeKeychain::failure(Operation operation, const QString &account) const
{
    std::optional<Status> forAll;
    for (const auto &[op, who, status] : m_failures) {
        if (op != operation)
            continue;
        if (who && *who == account)
            return status;
        if (!who)
            forAll = status;
    }
    return forAll;
}

void FakeKeychain::failOn(Operation operation, Status status, const std::optional<QString> &account)
{
    m_failures.removeIf([&](const auto &entry) {
        return std::get<0>(entry) == operation && std::get<1>(entry) == account;
    });
    m_failures.append({operation, account, status});
}

Keychain::Status FakeKeychain::add(const QString &service, const QString &account, const QByteArray &value,
                                   QByteArray *persistentRef)
{
    if (const Status status = record(Operation::Add, service, account); status != Success)
        return status;
    if (!isValidService(service))
        return BadParameter;
    if (m_items.contains({service, account}))
        return DuplicateItem;
    m_items.insert({service, account}, value);
    if (persistentRef)
        *persistentRef = makePersistentRef(service, account);
    return Success;
}

Keychain::Status FakeKeychain::update(const QString &service, const QString &account, const QByteArray &value)
{
    if (const Status status = record(Operation::Update, service, account); status != Success)
        return status;
    auto it = m_items.find({service, account});
    if (it == m_items.end())
        return ItemNotFound;
    *it = value;
    return Success;
}

Keychain::Status FakeKeychain::copy(const QString &service, const QString &account, QByteArray *value,
                                    QByteArray *persistentRef)
{
    if (const Status status = record(Operation::Copy, service, account); status != Success)
        return status;
    const auto it = m_items.constFind({service, account});
    if (it == m_items.cend())
        return ItemNotFound;
    if (value)
        *value = *it;
    if (persistentRef)
        *persistentRef = makePersistentRef(service, account);
    return Success;
}

Keychain::Status FakeKeychain::remove(const QString &service, const QString &account)
{
    if (const Status status = record(Operation::Remove, service, account); status != Success)
        return status;
    return m_items.remove({service, account}) > 0 ? Success : ItemNotFound;
}

void FakeKeychain::setItem(const QString &service, const QString &account, const QByteArray &value)
{
    m_items.insert({service, account}, value);
}

std::optional<QByteArray> FakeKeychain::item(const QString &service, const QString &account) const
{
    const auto it = m_items.constFind({service, account});
    if (it == m_items.cend())
        return std::nullopt;
    return *it;
}
