#pragma once

#include "platform/Keychain.h"

#include <QHash>
#include <QList>
#include <QPair>

#include <optional>

// An in-memory keychain that answers like the real one (DuplicateItem,
// ItemNotFound), records every call and fails operations on demand.
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

    // From now on `operation` fails with `status` and changes nothing, for
    // every account or only `account`; a later call replaces the status.
    void failOn(Operation operation, Status status, const std::optional<QString> &account = std::nullopt);

    // Bypass failures and the call record.
    void setItem(const QString &service, const QString &account, const QByteArray &value);
    std::optional<QByteArray> item(const QString &service, const QString &account) const;

    QList<Call> calls;

private:
    std::optional<Status> failure(Operation operation, const QString &account) const;
    Status record(Operation operation, const QString &service, const QString &account);

    QHash<QPair<QString, QString>, QByteArray> m_items;
    // An empty account is every account.
    QList<std::tuple<Operation, std::optional<QString>, Status>> m_failures;
};
