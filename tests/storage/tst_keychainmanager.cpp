#include "platform/Log.h"
#include "storage/KeychainManager.h"
#include "support/FakeKeychain.h"
#include "support/TempDefaults.h"

#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

const QString kService = u"com.velorin.vpn.mac"_s;

struct Store
{
    TempDefaults defaults;
    FakeKeychain keychain;
    KeychainManager manager{defaults.standard(), keychain};
};

} // namespace

class TestKeychainManager : public QObject
{
    Q_OBJECT

private slots:
    void savedValuesComeBackAsTheirUtf8Bytes_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("storedText");
        QTest::newRow("token") << u"eyJhbGci.payload.sig"_s << u"ZXlKaGJHY2kucGF5bG9hZC5zaWc="_s;
        QTest::newRow("empty") << QString() << QString();
        QTest::newRow("non-ASCII") << u"pässwörd 🔑"_s << QString::fromLatin1(u"pässwörd 🔑"_s.toUtf8().toBase64());
        QTest::newRow("long") << QString(3000, u'x') << QString::fromLatin1(QByteArray(3000, 'x').toBase64());
    }

    void savedValuesComeBackAsTheirUtf8Bytes()
    {
        QFETCH(QString, value);
        QFETCH(QString, storedText);
        Store store;
        QVERIFY(store.manager.save(value, u"access_token"_s));
        QCOMPARE(store.defaults.standard().string(u"secure_access_token"_s), storedText);
        store.defaults.restart();
        KeychainManager reopened(store.defaults.standard(), store.keychain);
        QCOMPARE(reopened.retrieve(u"access_token"_s), value.toUtf8());
        QCOMPARE(reopened.retrieveString(u"access_token"_s), value);
        QVERIFY(store.keychain.calls.isEmpty()); // saving and reading never touch the keychain
    }

    // Never saved, a line break, unpadded, URL alphabet, non-Latin, a number, bytes.
    void malformedEntriesReadAsMissing()
    {
        for (const QVariant &stored : QVariantList{QVariant(), u"%%%not base64%%%"_s, u"YWJj\nZGVm"_s, u"YWI"_s, u"-_-_"_s,
                                                   u"ЖЖЖЖ"_s, qint64(42), QByteArray("YWJj")}) {
            Store store;
            if (stored.isValid())
                store.defaults.standard().set(u"secure_claim_token"_s, stored);
            QVERIFY2(!store.manager.retrieve(u"claim_token"_s), qPrintable(stored.toString()));
        }
    }

    void deleteRemovesTheEntryAndTheKeychainItem_data()
    {
        QTest::addColumn<bool>("hasItem");
        QTest::addColumn<int>("failure"); // 0: the keychain answers normally
        QTest::addColumn<bool>("result");
        QTest::newRow("no keychain item") << false << 0 << true;
        QTest::newRow("keychain item") << true << 0 << true;
        QTest::newRow("keychain not available") << true << Keychain::NotAvailable << false;
        QTest::newRow("keychain locked") << true << Keychain::AuthFailed << false;
    }

    void deleteRemovesTheEntryAndTheKeychainItem()
    {
        QFETCH(bool, hasItem);
        QFETCH(int, failure);
        QFETCH(bool, result);
        Store store;
        store.manager.save(u"tok"_s, u"access_token"_s);
        if (hasItem)
            store.keychain.setItem(kService, u"access_token"_s, "old item");
        store.keychain.setItem(u"com.velorin.vpn.ikev2"_s, u"access_token"_s, "other service");
        if (failure)
            store.keychain.failOn(FakeKeychain::Operation::Remove, failure);

        QCOMPARE(store.manager.deleteKey(u"access_token"_s), result);
        QCOMPARE(store.keychain.calls, (QList<FakeKeychain::Call>{{FakeKeychain::Operation::Remove, kService, u"access_token"_s}}));
        // The stored value is gone whatever the keychain said.
        QVERIFY(!store.defaults.standard().contains(u"secure_access_token"_s));
        QCOMPARE(store.manager.retrieve(u"access_token"_s), std::nullopt);
        QCOMPARE(store.keychain.item(kService, u"access_token"_s).has_value(), failure != 0 && hasItem);
        QCOMPARE(store.keychain.item(u"com.velorin.vpn.ikev2"_s, u"access_token"_s), QByteArray("other service"));
    }

    // A removal the keychain refuses fails the sign-out without stopping the others.
    void signOutKeepsTheDeviceIdentifier()
    {
        for (const bool refused : {false, true}) {
            Store store;
            const QStringList keys{u"access_token"_s, u"refresh_token"_s, u"user_email"_s, u"claim_token"_s};
            for (const QString &key : keys + QStringList{u"device_id"_s})
                store.manager.save(u"value of "_s + key, key);
            if (refused)
                store.keychain.failOn(FakeKeychain::Operation::Remove, Keychain::AuthFailed, u"refresh_token"_s);
            QCOMPARE(store.manager.deleteAllAuthTokens(), !refused);
            QCOMPARE(store.keychain.calls.size(), 4);
            QCOMPARE(store.keychain.calls.at(3).account, u"claim_token"_s);
            QCOMPARE(store.manager.retrieveString(u"device_id"_s), u"value of device_id"_s);
            for (const QString &key : keys)
                QVERIFY2(!store.defaults.standard().contains(u"secure_"_s + key), qPrintable(key));
        }
    }

    // A token that did not reach the file is no saved token, and one that
    // could not be removed from it is not deleted.
    void refusedWritesFailSaveAndDelete()
    {
        Store store;
        QVERIFY(store.manager.save(u"kept"_s, u"device_id"_s));
        QVERIFY(!store.manager.save(u"ab"_s + QChar(0xD800) + u"cd"_s, u"device_id"_s)); // an unpaired surrogate
        QCOMPARE(store.manager.retrieveString(u"device_id"_s), u"kept"_s);

        QTemporaryDir dir;
        QFile blocker(dir.filePath(u"blocked"_s)); // a file where the folder should be
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        UserDefaults defaults(blocker.fileName() + u"/d.json"_s);
        FakeKeychain keychain;
        KeychainManager manager(defaults, keychain);
        Log::Capture log;
        QVERIFY(!manager.save(u"AT"_s, u"access_token"_s));
        QCOMPARE(log.matching(u"KeychainManager: Failed to store key: access_token ("_s).size(), 1);
        QVERIFY(!manager.deleteKey(u"access_token"_s));
        QCOMPARE(log.matching(u"KeychainManager: Failed to delete key: access_token ("_s).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestKeychainManager)
#include "tst_keychainmanager.moc"
