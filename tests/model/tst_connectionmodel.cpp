#include "model/VPNConnectionState.h"
#include "model/VPNProtocolType.h"

#include <QtTest>

using namespace Qt::StringLiterals;

class TestConnectionModel : public QObject
{
    Q_OBJECT

private slots:
    void protocolRawValues()
    {
        QCOMPARE(VPNProtocol::fromRawValue(u"XrayReality"_s), std::optional(VPNProtocolType::XrayReality));
        QCOMPARE(VPNProtocol::fromRawValue(u"Xray Reality"_s), std::nullopt);
        QCOMPARE(VPNProtocol::fromRawValue(u"ikev2"_s), std::nullopt);
        for (VPNProtocolType type : VPNProtocol::allCases())
            QCOMPARE(VPNProtocol::fromRawValue(VPNProtocol::rawValue(type)), std::optional(type));
        QCOMPARE(VPNProtocol::shortName(VPNProtocolType::XrayReality), u"Xray"_s);
        QCOMPARE(VPNProtocol::displayName(VPNProtocolType::XrayReality), u"Xray Reality"_s);
    }

    void stateEquality()
    {
        QCOMPARE(VPNConnectionState::connected(), VPNConnectionState::connected());
        QVERIFY(VPNConnectionState::error(u"a"_s) != VPNConnectionState::error(u"b"_s));
        QCOMPARE(VPNConnectionState::error(u"a"_s), VPNConnectionState::error(u"a"_s));
        QVERIFY(VPNConnectionState::error(QString()) != VPNConnectionState::disconnected());
        QCOMPARE(VPNConnectionState(), VPNConnectionState::disconnected());
    }

    void displayStatus()
    {
        QCOMPARE(VPNDisplay::status(VPNConnectionState::reconnecting()), VPNDisplayStatus::Connecting);
        QCOMPARE(VPNDisplay::status(VPNConnectionState::error(u"Connection lost — reconnecting..."_s)),
                 VPNDisplayStatus::Error);
        QCOMPARE(VPNDisplay::status(VPNConnectionState::disconnecting()), VPNDisplayStatus::Disconnecting);
        QCOMPARE(VPNDisplay::displayName(VPNDisplayStatus::Connecting), u"Connecting…"_s);
    }
};

QTEST_GUILESS_MAIN(TestConnectionModel)
#include "tst_connectionmodel.moc"
