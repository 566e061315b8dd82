// The proxy commands, the service listing, the restores and the clean-ups,
// against the recording fake proxy tool.
#include "platform/Log.h"
#include "support/FakeTools.h"
#include "support/TempDefaults.h"
#include "vpn/xray/NetworkSetupProxy.h"
#include "vpn/xray/SystemProxy.h"

#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
constexpr int kSocks = 10808;
constexpr int kHttp = 10809;
} // namespace

class TestSystemProxy : public QObject
{
    Q_OBJECT

    std::unique_ptr<FakeNetworkSetup> m_tool;
    std::unique_ptr<TempDefaults> m_defaults;
    std::unique_ptr<SystemProxy> m_proxy;

    UserDefaults &defaults() { return m_defaults->standard(); }
    NetworkSetupProxy tool() const { return NetworkSetupProxy(m_tool->toolPath(), {u"127.0.0.1"_s, kSocks, kHttp}); }

private slots:
    void init()
    {
        m_tool = std::make_unique<FakeNetworkSetup>();
        m_tool->apply();
        m_defaults = std::make_unique<TempDefaults>();
        m_proxy = std::make_unique<SystemProxy>(defaults(), m_tool->toolPath(), kSocks, kHttp);
    }

    void cleanup()
    {
        FakeNetworkSetup::unapply();
        m_proxy.reset();
    }

    void listsOnlyEnabledServicesWithAnAddress_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("mixed")
            << u"[-listallnetworkservices]\n"
               "An asterisk (*) denotes that a network service is disabled.\n"
               "Wi-Fi\n*Bluetooth PAN\nThunderbolt Bridge\nUSB LAN\n"
               "[-getinfo Wi-Fi]\nIP address: 192.168.1.20\n"
               "[-getinfo USB LAN]\nDHCP Configuration\nIP address: none\n"_s
            << QStringList{u"Wi-Fi"_s}
            << QStringList{u"-listallnetworkservices"_s, u"-getinfo Wi-Fi"_s, u"-getinfo USB LAN"_s};
        QTest::newRow("two, in the tool's order, names trimmed")
            << u"[-listallnetworkservices]\n  Ethernet \r\n\nWi-Fi\n"
               "[-getinfo Ethernet]\nIP address: 10.0.0.2\n[-getinfo Wi-Fi]\nIP address: 192.168.1.20\n"_s
            << QStringList{u"Ethernet"_s, u"Wi-Fi"_s}
            << QStringList{u"-listallnetworkservices"_s, u"-getinfo Ethernet"_s, u"-getinfo Wi-Fi"_s};
        QTest::newRow("none active falls back to Wi-Fi")
            << u"[-listallnetworkservices]\nEthernet\n[-getinfo Ethernet]\nIP address: none\n"_s
            << QStringList{u"Wi-Fi"_s} << QStringList{u"-listallnetworkservices"_s, u"-getinfo Ethernet"_s};
        QTest::newRow("no address line at all")
            << u"[-listallnetworkservices]\nEthernet\n[-getinfo Ethernet]\nRouter: none\n"_s
            << QStringList{u"Wi-Fi"_s} << QStringList{u"-listallnetworkservices"_s, u"-getinfo Ethernet"_s};
    }

    void listsOnlyEnabledServicesWithAnAddress()
    {
        QFETCH(QString, script);
        QFETCH(QStringList, expected);
        QFETCH(QStringList, calls);
        m_tool->setScript(script);
        QCOMPARE(tool().listActiveNetworkServices(), expected);
        QCOMPARE(m_tool->calls(), calls);
    }

    // The tool calls of a set and a restore are the Xray service's checks;
    // here what the record keeps and when a restore is owed.
    void setsAndRestoresTwoServicesInOrder()
    {
        m_tool->setActiveServices({u"Wi-Fi"_s, u"Ethernet"_s});
        QVERIFY(m_proxy->setSystemProxy().set);
        QCOMPARE(m_proxy->activeNetworkServices(), (QStringList{u"Wi-Fi"_s, u"Ethernet"_s}));
        // A launch clean-up coming after this run's set leaves the proxies set.
        m_tool->clearCalls();
        m_proxy->cleanupStaleProxy();
        QVERIFY(m_tool->calls().isEmpty());
        QCOMPARE(defaults().boolValue(SystemProxy::activeKey), true);

        m_proxy->restoreSystemProxy();
        QCOMPARE(defaults().boolValue(SystemProxy::activeKey), false);
        QVERIFY(!defaults().contains(SystemProxy::servicesKey));
        QVERIFY(m_proxy->activeNetworkServices().isEmpty());

        // With nothing set in this run: the recorded list, else Wi-Fi.
        m_tool->clearCalls();
        defaults().set(SystemProxy::servicesKey, QStringList{u"Ethernet"_s});
        m_proxy->restoreSystemProxy();
        m_proxy->restoreSystemProxy();
        QCOMPARE(m_tool->calls(), proxyOffCalls(u"Ethernet"_s) + proxyOffCalls(u"Wi-Fi"_s));
    }

    void aMissingToolIsNamedAndSetsNothing()
    {
        const QString missing = m_tool->toolPath() + u"-missing"_s;
        SystemProxy proxy(defaults(), missing, kSocks, kHttp);
        QCOMPARE(proxy.unavailableReason(), u"The system proxy tool "_s + missing + u" is missing."_s);
        const SystemProxy::Outcome outcome = proxy.setSystemProxy();
        QVERIFY(!outcome.set);
        QVERIFY(!outcome.error.isEmpty());
        QVERIFY(!NetworkSetupProxy(missing, {}).isServiceActive(u"Wi-Fi"_s));
    }

    void aSetNoLongerWantedDoesNothing()
    {
        m_tool->setActiveServices({u"Wi-Fi"_s});
        QVERIFY(!m_proxy->setSystemProxy([] { return false; }).set);
        QVERIFY(m_tool->calls().isEmpty());
        QVERIFY(!defaults().contains(SystemProxy::activeKey));
    }

    void launchCleanup_data()
    {
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QStringList>("keysLeft");
        const QString active = SystemProxy::activeKey;
        const QString list = SystemProxy::servicesKey;
        const QString single = SystemProxy::legacyServiceKey;
        const QString killSwitch = SystemProxy::killSwitchKey;
        QTest::newRow("older single-service key") << QVariantMap{{active, true}, {single, u"Ethernet"_s}}
                                                  << proxyOffCalls(u"Ethernet"_s) << QStringList{active};
        QTest::newRow("list recorded but no restore owed") << QVariantMap{{active, false}, {list, QStringList{u"Wi-Fi"_s}}}
                                                           << QStringList() << QStringList{active, list};
        QTest::newRow("kill switch key") << QVariantMap{{killSwitch, true}} << QStringList() << QStringList{killSwitch};
        QTest::newRow("active flag without any list") << QVariantMap{{active, true}} << QStringList()
                                                      << QStringList{active};
    }

    void launchCleanup()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(QStringList, calls);
        QFETCH(QStringList, keysLeft);
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            defaults().set(it.key(), it.value());
        m_proxy->cleanupStaleProxy();
        QCOMPARE(m_tool->calls(), calls);
        for (const QString &key : {SystemProxy::activeKey, SystemProxy::servicesKey, SystemProxy::legacyServiceKey,
                                   SystemProxy::killSwitchKey})
            QVERIFY2(defaults().contains(key) == keysLeft.contains(key), qPrintable(key));
        if (!calls.isEmpty())
            QCOMPARE(defaults().boolValue(SystemProxy::activeKey), false);
    }

    void terminationCleanups()
    {
        m_proxy->appTerminationCleanup(false);
        QVERIFY(m_tool->calls().isEmpty());
        defaults().set(SystemProxy::activeKey, true);
        defaults().set(SystemProxy::servicesKey, QStringList{u"Ethernet"_s});
        Log::Capture log;
        m_proxy->terminationSignalCleanup();
        QCOMPARE(m_tool->calls(), proxyOffCalls(u"Ethernet"_s));
        QCOMPARE(defaults().boolValue(SystemProxy::activeKey), false);
        QVERIFY(!defaults().contains(SystemProxy::servicesKey));
        QVERIFY(log.lines().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSystemProxy)
#include "tst_systemproxy.moc"
