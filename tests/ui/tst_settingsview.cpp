#include "platform/AppInfo.h"
#include "shell/ShellFixture.h"
#include "ui/settings/SettingsView.h"
#include "AccountScreensSupport.h"

#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
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

void click(QAbstractButton *button)
{
    QTRY_VERIFY(button->isVisible());
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));
}

} // namespace

class TestSettingsView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { useUnitedStatesLocale(); }

    void defaultsAreNotWrittenAndResetIsLimitedToTheSwitches()
    {
        Fixture f;
        UserDefaults &store = f.defaults.standard();
        SettingsModel model(store, f.vpn);
        for (const QString &key : kKeys) {
            QCOMPARE(model.value(key), key == u"allowLAN");
            QVERIFY(!store.contains(key));
            model.setValue(key, key != u"allowLAN");
        }
        store.set(u"selected_server_id"_s, u"sg-node-01"_s);
        store.set(u"xrayKillSwitchActive"_s, true);
        const QString storedProtocol = store.string(u"vpnProtocol"_s).value_or(QString());
        model.resetAll();
        for (const QString &key : kKeys) {
            QVERIFY(!store.contains(key));
            QCOMPARE(model.value(key), key == u"allowLAN");
        }
        QCOMPARE(store.string(u"selected_server_id"_s), std::optional<QString>(u"sg-node-01"_s));
        QCOMPARE(store.boolValue(u"xrayKillSwitchActive"_s), std::optional<bool>(true));
        QCOMPARE(store.string(u"vpnProtocol"_s).value_or(QString()), storedProtocol);
    }

    void diagnosticsExport()
    {
        QCOMPARE(QFileInfo(SettingsModel::suggestedDiagnosticsPath(QDate(2026, 1, 31))).fileName(),
                 u"velorin-diagnostics-2026-01-31.txt"_s);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"out.txt"_s);
        const QStringList lines{u"🔍 SettingsTest: first line"_s, u"🔍 SettingsTest: second line"_s};
        const SettingsModel::ExportResult saved = SettingsModel::exportDiagnostics(path, lines);
        QVERIFY(!saved.failed);
        QVERIFY(saved.status.startsWith(u"Saved 2 log lines to "_s));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList written = QString::fromUtf8(file.readAll()).split(u'\n');
        QVERIFY(written[0].startsWith(u"Velorin VPN "_s));
        QCOMPARE(written.mid(1, 2), lines);
        QCOMPARE(file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup
                                       | QFileDevice::WriteOther),
                 QFileDevice::Permissions());

        const SettingsModel::ExportResult failed =
            SettingsModel::exportDiagnostics(dir.filePath(u"missing/out.txt"_s), lines);
        QVERIFY(failed.failed);
        QVERIFY(failed.status.startsWith(u"Could not save the diagnostic logs: "_s));
    }

    // Only LAN access is on by default; every appearance starts on General.
    void switchesInTwoViews()
    {
        Fixture f;
        f.defaults.standard().set(u"killSwitch"_s, true);
        auto view = f.makeView();
        auto window = f.makeView();
        for (const QString &key : kKeys)
            QCOMPARE(toggle(*view, key)->isChecked(), key == u"allowLAN" || key == u"killSwitch");
        QVERIFY(saveGrab(view.get(), u"settings-general"_s));

        click(toggle(*view, u"autoConnect"_s));
        QCOMPARE(f.defaults.standard().boolValue(u"autoConnect"_s), std::optional<bool>(true));
        QVERIFY(toggle(*window, u"autoConnect"_s)->isChecked());
        window->setSelectedSettingsTab(SettingsTab::Connection);
        click(toggle(*window, u"allowLAN"_s));
        QVERIFY(!toggle(*view, u"allowLAN"_s)->isChecked());
        QCOMPARE(f.defaults.standard().boolValue(u"allowLAN"_s), std::optional<bool>(false));

        view->setSelectedSettingsTab(SettingsTab::Advanced);
        auto *reset = view->findChild<QPushButton *>(u"resetSettingsButton"_s);
        QTest::mouseClick(reset, Qt::LeftButton);
        QVERIFY(answer(view->advancedPane()->resetConfirmation(), QMessageBox::RejectRole));
        QTRY_VERIFY(!view->advancedPane()->resetConfirmation());
        QCOMPARE(f.defaults.standard().boolValue(u"autoConnect"_s), std::optional<bool>(true));
        QTest::mouseClick(reset, Qt::LeftButton);
        QVERIFY(answer(view->advancedPane()->resetConfirmation(), QMessageBox::DestructiveRole));
        QVERIFY(!f.defaults.standard().contains(u"autoConnect"_s));
        QVERIFY(!toggle(*window, u"autoConnect"_s)->isChecked());

        view->hide();
        view->show();
        QCOMPARE(view->selectedSettingsTab(), SettingsTab::General);
    }

    // The picker shows the manager's choice: Xray Reality and WireGuard are
    // not available, so it stays on IKEv2.
    void protocolPickerFollowsTheManager()
    {
        Fixture f;
        auto view = f.makeView();
        auto other = f.makeView();
        view->setSelectedSettingsTab(SettingsTab::Connection);
        auto checked = [](const SettingsView &v) { return v.findChild<ConnectionSettingsView *>()->checkedProtocol(); };
        QCOMPARE(checked(*view), VPNProtocolType::IKEv2);
        QVERIFY(saveGrab(view.get(), u"settings-connection"_s));
        for (VPNProtocolType unavailable : {VPNProtocolType::XrayReality, VPNProtocolType::WireGuard}) {
            click(radio(*view, unavailable));
            QCOMPARE(f.vpn.selectedProtocol(), VPNProtocolType::IKEv2);
            QCOMPARE(checked(*view), VPNProtocolType::IKEv2);
        }

        const QString description = view->findChild<ConnectionSettingsView *>()->descriptionText();
        f.vpn.setSelectedProtocol(VPNProtocolType::XrayReality);
        QCOMPARE(checked(*view), VPNProtocolType::XrayReality);
        QCOMPARE(checked(*other), VPNProtocolType::XrayReality);
        QVERIFY(view->findChild<ConnectionSettingsView *>()->descriptionText() != description);
        click(radio(*view, VPNProtocolType::IKEv2));
        QCOMPARE(f.vpn.selectedProtocol(), VPNProtocolType::IKEv2);
        QCOMPARE(checked(*other), VPNProtocolType::IKEv2);
    }

    // The save dialog must not block (a failure's text: the model's test).
    void exportFromTheAdvancedPane()
    {
        Fixture f;
        auto view = f.makeView();
        view->setSelectedSettingsTab(SettingsTab::Advanced);
        QTemporaryDir dir;
        auto *button = view->findChild<QPushButton *>(u"exportLogsButton"_s);
        QTest::mouseClick(button, Qt::LeftButton);
        QFileDialog *dialog = nullptr;
        QTRY_VERIFY((dialog = view->findChild<QFileDialog *>(u"exportDialog"_s)) && dialog->isVisible());
        QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptSave);
        emit dialog->fileSelected(dir.filePath(u"chosen.txt"_s));
        dialog->close();
        QVERIFY(QFile::exists(dir.filePath(u"chosen.txt"_s)));
        QVERIFY(view->advancedPane()->statusText().startsWith(u"Saved "_s));
    }

    // Without a build number the version shows the fallback "(1)".
    void aboutPane()
    {
        AppInfo::setCurrent(AppInfo(u"2.5"_s, std::nullopt));
        Fixture f;
        auto view = f.makeView();
        AppInfo::setCurrent(AppInfo::fromBuild());
        view->setSelectedSettingsTab(SettingsTab::About);
        QCOMPARE(view->findChild<QLabel *>(u"appNameText"_s)->text(), u"Velorin VPN"_s);
        QCOMPARE(view->findChild<QLabel *>(u"versionText"_s)->text(), u"Version 2.5 (1)"_s);

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
};

QTEST_MAIN(TestSettingsView)
#include "tst_settingsview.moc"
