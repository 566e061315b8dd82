#include "platform/SecretServiceKeychain.h"
#include "storage/KeychainManager.h"
#include "support/TempDefaults.h"

#include <QtTest>

using namespace Qt::StringLiterals;

class TestSecretServiceKeychain : public QObject
{
    Q_OBJECT

    SecretServiceKeychain keychain;
    const QString service = u"com.velorin.test."_s + QString::number(QCoreApplication::applicationPid());

private slots:
    void initTestCase()
    {
        if (!SecretServiceKeychain::isServiceReachable())
            QFAIL("no Secret Service on the session bus; run this test through ctest (with-secret-service.sh)");
    }

    void itemsLiveThroughAddCopyUpdateRemove()
    {
        const QByteArray secret("p\xc3\xa4ss\0\xff word", 11); // any bytes, not only text
        QElapsedTimer clock;
        clock.start();
        QByteArray ref;
        QCOMPARE(keychain.add(service, u"alice"_s, secret, &ref), Keychain::Success);
        QCOMPARE(ref, service.toUtf8() + "\nalice");
        QCOMPARE(keychain.add(service, u"alice"_s, "other"), Keychain::DuplicateItem);

        QByteArray value;
        QByteArray copiedRef;
        QCOMPARE(keychain.copy(service, u"alice"_s, &value, &copiedRef), Keychain::Success);
        QCOMPARE(value, secret); // the duplicate add changed nothing
        QCOMPARE(copiedRef, ref);
        value.clear();
        QCOMPARE(keychain.copyByPersistentRef(ref, &value), Keychain::Success);
        QCOMPARE(value, secret);

        QCOMPARE(keychain.update(service, u"alice"_s, "second"), Keychain::Success);
        QCOMPARE(keychain.copy(service, u"alice"_s, &value), Keychain::Success);
        QCOMPARE(value, QByteArray("second"));

        QCOMPARE(keychain.remove(service, u"alice"_s), Keychain::Success);
        QCOMPARE(keychain.remove(service, u"alice"_s), Keychain::ItemNotFound);
        QCOMPARE(keychain.copy(service, u"alice"_s, &value), Keychain::ItemNotFound);
        QCOMPARE(keychain.copyByPersistentRef(ref, &value), Keychain::ItemNotFound);
        QCOMPARE(keychain.update(service, u"alice"_s, "x"), Keychain::ItemNotFound);
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    }

    void malformedArgumentsAreRefused()
    {
        QCOMPARE(keychain.add(u"two\nlines"_s, u"x"_s, "v"), Keychain::BadParameter);
        QByteArray value;
        QCOMPARE(keychain.copyByPersistentRef("no separator", &value), Keychain::BadParameter);
        QCOMPARE(keychain.copyByPersistentRef("\xff\nx", &value), Keychain::BadParameter);
    }

    // Items are told apart by service and by account.
    void tokenDeletionRemovesTheMatchingItemOnly()
    {
        TempDefaults defaults;
        KeychainManager manager(defaults.standard(), keychain);
        QCOMPARE(keychain.add(KeychainManager::keychainService, u"access_token"_s, "stale"), Keychain::Success);
        QCOMPARE(keychain.add(service, u"access_token"_s, "unrelated"), Keychain::Success);
        QCOMPARE(keychain.add(service, u"other_account"_s, "kept"), Keychain::Success);
        manager.save(u"tok"_s, u"access_token"_s);
        QVERIFY(manager.deleteKey(u"access_token"_s));
        QVERIFY(manager.deleteKey(u"access_token"_s)); // nothing left: still a success
        QCOMPARE(keychain.remove(service, u"access_token"_s), Keychain::Success);
        QByteArray value;
        QCOMPARE(keychain.copy(KeychainManager::keychainService, u"access_token"_s, &value), Keychain::ItemNotFound);
        QCOMPARE(keychain.copy(service, u"other_account"_s, &value), Keychain::Success);
        QCOMPARE(value, QByteArray("kept"));
        QCOMPARE(keychain.remove(service, u"other_account"_s), Keychain::Success);
    }

    void withoutABusNothingCanExist()
    {
        const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        qunsetenv("XDG_RUNTIME_DIR");
        const bool reachable = SecretServiceKeychain::isServiceReachable();
        const int added = keychain.add(service, u"dave"_s, "v");
        QByteArray value;
        const int copied = keychain.copy(service, u"dave"_s, &value);
        const int removed = keychain.remove(service, u"dave"_s);
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
        qputenv("XDG_RUNTIME_DIR", runtime);
        QVERIFY(!reachable);
        QCOMPARE(added, Keychain::NotAvailable);
        QCOMPARE(copied, Keychain::NotAvailable);
        QCOMPARE(removed, Keychain::ItemNotFound);
    }
};

QTEST_GUILESS_MAIN(TestSecretServiceKeychain)
#include "tst_secretservicekeychain.moc"
