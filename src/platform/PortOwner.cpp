#include "platform/PortOwner.h"

#include <QDir>
#include <QFile>

#include <pwd.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace PortOwner {

namespace {

// A local address of the socket tables (hex words in host order, as the
// kernel prints them) that a listener on 127.0.0.1 would clash with.
bool isLoopbackOrAny(QByteArrayView hex)
{
    if (hex.size() == 8) {
        const quint32 word = hex.toUInt(nullptr, 16);
        return word == 0 || (word & 0xffu) == 127; // first byte of the address
    }
    if (hex.size() == 32) {
        const QByteArray text = hex.toByteArray();
        if (text == QByteArray(32, '0') || text == "00000000000000000000000001000000")
            return true; // :: and ::1
        // ::ffff:a.b.c.d
        if (text.startsWith("0000000000000000FFFF0000"))
            return isLoopbackOrAny(hex.sliced(24));
    }
    return false;
}

QString printable(const QString &text)
{
    QString out;
    for (const QChar c : text)
        out.append(c.isPrint() ? c : u'?');
    return out.left(64);
}

QString commandOf(qint64 pid)
{
    QFile comm(u"/proc/"_s + QString::number(pid) + u"/comm"_s);
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return printable(QString::fromUtf8(comm.readAll()).trimmed());
}

bool holds(qint64 pid, const QByteArray &target)
{
    const QString fdDir = u"/proc/"_s + QString::number(pid) + u"/fd"_s;
    const QStringList fds = QDir(fdDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    for (const QString &fd : fds) {
        char link[64];
        const QByteArray path = QFile::encodeName(fdDir + u'/' + fd);
        const ssize_t length = ::readlink(path.constData(), link, sizeof link);
        if (length > 0 && QByteArrayView(link, length) == target)
            return true;
    }
    return false;
}

QByteArray socketLink(quint64 inode)
{
    return "socket:[" + QByteArray::number(inode) + ']';
}

qint64 parentOf(qint64 pid)
{
    QFile stat(u"/proc/"_s + QString::number(pid) + u"/stat"_s);
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    // "pid (comm) state ppid ...": the command may hold blanks and parentheses.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() : 0;
}

} // namespace

QList<Listener> listeners(int port)
{
    QList<Listener> found;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        file.readLine(); // the header
        while (!file.atEnd()) {
            const QList<QByteArray> fields = file.readLine().simplified().split(' ');
            if (fields.size() < 10 || fields[3] != "0A") // 0A: listening
                continue;
            const QByteArray &local = fields[1];
            const qsizetype colon = local.indexOf(':');
            if (colon < 0 || local.mid(colon + 1).toInt(nullptr, 16) != port
                || !isLoopbackOrAny(QByteArrayView(local).first(colon)))
                continue;
            found.append({fields[9].toULongLong(), fields[7].toUInt()});
        }
    }
    return found;
}

std::optional<Process> holderOf(quint64 inode)
{
    const QByteArray target = socketLink(inode);
    const QStringList pids = QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : pids) {
        bool numeric = false;
        const qint64 pid = name.toLongLong(&numeric);
        if (numeric && holds(pid, target))
            return Process{pid, commandOf(pid)};
    }
    return std::nullopt;
}

bool isHeldBy(quint64 inode, qint64 pid)
{
    if (pid <= 0)
        return false;
    const QByteArray target = socketLink(inode);
    if (holds(pid, target))
        return true;
    // A child of ours that started the real listener (a wrapper script).
    const std::optional<Process> holder = holderOf(inode);
    qint64 ancestor = holder ? holder->pid : 0;
    for (int depth = 0; ancestor > 1 && depth < 16; ++depth) {
        if (ancestor == pid)
            return true;
        ancestor = parentOf(ancestor);
    }
    return false;
}

QString describeHolder(const Listener &listener)
{
    if (const std::optional<Process> holder = holderOf(listener.inode))
        return (holder->name.isEmpty() ? u"a program"_s : holder->name) + u" (process "_s
            + QString::number(holder->pid) + u')';
    if (listener.uid != ::getuid()) {
        passwd entry = {};
        passwd *user = nullptr;
        char buffer[1024];
        ::getpwuid_r(listener.uid, &entry, buffer, sizeof buffer, &user);
        const QString name = user ? printable(QString::fromLocal8Bit(user->pw_name)) : QString();
        return u"a program of "_s + (name.isEmpty() ? u"another user"_s : QString(u"user "_s + name)) + u" (uid "_s
            + QString::number(listener.uid) + u')';
    }
    return u"another program"_s;
}

} // namespace PortOwner
