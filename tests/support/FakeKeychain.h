#pragma once

#include "platform/Keychain.h"

#include <QHash>
#include <QList>
#include <QPair>

#include <optional>

// An in-memory keychain for tests. It keeps items by service and account,
// behaves like the real one (DuplicateItem, ItemNotFound), records every call,
// and can be told to fail an operation with a chosen status.
class FakeKeychain : public Keychain
{
public:
    enum class Operation { Add, Update, Copy, Remove };

    struct Call
    {
        Operation operation;
        QString service;
        QString account;
        bool operator==(const Call &) const = default;
    };

    Status add(const QString &service, const QString &account, const QByteArray &value,
               QByteArray *persistentRef = nullptr) override;
    Status update(const QString &service, const QString &account, const QByteArray &value) override;
    Status copy(const QString &service, const QString &account, QByteArray *value,
                QByteArray *persistentRef = nullptr) override;
    Status remove(const QString &service, const QString &account) override;

    // From now on `operation` fails with `status` and changes nothing: for
    // every account, or only for `account` when given. A later call for the
    // same operation and account replaces the earlier status.
    void failOn(Operation operation, Status status, const std::optional<QString> &account = std::nullopt);

    // Direct access to the items, bypassing failures and the call record.
    void setItem(const QString &service, const QString &account, const QByteArray &value);
    std::optional<QByteArray> item(const QString &service, const QString &account) const;

    // Every call, oldest first.
    QList<Call> calls;

private:
    std::optional<Status> failure(Operation operation, const QString &account) const;
    Status record(Operation operation, const QString &service, const QString &account);

    QHash<QPair<QString, QString>, QByteArray> m_items;
    // Key: operation and account (empty optional = every account).
    QList<std::tuple<Operation, std::optional<QString>, Status>> m_failures;
};
