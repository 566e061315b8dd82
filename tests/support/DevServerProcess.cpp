#include "support/DevServerProcess.h"

#include "support/ChildProcess.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <signal.h>

using namespace Qt::StringLiterals;

DevServerProcess::DevServerProcess(QString dataDir, QStringList extraArguments)
    : m_dataDir(std::move(dataDir))
    , m_arguments(std::move(extraArguments))
{
}

DevServerProcess::~DevServerProcess()
{
    if (isRunning() && !stop(SIGTERM, 5000)) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
}

QStringList DevServerProcess::fastArguments()
{
    return {u"--pbkdf2-iterations"_s, u"1000"_s};
}

bool DevServerProcess::start(int timeoutMs)
{
    m_process = std::make_unique<QProcess>();
    ChildProcess::dieWithParent(*m_process);
    m_out.clear();
    m_err.clear();
    m_port = 0;
    m_process->start(ChildProcess::builtProgram(u"velorin-devserver"_s),
                     QStringList{u"--data"_s, m_dataDir, u"--port"_s, u"0"_s} + m_arguments);
    if (!m_process->waitForStarted(timeoutMs)) {
        m_error = u"cannot start velorin-devserver: "_s + m_process->errorString();
        return false;
    }
    static const QRegularExpression first(u"^velorin-devserver listening on (https?)://\\S+:(\\d+)\n"_s);
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        collect();
        const QRegularExpressionMatch match = first.match(QString::fromUtf8(m_out));
        if (match.hasMatch()) {
            m_scheme = match.captured(1);
            m_port = static_cast<quint16>(match.captured(2).toUInt());
            return true;
        }
        if (m_process->state() == QProcess::NotRunning)
            break;
        m_process->waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
    }
    collect();
    m_error = u"velorin-devserver did not start; it printed: "_s + QString::fromUtf8(m_out + m_err);
    return false;
}

bool DevServerProcess::stop(int signalNumber, int timeoutMs)
{
    if (!isRunning())
        return false;
    ::kill(static_cast<pid_t>(m_process->processId()), signalNumber);
    const bool finished = m_process->waitForFinished(timeoutMs);
    collect();
    return finished && m_process->exitStatus() == QProcess::NormalExit && m_process->exitCode() == 0;
}

bool DevServerProcess::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

QUrl DevServerProcess::url(const QString &pathAndQuery) const
{
    return QUrl(m_scheme + u"://127.0.0.1:"_s + QString::number(m_port) + pathAndQuery);
}

void DevServerProcess::collect()
{
    if (!m_process)
        return;
    m_out += m_process->readAllStandardOutput();
    m_err += m_process->readAllStandardError();
}

QString DevServerProcess::output()
{
    collect();
    return QString::fromUtf8(m_out);
}

QString DevServerProcess::errorOutput()
{
    collect();
    return QString::fromUtf8(m_err);
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
