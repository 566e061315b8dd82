#pragma once

#include <QByteArray>
#include <QString>

// The system keychain, in its own terms: generic-password items identified by
// a service name and an account name, each holding a secret value.
//
// Every operation is synchronous and returns a status code: 0 for success or
// one of the negative codes below. Callers compare against the named codes;
// any code they do not know is a failure.
//
// A persistent reference is an opaque byte string that names one item and
// stays valid across launches; it can be stored and handed back later to read
// the item (copyByPersistentRef) without knowing its service and account.
class Keychain
{
public:
    using Status = int;

    static constexpr Status Success = 0;
    static constexpr Status ItemNotFound = -25300;
    static constexpr Status DuplicateItem = -25299;
    // No keychain service can be reached (no session bus, no secret service).
    static constexpr Status NotAvailable = -25291;
    // The keychain refused access (for instance a locked collection).
    static constexpr Status AuthFailed = -25293;
    // The user dismissed an unlock prompt.
    static constexpr Status UserCanceled = -128;
    // A malformed argument (for instance a persistent reference this keychain did not make).
    static constexpr Status BadParameter = -50;
    // The keychain did not answer in time.
    static constexpr Status TimedOut = -25308;
    // Any other failure of the keychain service.
    static constexpr Status InternalError = -2070;

    virtual ~Keychain() = default;

    // Creates an item. DuplicateItem when one with this service and account
    // exists already (it is left unchanged). On success `persistentRef`, when
    // given, receives the item's reference.
    virtual Status add(const QString &service, const QString &account, const QByteArray &value,
                       QByteArray *persistentRef = nullptr) = 0;
    // Replaces the value of an existing item; ItemNotFound when there is none.
    virtual Status update(const QString &service, const QString &account, const QByteArray &value) = 0;
    // Reads an item. Either out-parameter may be null.
    virtual Status copy(const QString &service, const QString &account, QByteArray *value,
                        QByteArray *persistentRef = nullptr) = 0;
    // Reads the item a persistent reference names. BadParameter for a
    // reference this keychain cannot have made.
    virtual Status copyByPersistentRef(const QByteArray &persistentRef, QByteArray *value);
    // Deletes the item; ItemNotFound when there was none.
    virtual Status remove(const QString &service, const QString &account) = 0;

    // The reference format shared by the implementations here: the UTF-8
    // service name, a line feed, the UTF-8 account name. Service names never
    // contain a line feed (add refuses them with BadParameter), so the first
    // line feed separates the two.
    static QByteArray makePersistentRef(const QString &service, const QString &account);
    static bool parsePersistentRef(const QByteArray &persistentRef, QString *service, QString *account);
    static bool isValidService(const QString &service) { return !service.contains(u'\n'); }

    // The keychain of this system (the Secret Service on Linux), created on first use.
    static Keychain &system();
};
