// The settings file, and the token store that keeps its values in it.
#include "platform/FileLock.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "storage/KeychainManager.h"
#include "support/FakeKeychain.h"
#include "support/TempDefaults.h"

#include <QtTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QString kService = u"com.velorin.vpn.mac"_s;

struct Store
{
    TempDefaults defaults;
    FakeKeychain keychain;
    KeychainManager manager{defaults.standard(), keychain};
};

} // namespace

class TestUserDefaults : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_path = m_dir->filePath(u"d.json"_s);
    }

    void typesSurviveARestart()
    {
        {
            UserDefaults defaults(m_path);
            QVERIFY(defaults.set(u"flag"_s, true));
            QVERIFY(defaults.set(u"count"_s, 7));
            QVERIFY(defaults.set(u"big"_s, Q_INT64_C(9007199254740993))); // not exact as a double
            QVERIFY(defaults.set(u"ratio"_s, 2.0));
            QVERIFY(defaults.set(u"name"_s, u"sg-node-01"_s));
            QVERIFY(defaults.set(u"bytes"_s, QByteArray("\x00\xff\x01", 3)));
            QVERIFY(defaults.set(u"mixed"_s, QVariantList{u"us-west-01"_s, 42, false}));
            QVERIFY(defaults.set(u"one"_s, QStringList{u"only"_s}));
            QVERIFY(defaults.set(u"empty"_s, QVariantList{}));
            QVERIFY(defaults.set(u"map"_s, QVariantMap{{u"k"_s, 1.5}}));
            QVERIFY(defaults.set(u"gone"_s, 1));
            QVERIFY(defaults.remove(u"gone"_s));
            QVERIFY(defaults.remove(u"never-set"_s));
            // What JSON cannot hold is refused, not stored as something else.
            QVERIFY(!defaults.set(u"point"_s, QPoint(1, 2)));
            QVERIFY(!defaults.set(u"nan"_s, qQNaN()));
            QVERIFY(!defaults.contains(u"point"_s));
        }
        UserDefaults reloaded(m_path);
        QCOMPARE(reloaded.boolValue(u"flag"_s), std::optional<bool>(true));
        QCOMPARE(reloaded.integer(u"count"_s), std::optional<qint64>(7));
        QCOMPARE(reloaded.integer(u"big"_s), std::optional<qint64>(Q_INT64_C(9007199254740993)));
        // A float stays a float even when it has no fraction.
        QCOMPARE(reloaded.value(u"ratio"_s).typeId(), int(QMetaType::Double));
        QVERIFY(!reloaded.integer(u"ratio"_s));
        QCOMPARE(reloaded.string(u"name"_s), std::optional<QString>(u"sg-node-01"_s));
        QCOMPARE(reloaded.data(u"bytes"_s), std::optional<QByteArray>(QByteArray("\x00\xff\x01", 3)));
        const QVariantList mixed = *reloaded.list(u"mixed"_s);
        QCOMPARE(mixed.size(), 3);
        QCOMPARE(mixed[0].typeId(), int(QMetaType::QString));
        QCOMPARE(mixed[1].typeId(), int(QMetaType::LongLong));
        QCOMPARE(mixed[2].typeId(), int(QMetaType::Bool));
        QVERIFY(!reloaded.stringList(u"mixed"_s)); // a number among the texts
        QCOMPARE(reloaded.stringList(u"one"_s), std::optional<QStringList>(QStringList{u"only"_s}));
        QCOMPARE(reloaded.stringList(u"empty"_s), std::optional<QStringList>(QStringList{}));
        QCOMPARE(reloaded.value(u"map"_s).toMap().value(u"k"_s).toDouble(), 1.5);
        // Typed reads never convert.
        QVERIFY(!reloaded.string(u"count"_s));
        QVERIFY(!reloaded.boolValue(u"name"_s));
        QVERIFY(!reloaded.value(u"absent"_s).isValid());
        QVERIFY(!reloaded.contains(u"gone"_s));
    }

    void fileIsPrivateAndWrittenAtomically()
    {
        const QString folder = m_dir->filePath(u"velorin"_s);
        const QString path = folder + u"/d.json"_s;
        UserDefaults defaults(path);
        QVERIFY(defaults.set(u"secure_access_token"_s, u"dG9rZW4="_s));
        struct stat info{};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0600u);
        QCOMPARE(::stat(QFile::encodeName(folder).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0700u);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), (QStringList{u"d.json"_s, u"d.json.lock"_s}));
        QCOMPARE(::stat(QFile::encodeName(path + u".lock"_s).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0600u);
    }

    // A file where the folder should be makes every write fail; the token
    // store reports such writes as failed saves and deletes.
    void failedWritesKeepTheMemoryValueAndFailTokenSaveAndDelete()
    {
        const QString blocker = m_dir->filePath(u"blocked"_s);
        writeFile(blocker, {});
        Log::Capture log;
        UserDefaults defaults(blocker + u"/d.json"_s);
        QVERIFY(!defaults.set(u"k"_s, 1));
        QCOMPARE(defaults.integer(u"k"_s), std::optional<qint64>(1));
        QVERIFY(!defaults.lastError().isEmpty());
        QVERIFY(!defaults.set(u"k"_s, 2));
        QCOMPARE(log.matching(u"UserDefaults: Failed to write"_s).size(), 1);

        FakeKeychain keychain;
        KeychainManager manager(defaults, keychain);
        QVERIFY(!manager.save(u"AT"_s, u"access_token"_s));
        QCOMPARE(log.matching(u"KeychainManager: Failed to store key: access_token ("_s).size(), 1);
        QVERIFY(!manager.deleteKey(u"access_token"_s));
        QCOMPARE(log.matching(u"KeychainManager: Failed to delete key: access_token ("_s).size(), 1);
    }

    void concurrentWritersLoseNothing()
    {
        UserDefaults defaults(m_path);
        QList<QThread *> threads;
        for (int t = 0; t < 4; ++t) {
            threads.append(QThread::create([&defaults, t] {
                for (int i = 0; i < 25; ++i)
                    defaults.set(u"t%1-%2"_s.arg(t).arg(i), i);
            }));
            threads.last()->start();
        }
        for (QThread *thread : threads) {
            QVERIFY(thread->wait(20000));
            delete thread;
        }
        UserDefaults reloaded(m_path);
        for (int t = 0; t < 4; ++t)
            for (int i = 0; i < 25; ++i)
                QCOMPARE(reloaded.integer(u"t%1-%2"_s.arg(t).arg(i)), std::optional<qint64>(i));
    }

    // Two instances over one file stand for two processes: each write keeps
    // the other's keys, and each side publishes what the other changed.
    void writersShareTheFileAndSeeEachOther()
    {
        UserDefaults app(m_path);
        UserDefaults cli(m_path);
        QSignalSpy appSaw(&app, &UserDefaults::changedElsewhere);
        QSignalSpy cliSaw(&cli, &UserDefaults::changedElsewhere);

        QVERIFY(app.set(u"secure_access_token"_s, u"dG9rZW4="_s));
        QVERIFY(cli.set(u"selected_server_id"_s, u"us-west-01"_s)); // cli's memory did not have the token yet
        QCOMPARE(UserDefaults(m_path).string(u"secure_access_token"_s), std::optional<QString>(u"dG9rZW4="_s));
        QCOMPARE(cli.string(u"secure_access_token"_s), std::optional<QString>(u"dG9rZW4="_s));
        QTRY_COMPARE(app.string(u"selected_server_id"_s), std::optional<QString>(u"us-west-01"_s));
        QVERIFY(appSaw.count() >= 1 && appSaw.last().first().toStringList() == QStringList{u"selected_server_id"_s});
        QCOMPARE(cliSaw.first().first().toStringList(), QStringList{u"secure_access_token"_s});

        // A sign-out elsewhere, and a valid edit by hand while both run.
        QVERIFY(cli.remove(u"secure_access_token"_s));
        QTRY_VERIFY(!app.contains(u"secure_access_token"_s));
        QCOMPARE(appSaw.last().first().toStringList(), QStringList{u"secure_access_token"_s});
        writeFile(m_path, R"({"version":1,"values":{"selected_server_id":{"string":"sg-node-01"},"hand":{"bool":true}}})");
        QTRY_COMPARE(app.boolValue(u"hand"_s), std::optional<bool>(true));
        QTRY_COMPARE(cli.string(u"selected_server_id"_s), std::optional<QString>(u"sg-node-01"_s));
    }

    // A file broken while the programs run is left alone by the watch (it may
    // be half-way through an edit); the next write keeps it aside. At start it
    // is kept aside at once.
    void brokenFilesAreKeptAsideNeverOverwritten_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray valid = R"({"version":1,"values":{"keep":{"int":"1"}}})";
        QTest::newRow("truncated") << valid.left(valid.size() / 2);
        QTest::newRow("binary") << QByteArray::fromHex("7f454c460201000fffe0");
        QTest::newRow("unknown type tag") << QByteArray(R"({"version":1,"values":{"keep":{"date":"2026"}}})");
        QTest::newRow("10 MB") << valid.left(valid.size() - 2) + ",\"pad\":{\"string\":\""
                + QByteArray(10 * 1024 * 1024, 'x') + "\"}}}";
    }

    void brokenFilesAreKeptAsideNeverOverwritten()
    {
        QFETCH(QByteArray, bytes);
        const auto asides = [&] { return QDir(m_dir->path()).entryList({u"d.json.unreadable-*"_s}); };
        Log::Capture log;
        UserDefaults running(m_path);
        QVERIFY(running.set(u"keep"_s, 1));

        writeFile(m_path, bytes);
        QTRY_COMPARE(log.matching(u"keeping the values in memory"_s).size(), 1);
        QCOMPARE(running.integer(u"keep"_s), std::optional<qint64>(1));
        QVERIFY(asides().isEmpty());
        QVERIFY(running.set(u"k"_s, 2));
        QCOMPARE(asides().size(), 1);
        QCOMPARE(readFile(m_dir->filePath(asides().first())), bytes);
        UserDefaults restarted(m_path);
        QCOMPARE(restarted.integer(u"keep"_s), std::optional<qint64>(1));
        QCOMPARE(restarted.integer(u"k"_s), std::optional<qint64>(2));

        // At start, within the same second: a second copy, not a lost one.
        writeFile(m_path, bytes);
        UserDefaults starting(m_path);
        QVERIFY(!starting.contains(u"keep"_s));
        QCOMPARE(asides().size(), 2);
        for (const QString &aside : asides())
            QCOMPARE(readFile(m_dir->filePath(aside)), bytes);
        QVERIFY(starting.set(u"k"_s, 3));
        QCOMPARE(UserDefaults(m_path).integer(u"k"_s), std::optional<qint64>(3));
        QCOMPARE(asides().size(), 2);
    }

    // A holder that never lets go (a stopped process) fails the write after a
    // bounded wait; the value goes out with the next write.
    void writeFailsWhileAnotherProgramHoldsTheLock()
    {
        UserDefaults defaults(m_path);
        QVERIFY(defaults.set(u"k"_s, 1));
        FileLock stuck(m_path + u".lock"_s);
        QVERIFY(stuck.tryLock());
        QVERIFY(!defaults.set(u"k"_s, 2));
        QVERIFY(defaults.lastError().contains(u"another program"_s));
        stuck.unlock();
        QCOMPARE(UserDefaults(m_path).integer(u"k"_s), std::optional<qint64>(1));
        QVERIFY(UserDefaults(m_path).set(u"other"_s, true));
        QSignalSpy saw(&defaults, &UserDefaults::changedElsewhere);
        QVERIFY(defaults.set(u"j"_s, 3));
        QCOMPARE(saw.first().first().toStringList(), QStringList{u"other"_s});
        UserDefaults after(m_path);
        QCOMPARE(after.integer(u"k"_s), std::optional<qint64>(2));
        QCOMPARE(after.boolValue(u"other"_s), std::optional<bool>(true));
    }

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

    // A text without a UTF-8 form (an unpaired surrogate) is refused; the saved one stays.
    void aTextWithoutUtf8IsNotSaved()
    {
        Store store;
        QVERIFY(store.manager.save(u"kept"_s, u"device_id"_s));
        QVERIFY(!store.manager.save(u"ab"_s + QChar(0xD800) + u"cd"_s, u"device_id"_s));
        QCOMPARE(store.manager.retrieveString(u"device_id"_s), u"kept"_s);
    }
};

QTEST_GUILESS_MAIN(TestUserDefaults)
#include "tst_userdefaults.moc"
