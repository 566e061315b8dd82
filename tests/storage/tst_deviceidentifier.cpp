#include "platform/Log.h"
#include "storage/DeviceIdentifier.h"
#include "storage/KeychainManager.h"
#include "support/FakeKeychain.h"
#include "support/TempDefaults.h"

#include <QRegularExpression>
#include <QtTest>

using namespace Qt::StringLiterals;

class TestDeviceIdentifier : public QObject
{
    Q_OBJECT

private slots:
    void madeOnceAndKeptAcrossSignOut()
    {
        TempDefaults defaults;
        FakeKeychain keychain;
        KeychainManager tokens(defaults.standard(), keychain);
        DeviceIdentifier identifier(tokens);
        QVERIFY(!identifier.storedDeviceId());

        Log::Capture log;
        const QString id = identifier.currentDeviceId();
        QVERIFY(QRegularExpression(u"^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$"_s).match(id).hasMatch());
        tokens.deleteAllAuthTokens();
        // A later start with the same store.
        defaults.restart();
        KeychainManager nextTokens(defaults.standard(), keychain);
        QCOMPARE(DeviceIdentifier(nextTokens).currentDeviceId(), id);

        QCOMPARE(log.lines(Log::Destination::StandardOutput),
                 (QStringList{u"✅ DeviceIdentifier: Generated and saved new device ID: "_s + id.left(8) + u"..."_s,
                              u"✅ DeviceIdentifier: Found existing device ID: "_s + id.left(8) + u"..."_s}));
        for (const QString &line : log.lines())
            QVERIFY(!line.contains(id));
    }

    void aStoredValueThatIsNotUtf8IsReplaced()
    {
        TempDefaults defaults;
        FakeKeychain keychain;
        KeychainManager tokens(defaults.standard(), keychain);
        defaults.standard().set(u"secure_device_id"_s, QString::fromLatin1(QByteArray("\xff\xfe").toBase64()));
        DeviceIdentifier identifier(tokens);
        QVERIFY(!identifier.storedDeviceId());
        const QString id = identifier.currentDeviceId();
        QCOMPARE(id.size(), 36);
        QCOMPARE(identifier.storedDeviceId(), id);
    }
};

QTEST_GUILESS_MAIN(TestDeviceIdentifier)
#include "tst_deviceidentifier.moc"
