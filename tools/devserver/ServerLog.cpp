#include "devserver/ServerLog.h"

#include <QDateTime>
#include <QMutex>

#include <cstdio>

namespace ServerLog {

namespace {
QMutex mutex;

void write(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    QMutexLocker lock(&mutex);
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}
} // namespace

void out(const QString &line)
{
    write(stdout, line);
}

void err(const QString &line)
{
    write(stderr, line);
}

QString timestamp()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

} // namespace ServerLog
