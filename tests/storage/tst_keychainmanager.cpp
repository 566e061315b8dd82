#include "platform/Log.h"
#include "storage/KeychainManager.h"
#include "support/FakeKeychain.h"
#include "support/TempDefaults.h"

#include <QTemporaryDir>
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
        Log::Capture log;
        QVERIFY(store.manager.save(value, u"access_token"_s));
        QCOMPARE(store.defaults.standard().string(u"secure_access_token"_s), storedText);
        // A new process reading the same file sees the same value.
        store.defaults.restart();
        KeychainManager reopened(store.defaults.standard(), store.keychain);
        QCOMPARE(reopened.retrieve(u"access_token"_s), value.toUtf8());
        QCOMPARE(reopened.retrieveString(u"access_token"_s), value);
        QCOMPARE(log.lines(Log::Destination::SystemLog),
                 (QStringList{u"✅ KeychainManager: Saved key: access_token"_s,
                              u"✅ KeychainManager: Retrieved key: access_token"_s,
                              u"✅ KeychainManager: Retrieved key: access_token"_s}));
        QVERIFY(store.keychain.calls.isEmpty()); // saving and reading never touch the keychain
    }

    void saveReplacesTheEarlierValue()
    {
        Store store;
        KeychainManager other(store.defaults.standard(), store.keychain);
        QVERIFY(store.manager.save(u"first"_s, u"refresh_token"_s));
        QVERIFY(other.save(u"second"_s, u"refresh_token"_s));
        QCOMPARE(store.manager.retrieveString(u"refresh_token"_s), u"second"_s);
    }

    void aValueThatIsNotUnicodeIsRefused()
    {
        Store store;
        QVERIFY(store.manager.save(u"kept"_s, u"device_id"_s));
        Log::Capture log;
        const QString broken = u"ab"_s + QChar(0xD800) + u"cd"_s; // unpaired surrogate
        QVERIFY(!store.manager.save(broken, u"device_id"_s));
        QCOMPARE(log.lines(), QStringList{u"❌ KeychainManager: Failed to convert string to data for key: device_id"_s});
        QCOMPARE(store.manager.retrieveString(u"device_id"_s), u"kept"_s);
    }

    void malformedEntriesReadAsMissing_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::newRow("never saved") << QVariant();
        QTest::newRow("not Base64") << QVariant(u"%%%not base64%%%"_s);
        QTest::newRow("Base64 with a line break") << QVariant(u"YWJj\nZGVm"_s);
        QTest::newRow("unpadded") << QVariant(u"YWI"_s);
        QTest::newRow("URL alphabet") << QVariant(u"-_-_"_s);
        QTest::newRow("non-Latin text") << QVariant(u"ЖЖЖЖ"_s);
        QTest::newRow("a number") << QVariant(qint64(42));
        QTest::newRow("bytes, not text") << QVariant(QByteArray("YWJj"));
    }

    void malformedEntriesReadAsMissing()
    {
        QFETCH(QVariant, stored);
        Store store;
        if (stored.isValid())
            store.defaults.standard().set(u"secure_claim_token"_s, stored);
        Log::Capture log;
        QCOMPARE(store.manager.retrieve(u"claim_token"_s), std::nullopt);
        QCOMPARE(log.lines(), QStringList{u"⚠️ KeychainManager: Key not found: claim_token"_s});
    }

    void bytesThatAreNotUtf8AreNoString()
    {
        Store store;
        store.defaults.standard().set(u"secure_device_id"_s, QString::fromLatin1(QByteArray("\xff\xfe\x41").toBase64()));
        QCOMPARE(store.manager.retrieve(u"device_id"_s), QByteArray("\xff\xfe\x41"));
        QCOMPARE(store.manager.retrieveString(u"device_id"_s), std::nullopt);
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
        Log::Capture log;

        QCOMPARE(store.manager.deleteKey(u"access_token"_s), result);
        QCOMPARE(store.keychain.calls, (QList<FakeKeychain::Call>{{FakeKeychain::Operation::Remove, kService, u"access_token"_s}}));
        const QString line = result ? u"✅ KeychainManager: Successfully deleted key: access_token"_s
                                    : u"❌ KeychainManager: Failed to delete key: access_token, status: "_s + QString::number(failure);
        QCOMPARE(log.lines(Log::Destination::SystemLog), QStringList{line});
        // The stored value is gone whatever the keychain said.
        QVERIFY(!store.defaults.standard().contains(u"secure_access_token"_s));
        QCOMPARE(store.manager.retrieve(u"access_token"_s), std::nullopt);
        QCOMPARE(store.keychain.item(kService, u"access_token"_s).has_value(), failure != 0 && hasItem);
        QCOMPARE(store.keychain.item(u"com.velorin.vpn.ikev2"_s, u"access_token"_s), QByteArray("other service"));
    }

    void signOutKeepsTheDeviceIdentifier()
    {
        Store store;
        for (const QString &key : {u"access_token"_s, u"refresh_token"_s, u"user_email"_s, u"claim_token"_s, u"device_id"_s})
            store.manager.save(u"value of "_s + key, key);
        Log::Capture log;
        QVERIFY(store.manager.deleteAllAuthTokens());
        QCOMPARE(log.lines(Log::Destination::SystemLog),
                 (QStringList{u"✅ KeychainManager: Successfully deleted key: access_token"_s,
                              u"✅ KeychainManager: Successfully deleted key: refresh_token"_s,
                              u"✅ KeychainManager: Successfully deleted key: user_email"_s,
                              u"✅ KeychainManager: Successfully deleted key: claim_token"_s,
                              u"🔑 KeychainManager: All auth tokens deleted"_s}));
        QCOMPARE(store.manager.retrieveString(u"device_id"_s), u"value of device_id"_s);
        QCOMPARE(store.manager.retrieve(u"access_token"_s), std::nullopt);
        QCOMPARE(store.manager.retrieve(u"refresh_token"_s), std::nullopt);
    }

    void oneFailedDeletionDoesNotStopTheOthers()
    {
        Store store;
        for (const QString &key : {u"access_token"_s, u"refresh_token"_s, u"user_email"_s, u"claim_token"_s})
            store.manager.save(u"v"_s, key);
        store.keychain.failOn(FakeKeychain::Operation::Remove, Keychain::AuthFailed, u"refresh_token"_s);
        Log::Capture log;
        QVERIFY(!store.manager.deleteAllAuthTokens());
        QCOMPARE(store.keychain.calls.size(), 4);
        QCOMPARE(store.keychain.calls.at(3).account, u"claim_token"_s);
        QCOMPARE(log.lines(Log::Destination::SystemLog),
                 (QStringList{u"✅ KeychainManager: Successfully deleted key: access_token"_s,
                              u"❌ KeychainManager: Failed to delete key: refresh_token, status: -25293"_s,
                              u"✅ KeychainManager: Successfully deleted key: user_email"_s,
                              u"✅ KeychainManager: Successfully deleted key: claim_token"_s,
                              u"🔑 KeychainManager: All auth tokens deleted"_s}));
        for (const QString &key : {u"access_token"_s, u"refresh_token"_s, u"user_email"_s, u"claim_token"_s})
            QVERIFY2(!store.defaults.standard().contains(u"secure_"_s + key), qPrintable(key));
    }

    // A token that did not reach the file is no saved token, and one that
    // could not be removed from it is not deleted: both are failures.
    void aStoreThatCannotBeWrittenFailsSaveAndDelete()
    {
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
