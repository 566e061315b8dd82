// The strongSwan adapter as a program, so a lab test can run it as another
// user of the machine; it finds the daemon and the CA as the application does.
//
//   velorin-lab-client load
//       Reaches the daemon; prints "ready" or "error <why>".
//   velorin-lab-client connect ADDRESS EAP_USER   (the password on stdin)
//       Saves the profile, starts the tunnel; prints "status <Status>" for
//       each change and "failure <why>" when an attempt ends with a reason.
//       Then stdin: "stop" stops the tunnel, "quit" (or its end) quits.
#include "platform/StrongSwanVpn.h"

#include <QCoreApplication>
#include <QFile>
#include <QMetaEnum>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

void say(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const bool connect = args.value(0) == u"connect" && args.size() == 3;
    if (args.value(0) != u"load" && !connect) {
        std::fprintf(stderr, "usage: velorin-lab-client load | connect ADDRESS EAP_USER\n");
        return 2;
    }
    // Unbuffered: whatever the test writes next is left for the notifier below.
    QFile in;
    in.open(STDIN_FILENO, QIODevice::ReadOnly | QIODevice::Unbuffered);
    const QByteArray password = connect ? in.readLine().trimmed() : QByteArray();
    StrongSwanVpn vpn([password](const QByteArray &) -> std::optional<QByteArray> { return password; });
    QObject::connect(&vpn, &SystemVpn::statusChanged, &vpn, [&vpn](SystemVpn::Status status) {
        say(u"status "_s + QString::fromLatin1(QMetaEnum::fromType<SystemVpn::Status>().valueToKey(int(status))));
        if (status == SystemVpn::Status::Disconnected && !vpn.lastFailureReason().isEmpty())
            say(u"failure "_s + vpn.lastFailureReason());
    });

    vpn.loadFromPreferences([&](const std::optional<QString> &error) {
        if (error) {
            say(u"error "_s + *error);
            app.exit(1);
            return;
        }
        if (!connect) {
            say(u"ready"_s);
            app.exit(0);
            return;
        }
        IKEv2Profile profile;
        profile.serverAddress = args.at(1);
        profile.remoteIdentifier = args.at(1);
        profile.serverCertificateCommonName = args.at(1);
        profile.serverCertificateIssuerCommonName = u"Velorin VPN CA"_s;
        profile.username = args.at(2);
        profile.passwordReference = "lab";
        profile.localizedDescription = u"Velorin VPN"_s;
        vpn.saveToPreferences(profile, [&](const std::optional<QString> &error) {
            if (error) {
                say(u"error "_s + *error);
                app.exit(1);
            } else if (const std::optional<QString> startError = vpn.startTunnel()) {
                say(u"error "_s + *startError);
                app.exit(1);
            }
        });
    });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&]() {
        const QByteArray line = in.readLine().trimmed();
        if (line == "stop")
            vpn.stopTunnel();
        else if (line.isEmpty() || line == "quit")
            app.quit();  // "quit", or the end of stdin
    });
    input.setEnabled(connect);
    return app.exec();
}
