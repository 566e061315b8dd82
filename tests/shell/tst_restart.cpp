// Quitting while an IKEv2 tunnel is up leaves it up (no disconnect is asked
// for), and the next start shows it as connected, with a Disconnect that works.
#include "shell/ShellFixture.h"
#include "support/FakeSystemVpn.h"
#include "ui/panel/MenuBarView.h"
#include "vpn/ikev2/IKEv2Manager.h"
#include "vpn/ikev2/IKEv2Service.h"

#include <QAbstractButton>

using namespace Qt::StringLiterals;
using Status = SystemVpn::Status;

namespace {

// One run of the application; the system's (fake) VPN outlives it.
struct Run
{
    explicit Run(ShellFixture &f, FakeSystemVpn &system)
        : manager(system, f.keychain, f.account.tokens, Endpoints::at(f.server.baseUrl()))
        , service(manager)
        , vpn(f.defaults.standard(), [this](VPNProtocolType) -> VPNServiceProtocol & { return service; })
    {
        AppViews views;
        views.statusImage = &ShellFixture::image;
        views.panel = [&f, this](AppDelegate &shell) -> QWidget * {
            return new MenuBarView(f.account.auth, shell, f.servers, vpn);
        };
        delegate = std::make_unique<AppDelegate>(f.account.auth, vpn, f.account.center, f.defaults.standard(), views);
        delegate->applicationDidFinishLaunching();
    }

    QAbstractButton *button() const { return delegate->popover()->findChild<QAbstractButton *>(u"connectButton"_s); }

    IKEv2Manager manager;
    IKEv2Service service;
    VPNServiceManager vpn;
    std::unique_ptr<AppDelegate> delegate;
};

} // namespace

class TestRestart : public QObject
{
    Q_OBJECT

private slots:
    void tunnelOutlivesQuitAndIsShownAtNextStart()
    {
        ShellFixture f;
        QVERIFY(f.signIn());
        FakeSystemVpn system;
        {
            Run first(f, system);
            // The session restore (with the device registration) runs to its
            // end in each run, so nothing is still awaited when a run goes.
            QTRY_VERIFY(!first.delegate->isRestoringSession());
            system.emitStatus(Status::Connected);
            QTRY_COMPARE(first.delegate->vpnStatus(), VPNDisplayStatus::Connected);
            first.delegate->quitApp();
            QCoreApplication::processEvents();
        }
        QCOMPARE(system.stopCalls, 0);
        QCOMPARE(system.status(), Status::Connected);

        system.reportStatusOnLoad = true;
        Run next(f, system);
        QTRY_COMPARE(next.delegate->vpnStatus(), VPNDisplayStatus::Connected);
        next.delegate->togglePopover();
        QVERIFY(QTest::qWaitForWindowExposed(next.delegate->popover()));
        QCOMPARE(next.button()->text(), u"Disconnect"_s);
        QTest::mouseClick(next.button(), Qt::LeftButton);
        QCOMPARE(system.stopCalls, 1);
        QTRY_COMPARE(next.delegate->vpnStatus(), VPNDisplayStatus::Disconnected);
        QCOMPARE(next.button()->text(), u"Connect"_s);
        QTRY_VERIFY(!next.delegate->isRestoringSession());
    }
};

QTEST_MAIN(TestRestart)
#include "tst_restart.moc"
