#include "support/FakeTools.h"

#include "support/ChildProcess.h"
#include "support/ProxyClient.h"

#include <QFile>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

void applyAll(const QStringList &variables)
{
    for (const QString &entry : variables)
        qputenv(entry.section(u'=', 0, 0).toLocal8Bit(), entry.section(u'=', 1).toLocal8Bit());
}

void unsetAll(const QString &prefix)
{
    for (const QString &name : QProcessEnvironment::systemEnvironment().keys())
        if (name.startsWith(prefix))
            qunsetenv(name.toLocal8Bit().constData());
}

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace

QString FakeNetworkSetup::toolPath() const
{
    return ChildProcess::supportDir() + u"/fake-networksetup"_s;
}

void FakeNetworkSetup::setScript(const QString &script)
{
    QFile file(scriptPath());
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(script.toUtf8());
}

void FakeNetworkSetup::setActiveServices(const QStringList &services)
{
    QString script = u"[-listallnetworkservices]\nAn asterisk (*) denotes that a network service is disabled.\n"_s;
    for (const QString &service : services)
        script += service + u'\n';
    for (const QString &service : services)
        script += u"[-getinfo "_s + service + u"]\nManual Configuration\nIP address: 192.168.1.20\nSubnet mask: 255.255.255.0\n"_s;
    setScript(script);
}

QStringList FakeNetworkSetup::calls() const
{
    return readLines(logPath());
}

void FakeNetworkSetup::clearCalls()
{
    QFile::remove(logPath());
}

QStringList FakeNetworkSetup::environment() const
{
    return {u"FAKE_NETWORKSETUP_LOG="_s + logPath(), u"FAKE_NETWORKSETUP_SCRIPT="_s + scriptPath(),
            u"FAKE_NETWORKSETUP_DELAY_MS="_s + QString::number(m_delayMs)};
}

void FakeNetworkSetup::apply() const
{
    applyAll(environment());
}

void FakeNetworkSetup::unapply()
{
    unsetAll(u"FAKE_NETWORKSETUP_"_s);
}

QString FakeXray::executablePath() const
{
    return ChildProcess::supportDir() + u"/fake-xray"_s;
}

QList<qint64> FakeXray::launches() const
{
    QList<qint64> pids;
    for (const QString &line : readLines(pidFilePath()))
        pids.append(line.toLongLong());
    return pids;
}

bool FakeXray::isAlive(qint64 pid)
{
    if (pid <= 0 || ::kill(pid_t(pid), 0) != 0)
        return false;
    QFile status(u"/proc/"_s + QString::number(pid) + u"/stat"_s);
    if (!status.open(QIODevice::ReadOnly))
        return false;
    const QByteArray stat = status.readAll();
    const qsizetype close = stat.lastIndexOf(')');
    return close < 0 || stat.mid(close + 2, 1) != "Z";
}

bool FakeXray::waitUntilGone(qint64 pid, int timeoutMs)
{
    return ProxyClient::spinUntil([pid] { return !isAlive(pid); }, timeoutMs);
}

QStringList FakeXray::environment() const
{
    return QStringList{u"FAKE_XRAY_PIDFILE="_s + pidFilePath()} + variables;
}

void FakeXray::apply() const
{
    unapply();
    applyAll(environment());
}

void FakeXray::unapply()
{
    unsetAll(u"FAKE_XRAY_"_s);
}

QStringList proxyOnCalls(const QString &service, int socksPort, int httpPort)
{
    const QString socks = QString::number(socksPort);
    const QString http = QString::number(httpPort);
    return {u"-setsocksfirewallproxy "_s + service + u" 127.0.0.1 "_s + socks,
            u"-setsocksfirewallproxystate "_s + service + u" on"_s,
            u"-setwebproxy "_s + service + u" 127.0.0.1 "_s + http,
            u"-setwebproxystate "_s + service + u" on"_s,
            u"-setsecurewebproxy "_s + service + u" 127.0.0.1 "_s + http,
            u"-setsecurewebproxystate "_s + service + u" on"_s};
}

QStringList proxyOffCalls(const QString &service)
{
    return {u"-setsocksfirewallproxystate "_s + service + u" off"_s, u"-setwebproxystate "_s + service + u" off"_s,
            u"-setsecurewebproxystate "_s + service + u" off"_s};
}
