#include "support/DevServerProcess.h"

#include "support/ProgramRun.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

DevServerProcess::DevServerProcess(QString dataDir, QStringList extraArguments)
    : m_dataDir(std::move(dataDir))
    , m_arguments(std::move(extraArguments))
{
}

DevServerProcess::~DevServerProcess()
{
    // A server that does not end on SIGTERM is killed with its ProgramRun.
    if (isRunning())
        stop(SIGTERM, 5000);
}

QStringList DevServerProcess::fastArguments()
{
    return {u"--pbkdf2-iterations"_s, u"1000"_s};
}

bool DevServerProcess::start(int timeoutMs)
{
    m_port = 0;
    m_process = std::make_unique<ProgramRun>(ChildProcess::builtProgram(u"velorin-devserver"_s),
                                             QStringList{u"--data"_s, m_dataDir, u"--port"_s, u"0"_s} + m_arguments,
                                             QStringList{});
    static const QRegularExpression first(u"^velorin-devserver listening on (https?)://\\S+:(\\d+)\n"_s);
    QRegularExpressionMatch match;
    ProxyClient::spinUntil([&] {
        match = first.match(m_process->out());
        return match.hasMatch() || !m_process->running();
    }, timeoutMs);
    if (!match.hasMatch()) {
        m_error = u"velorin-devserver did not start; it printed: "_s + m_process->all();
        return false;
    }
    m_scheme = match.captured(1);
    m_port = static_cast<quint16>(match.captured(2).toUInt());
    return true;
}

bool DevServerProcess::stop(int signalNumber, int timeoutMs)
{
    if (!isRunning())
        return false;
    m_process->signal(signalNumber);
    return m_process->waitForExit(timeoutMs) && !m_process->crashed() && m_process->exitCode() == 0;
}

bool DevServerProcess::isRunning() const
{
    return m_process && m_process->running();
}

qint64 DevServerProcess::pid() const
{
    return m_process ? m_process->pid() : 0;
}

QUrl DevServerProcess::url(const QString &pathAndQuery) const
{
    return QUrl(m_scheme + u"://127.0.0.1:"_s + QString::number(m_port) + pathAndQuery);
}

QString DevServerProcess::output()
{
    return m_process ? m_process->out() : QString();
}

QString DevServerProcess::errorOutput()
{
    return m_process ? m_process->err() : QString();
}

QString DevServerProcess::lastCode(const QString &email, const QString &purpose) const
{
    QFile outbox(QDir(m_dataDir).filePath(u"outbox.log"_s));
    if (!outbox.open(QIODevice::ReadOnly))
        return {};
    const QRegularExpression line(u"^\\S+ to=(\\S+) purpose=(\\S+) code=(\\d{6})$"_s);
    QString code;
    for (const QByteArray &raw : outbox.readAll().split('\n')) {
        const QRegularExpressionMatch match = line.match(QString::fromUtf8(raw));
        if (match.hasMatch() && match.captured(1) == email && match.captured(2) == purpose)
            code = match.captured(3);
    }
    return code;
}

QByteArray DevServerProcess::Reply::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

DevServerProcess::Reply DevServerProcess::send(const QByteArray &method, const QString &pathAndQuery,
                                               const QByteArray &body, const QString &token)
{
    if (!m_network)
        m_network = std::make_unique<QNetworkAccessManager>();
    QNetworkRequest request(url(pathAndQuery));
    request.setRawHeader("Content-Type", "application/json");
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    request.setTransferTimeout(20000);
    std::unique_ptr<QNetworkReply> reply(m_network->sendCustomRequest(request, method, body));
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    Reply result;
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.body = reply->readAll();
    result.json = QJsonDocument::fromJson(result.body).object();
    result.headers = reply->rawHeaderPairs();
    return result;
}
