#include "Bench.h"

#include "platform/Log.h"
#include "support/ChildProcess.h"
#include "support/DevServerProcess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <malloc.h>
#include <unistd.h>
#include <time.h>

using namespace Qt::StringLiterals;

namespace Bench {

long long nowNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

double msSince(long long startNs)
{
    return double(nowNs() - startNs) / 1e6;
}

void sample(const QString &key, int run, double value)
{
    std::printf("sample %s %d %.6g\n", qPrintable(key), run, value);
    std::fflush(stdout);
}

void note(const QString &text)
{
    std::printf("note %s\n", text.toUtf8().constData());
    std::fflush(stdout);
}

void fail(const QString &message)
{
    std::fprintf(stderr, "velorin-bench: %s\n", message.toUtf8().constData());
    std::fflush(stdout);
    std::exit(1);
}

bool spinUntil(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    // A running event loop, as in the application: objects the services
    // hand to deleteLater() are deleted in it.
    QEventLoop loop;
    QTimer check;
    check.setInterval(1);
    const QDeadlineTimer deadline(timeoutMs);
    bool ok = false;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done()) {
            ok = true;
            loop.quit();
        } else if (deadline.hasExpired()) {
            loop.quit();
        }
    });
    check.start();
    loop.exec();
    return ok;
}

long long residentKiB(long long pid)
{
    QFile status(pid > 0 ? u"/proc/%1/status"_s.arg(pid) : u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines)
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

long long heapInUseBytes()
{
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<long long>(info.uordblks + info.hblkhd);
}

double slope(const QList<double> &x, const QList<double> &y)
{
    const qsizetype n = qMin(x.size(), y.size());
    if (n < 2)
        return 0;
    double mx = 0, my = 0;
    for (qsizetype i = 0; i < n; ++i) {
        mx += x[i];
        my += y[i];
    }
    mx /= double(n);
    my /= double(n);
    double sxy = 0, sxx = 0;
    for (qsizetype i = 0; i < n; ++i) {
        sxy += (x[i] - mx) * (y[i] - my);
        sxx += (x[i] - mx) * (x[i] - mx);
    }
    return sxx == 0 ? 0 : sxy / sxx;
}

void runCycles(const QString &key, int count, const std::function<bool(int cycle)> &cycle)
{
    QList<double> index, rss, heap;
    qsizetype lastLines = -1;
    int fullFrom = -1;
    const int limit = count * 3;
    for (int n = 0; n < limit; ++n) {
        if (!cycle(n))
            fail(u"%1: cycle %2 failed"_s.arg(key).arg(n));
        // Let replies and deferred deletions finish before measuring.
        spinUntil([] { return false; }, 2);
        index.append(n);
        rss.append(double(residentKiB()) * 1024.0);
        heap.append(double(heapInUseBytes()));
        const qsizetype lines = Log::recentLines().size();
        if (fullFrom < 0 && lines == lastLines)
            fullFrom = n;
        lastLines = lines;
        if (n + 1 >= count && fullFrom >= 0 && n + 1 - fullFrom >= count / 2)
            break;
    }
    if (fullFrom < 0)
        fullFrom = int(index.size()) / 2;
    const auto tail = [fullFrom](const QList<double> &values) { return values.mid(fullFrom); };
    sample(key + u".rss_bytes_per_cycle"_s, 0, slope(tail(index), tail(rss)));
    sample(key + u".heap_bytes_per_cycle"_s, 0, slope(tail(index), tail(heap)));
    note(u"%1: %2 cycles, the growth fitted over the last %3; heap in use %4 KiB after the first, %5 KiB when the "
         "log ring was full, %6 KiB at the end; resident %7, %8, %9 KiB"_s.arg(key)
             .arg(index.size())
             .arg(index.size() - fullFrom)
             .arg(qRound(heap.first() / 1024))
             .arg(qRound(heap.value(fullFrom) / 1024))
             .arg(qRound(heap.last() / 1024))
             .arg(qRound(rss.first() / 1024))
             .arg(qRound(rss.value(fullFrom) / 1024))
             .arg(qRound(rss.last() / 1024)));
}

void endCycles(const QStringList &arguments)
{
    if (!arguments.contains(u"--no-teardown"_s))
        return;
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(0);
}

Answer exchange(QNetworkAccessManager &network, const QUrl &url, const QByteArray &method, const QByteArray &body,
                const QByteArray &bearer, const QByteArray &userAgent)
{
    QNetworkRequest request(url);
    request.setRawHeader("Accept", "application/json");
    if (!body.isEmpty())
        request.setRawHeader("Content-Type", "application/json");
    if (!bearer.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + bearer);
    if (!userAgent.isEmpty())
        request.setRawHeader("User-Agent", userAgent);
    QNetworkReply *reply = body.isEmpty() && method == "GET" ? network.get(request)
                                                             : network.sendCustomRequest(request, method, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    Answer answer;
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.body = reply->readAll();
    delete reply;
    return answer;
}

QJsonObject jsonOf(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object();
}

struct Backend::Private
{
    QTemporaryDir dir;
    QProcess process;
};

Backend::Backend(const QStringList &extraArguments)
    : d(new Private)
{
    const QString log = d->dir.filePath(u"devserver.log"_s);
    d->process.setStandardOutputFile(log);
    d->process.setStandardErrorFile(d->dir.filePath(u"devserver.err"_s));
    ChildProcess::dieWithParent(d->process);
    // The low PBKDF2 count keeps the server's share of a sign-in small, so
    // the client's own share shows.
    d->process.start(ChildProcess::builtProgram(u"velorin-devserver"_s),
                     QStringList{u"--data"_s, d->dir.filePath(u"data"_s), u"--port"_s, u"0"_s, u"--seed-demo"_s}
                         + DevServerProcess::fastArguments() + extraArguments);
    if (!d->process.waitForStarted(10000))
        fail(u"cannot start velorin-devserver: "_s + d->process.errorString());
    const QDeadlineTimer deadline(20000);
    while (m_url.isEmpty() && !deadline.hasExpired() && d->process.state() == QProcess::Running) {
        QFile file(log);
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray first = file.readLine().trimmed();
            if (first.startsWith("velorin-devserver listening on "))
                m_url = QString::fromUtf8(first.mid(int(std::strlen("velorin-devserver listening on "))));
        }
        if (m_url.isEmpty())
            QThread::msleep(20);
    }
    if (m_url.isEmpty()) {
        QFile err(d->dir.filePath(u"devserver.err"_s));
        err.open(QIODevice::ReadOnly);
        fail(u"the development backend did not start: "_s + QString::fromUtf8(err.readAll()));
    }
}

Backend::~Backend()
{
    if (d->process.state() != QProcess::NotRunning) {
        d->process.terminate();
        if (!d->process.waitForFinished(10000))
            d->process.kill();
        d->process.waitForFinished(2000);
    }
    delete d;
}

QByteArray Backend::signIn() const
{
    QNetworkAccessManager network;
    const Answer login = exchange(network, url(u"/auth/login"_s), "POST",
                                  "{\"email\":\"demo@example.com\",\"password\":\"velorin-demo\"}");
    const QByteArray token = jsonOf(login.body).value(u"access_token"_s).toString().toUtf8();
    if (token.isEmpty())
        fail(u"cannot sign in to the development backend (HTTP %1)"_s.arg(login.status));
    return token;
}

QString option(const QStringList &arguments, const QString &name, const QString &fallback)
{
    const qsizetype at = arguments.indexOf(name);
    return at >= 0 && at + 1 < arguments.size() ? arguments.at(at + 1) : fallback;
}

int intOption(const QStringList &arguments, const QString &name, int fallback)
{
    bool ok = false;
    const int value = option(arguments, name).toInt(&ok);
    return ok ? value : fallback;
}

} // namespace Bench
