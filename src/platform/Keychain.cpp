#include "platform/Keychain.h"

#include "platform/SecretServiceKeychain.h"
#include "platform/Utf8.h"

Keychain::Status Keychain::copyByPersistentRef(const QByteArray &persistentRef, QByteArray *value)
{
    QString service;
    QString account;
    if (!parsePersistentRef(persistentRef, &service, &account))
        return BadParameter;
    return copy(service, account, value);
}

QByteArray Keychain::makePersistentRef(const QString &service, const QString &account)
{
    return service.toUtf8() + '\n' + account.toUtf8();
}

bool Keychain::parsePersistentRef(const QByteArray &persistentRef, QString *service, QString *account)
{
    const qsizetype separator = persistentRef.indexOf('\n');
    if (separator < 0)
        return false;
    const auto serviceText = Utf8::decode(persistentRef.left(separator));
    const auto accountText = Utf8::decode(persistentRef.mid(separator + 1));
    if (!serviceText || !accountText)
        return false;
    *service = *serviceText;
    *account = *accountText;
    return true;
}

Keychain &Keychain::system()
{
    static SecretServiceKeychain keychain;
    return keychain;
}
