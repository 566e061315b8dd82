#include "platform/AppInfo.h"
#include "platform/Log.h"
#include "shell/ShellFixture.h"
#include "ui/settings/SettingsView.h"
#include "ui/common/Style.h"
#include "vpn/VPNServiceManager.h"
#include "AccountScreensSupport.h"

#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

const QStringList kKeys{u"launchAtLogin"_s, u"showInDock"_s, u"autoConnect"_s,
                        u"killSwitch"_s,    u"allowLAN"_s,   u"enableLogging"_s};

struct Fixture : ShellFixture
{
    std::unique_ptr<SettingsView> makeView()
    {
        auto view = std::make_unique<SettingsView>(defaults.standard(), vpn);
        view->show();
        return view;
    }
};

QCheckBox *toggle(const SettingsView &view, const QString &key)
{
    return view.findChild<QCheckBox *>(key + u"Toggle"_s);
}

QRadioButton *radio(const SettingsView &view, VPNProtocolType type)
{
    return view.findChild<QRadioButton *>(u"protocol"_s + VPNProtocol::rawValue(type));
}

ConnectionSettingsView *connectionPane(const SettingsView &view)
{
    return view.findChild<ConnectionSettingsView *>();
}

} // namespace

class TestSettingsView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { useUnitedStatesLocale(); }

    // Four panes in order with their symbols, 480 x 320, on General; on a
    // first launch every switch is off but LAN access, and nothing is written.
    void firstLaunch()
    {
        Fixture f;
        auto view = f.makeView();
        QCOMPARE(view->size(), QSize(480, 320));
        QTabWidget *tabs = view->tabWidget();
        QCOMPARE(tabs->count(), 4);
        const QStringList labels{u"General"_s, u"Connection"_s, u"Advanced"_s, u"About"_s};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(tabs->tabText(i), labels[i]);
            QVERIFY(!tabs->tabIcon(i).isNull());
        }
        QCOMPARE(SettingsText::tabs()[2].symbol, u"wrench.and.screwdriver"_s);
        QCOMPARE(view->selectedSettingsTab(), SettingsTab::General);

        for (const QString &key : kKeys) {
            QVERIFY2(toggle(*view, key), qPrintable(key));
            QCOMPARE(toggle(*view, key)->isChecked(), key == u"allowLAN");
            QVERIFY(!f.defaults.standard().contains(key));
        }
        QCOMPARE(toggle(*view, u"killSwitch"_s)->text(), u"Kill Switch — block internet if VPN drops"_s);
        QCOMPARE(toggle(*view, u"launchAtLogin"_s)->text(), u"Launch Velorin VPN at login"_s);
    }

    // Each switch is written at once and shown by a view made after a restart.
    void toggleIsStoredAtOnce_data()
    {
        QTest::addColumn<QString>("key");
        for (const QString &key : kKeys)
            QTest::newRow(qPrintable(key)) << key;
    }

    void toggleIsStoredAtOnce()
    {
        QFETCH(QString, key);
        const bool fallback = key == u"allowLAN";
        Fixture f;
        {
            auto view = f.makeView();
            QCheckBox *box = toggle(*view, key);
            view->tabWidget()->setCurrentIndex(key == u"enableLogging" ? 2 : key == u"killSwitch" || key == u"allowLAN" ? 1 : 0);
            QTRY_VERIFY(box->isVisible());
            QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
            QCOMPARE(box->isChecked(), !fallback);
            QCOMPARE(f.defaults.standard().boolValue(key), std::optional<bool>(!fallback));
        }
        // The next start reads the same file afresh.
        UserDefaults reread(f.defaults.standardPath());
        SettingsView again(reread, f.vpn);
        QCOMPARE(toggle(again, key)->isChecked(), !fallback);
        for (const QString &other : kKeys)
            if (other != key)
                QCOMPARE(toggle(again, other)->isChecked(), other == u"allowLAN");
    }

    // The main window's tab and the settings window follow each other at once.
    void twoLiveViewsStayInSync()
    {
        Fixture f;
        auto tab = f.makeView();
        auto window = f.makeView();
        QCheckBox *autoConnect = toggle(*tab, u"autoConnect"_s);
        QTest::mouseClick(autoConnect, Qt::LeftButton, {}, QPoint(6, autoConnect->height() / 2));
        QVERIFY(toggle(*window, u"autoConnect"_s)->isChecked());

        window->tabWidget()->setCurrentIndex(1);
        QCheckBox *lan = toggle(*window, u"allowLAN"_s);
        QTRY_VERIFY(lan->isVisible());
        QTest::mouseClick(lan, Qt::LeftButton, {}, QPoint(6, lan->height() / 2));
        QVERIFY(!toggle(*tab, u"allowLAN"_s)->isChecked());
        QCOMPARE(f.defaults.standard().boolValue(u"allowLAN"_s), std::optional<bool>(false));
    }

    // The picker asks the manager to switch and shows the manager's choice:
    // Xray Reality and WireGuard are not available, so it stays on IKEv2.
    void protocolPickerFollowsTheManager()
    {
        Fixture f;
        auto view = f.makeView();
        auto other = f.makeView();
        view->setSelectedSettingsTab(SettingsTab::Connection);
        QStringList rowTexts;
        for (VPNProtocolType type : VPNProtocol::allCases())
            rowTexts << radio(*view, type)->text();
        QCOMPARE(rowTexts, (QStringList{u"IKEv2 (Recommended)"_s, u"WireGuard"_s, u"Xray Reality"_s}));
        QCOMPARE(connectionPane(*view)->checkedProtocol(), VPNProtocolType::IKEv2);
        // The Mac's "Native Apple VPN protocol… App Store" would be false here.
        QCOMPARE(connectionPane(*view)->descriptionText(),
                 u"The system's IPsec VPN (strongSwan). Best compatibility, moderate speed."_s);
        QVERIFY(saveGrab(view.get(), u"settings-connection"_s));

        Log::Capture log;
        QRadioButton *xray = radio(*view, VPNProtocolType::XrayReality);
        QTRY_VERIFY(xray->isVisible());
        QTest::mouseClick(xray, Qt::LeftButton, {}, QPoint(6, xray->height() / 2));
        QCOMPARE(f.vpn.selectedProtocol(), VPNProtocolType::IKEv2);
        QVERIFY(radio(*view, VPNProtocolType::IKEv2)->isChecked());
        QVERIFY(!xray->isChecked());
        QCOMPARE(connectionPane(*view)->checkedProtocol(), VPNProtocolType::IKEv2);
        QTest::mouseClick(radio(*view, VPNProtocolType::WireGuard), Qt::LeftButton, {}, QPoint(6, 8));
        QCOMPARE(connectionPane(*view)->checkedProtocol(), VPNProtocolType::IKEv2);
        QCOMPARE(log.lines(Log::Destination::SystemLog),
                 (QStringList{u"⚠️ VPNServiceManager: Xray Reality not available on this build"_s,
                              u"⚠️ VPNServiceManager: WireGuard not available on this build"_s}));

        // A protocol assigned directly shows at once in every view, with its description.
        f.vpn.setSelectedProtocol(VPNProtocolType::XrayReality);
        QCOMPARE(connectionPane(*view)->checkedProtocol(), VPNProtocolType::XrayReality);
        QCOMPARE(connectionPane(*other)->checkedProtocol(), VPNProtocolType::XrayReality);
        QCOMPARE(connectionPane(*view)->descriptionText(),
                 u"Advanced anti-censorship protocol. Disguises traffic as normal HTTPS. Best for restricted networks."_s);
        QTest::mouseClick(radio(*view, VPNProtocolType::IKEv2), Qt::LeftButton, {}, QPoint(6, 8));
        QCOMPARE(f.vpn.selectedProtocol(), VPNProtocolType::IKEv2);
        QCOMPARE(connectionPane(*other)->checkedProtocol(), VPNProtocolType::IKEv2);
        QVERIFY(log.contains(u"🎛️ VPNServiceManager: Switching from Xray → IKEv2"_s));
    }

    // Export saves the recent log lines where the user chooses, readable by
    // the user only.
    void exportWritesRecentLines()
    {
        Fixture f;
        auto view = f.makeView();
        view->setSelectedSettingsTab(SettingsTab::Advanced);
        Log::system(u"🔍 SettingsTest: first line"_s);
        Log::out(u"🔍 SettingsTest: second line"_s);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"out.txt"_s);
        QString suggested;
        view->advancedPane()->setSaveLocationChooser(
            [&suggested, path](QWidget *, const QString &proposal, std::function<void(const QString &)> chosen) {
                suggested = proposal;
                chosen(path);
            });
        auto *button = view->findChild<QPushButton *>(u"exportLogsButton"_s);
        QCOMPARE(button->text(), u"Export Diagnostic Logs…"_s);
        QTest::mouseClick(button, Qt::LeftButton);

        QCOMPARE(QFileInfo(suggested).fileName(),
                 u"velorin-diagnostics-"_s + QDate::currentDate().toString(u"yyyy-MM-dd"_s) + u".txt"_s);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
        QVERIFY(lines[0].startsWith(u"Velorin VPN "_s));
        const QStringList recent = Log::recentLines();
        QCOMPARE(lines.mid(1, recent.size()), recent);
        QVERIFY(lines.contains(u"🔍 SettingsTest: first line"_s));
        QVERIFY(lines.contains(u"🔍 SettingsTest: second line"_s));
        QCOMPARE(file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup
                                       | QFileDevice::WriteOther),
                 QFileDevice::Permissions());
        QVERIFY(view->advancedPane()->statusText().startsWith(u"Saved "_s));
        QVERIFY(saveGrab(view.get(), u"settings-advanced"_s));

        // A place that cannot be written is reported, not passed over.
        view->advancedPane()->setSaveLocationChooser(
            [&dir](QWidget *, const QString &, std::function<void(const QString &)> chosen) {
                chosen(dir.filePath(u"missing/out.txt"_s));
            });
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(view->advancedPane()->statusText().startsWith(u"Could not save the diagnostic logs: "_s));
    }

    // Without a chooser of its own the pane asks with a save dialog that
    // does not block.
    void exportAsksWithADialog()
    {
        Fixture f;
        auto view = f.makeView();
        view->setSelectedSettingsTab(SettingsTab::Advanced);
        QTest::mouseClick(view->findChild<QPushButton *>(u"exportLogsButton"_s), Qt::LeftButton);
        QFileDialog *dialog = nullptr;
        QTRY_VERIFY((dialog = view->findChild<QFileDialog *>(u"exportDialog"_s)) && dialog->isVisible());
        QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptSave);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"chosen.txt"_s);
        emit dialog->fileSelected(path);
        dialog->close();
        QVERIFY(QFile::exists(path));
    }

    // Reset asks first, then restores the six switches' defaults and
    // touches nothing else.
    void resetRestoresTheSixDefaultsOnly()
    {
        Fixture f;
        UserDefaults &store = f.defaults.standard();
        for (const QString &key : kKeys)
            StoredSettings::setValue(store, key, key != u"allowLAN");
        store.set(u"selected_server_id"_s, u"sg-node-01"_s);
        store.set(u"xrayKillSwitchActive"_s, true);
        const QString storedProtocol = store.string(u"vpnProtocol"_s).value_or(QString());
        auto view = f.makeView();
        auto other = f.makeView();
        view->setSelectedSettingsTab(SettingsTab::Advanced);
        for (const QString &key : kKeys)
            QCOMPARE(toggle(*other, key)->isChecked(), key != u"allowLAN");

        auto *reset = view->findChild<QPushButton *>(u"resetSettingsButton"_s);
        QCOMPARE(reset->palette().color(QPalette::ButtonText), Style::red());
        QTest::mouseClick(reset, Qt::LeftButton);
        QMessageBox *box = view->advancedPane()->resetConfirmation();
        QTRY_VERIFY(box && box->isVisible());
        QCOMPARE(box->windowTitle(), u"Reset All Settings"_s);
        QVERIFY(saveGrab(box, u"settings-reset-confirmation"_s));
        QTest::mouseClick(buttonWithRole(box, QMessageBox::RejectRole), Qt::LeftButton);
        QTRY_VERIFY(!view->advancedPane()->resetConfirmation());
        QCOMPARE(store.boolValue(u"launchAtLogin"_s), std::optional<bool>(true));

        QTest::mouseClick(reset, Qt::LeftButton);
        box = view->advancedPane()->resetConfirmation();
        QTRY_VERIFY(box && box->isVisible());
        QTest::mouseClick(buttonWithRole(box, QMessageBox::DestructiveRole), Qt::LeftButton);
        for (const QString &key : kKeys) {
            QVERIFY(!store.contains(key));
            QCOMPARE(toggle(*view, key)->isChecked(), key == u"allowLAN");
            QCOMPARE(toggle(*other, key)->isChecked(), key == u"allowLAN");
        }
        QCOMPARE(store.string(u"selected_server_id"_s), std::optional<QString>(u"sg-node-01"_s));
        QCOMPARE(store.boolValue(u"xrayKillSwitchActive"_s), std::optional<bool>(true));
        QCOMPARE(store.string(u"vpnProtocol"_s).value_or(QString()), storedProtocol);
    }

    // About: name, the version with the build number's fallback, and the three links.
    void aboutPane()
    {
        AppInfo::setCurrent(AppInfo(u"2.5"_s, std::nullopt));
        Fixture f;
        auto view = f.makeView();
        AppInfo::setCurrent(AppInfo::fromBuild());
        view->setSelectedSettingsTab(SettingsTab::About);
        QCOMPARE(view->findChild<QLabel *>(u"appNameText"_s)->text(), u"Velorin VPN"_s);
        QCOMPARE(view->findChild<QLabel *>(u"versionText"_s)->text(), u"Version 2.5 (1)"_s);
        QVERIFY(saveGrab(view.get(), u"settings-about"_s));

        OpenedUrls opened;
        for (const char *name : {"websiteLink", "privacyLink", "termsLink"})
            QTest::mouseClick(view->findChild<QAbstractButton *>(QString::fromLatin1(name)), Qt::LeftButton);
        QCOMPARE(opened.urls, (QList<QUrl>{QUrl(u"https://velorin.example/"_s), QUrl(u"https://velorin.example/privacy"_s),
                                           QUrl(u"https://velorin.example/terms"_s)}));

        qputenv("VELORIN_WEBSITE_URL", "::");
        AboutView withoutLinks;
        qunsetenv("VELORIN_WEBSITE_URL");
        QVERIFY(withoutLinks.findChildren<QAbstractButton *>().isEmpty());
    }

    void generalPaneAndShowStartsOnGeneral()
    {
        Fixture f;
        auto view = f.makeView();
        QVERIFY(saveGrab(view.get(), u"settings-general"_s));
        {
            DarkPalette dark;
            view->setSelectedSettingsTab(SettingsTab::Connection);
            QVERIFY(saveGrab(view.get(), u"settings-connection-dark"_s));
        }
        view->setSelectedSettingsTab(SettingsTab::About);
        view->hide();
        view->show();
        QCOMPARE(view->selectedSettingsTab(), SettingsTab::General);
    }
};

QTEST_MAIN(TestSettingsView)
#include "tst_settingsview.moc"
