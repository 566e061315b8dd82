#include "vpn/xray/KdeProxy.h"

#include "platform/Log.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace {

const QString fileName = QStringLiteral("kioslaverc");
const QStringList ourKeys{u"NoProxyFor"_s, u"ProxyType"_s, u"ReversedException"_s,
                          u"httpProxy"_s,  u"httpsProxy"_s, u"socksProxy"_s};

QMap<QString, QString> ourLines(const ProxyEndpoints &endpoints)
{
    const QString http = u"http://"_s + endpoints.host + u' ' + QString::number(endpoints.httpPort);
    return {
        {u"NoProxyFor"_s, u"NoProxyFor=localhost,127.0.0.1,::1"_s},
        {u"ProxyType"_s, u"ProxyType=1"_s},
        {u"ReversedException"_s, u"ReversedException=false"_s},
        {u"httpProxy"_s, u"httpProxy="_s + http},
        {u"httpsProxy"_s, u"httpsProxy="_s + http},
        {u"socksProxy"_s, u"socksProxy=socks://"_s + endpoints.host + u' ' + QString::number(endpoints.socksPort)},
    };
}

bool isGroupHeader(const QString &line)
{
    return line.trimmed().startsWith(u'[');
}

bool isOurGroup(const QString &line)
{
    const QString header = line.trimmed();
    return header == u"[Proxy Settings]" || header.startsWith(u"[Proxy Settings][$"_s);
}

// The key of an entry line without its options ("ProxyType[$e]" → "ProxyType").
QString keyOf(const QString &line)
{
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(u'#') || trimmed.startsWith(u'['))
        return {};
    const qsizetype equals = trimmed.indexOf(u'=');
    if (equals <= 0)
        return {};
    QString key = trimmed.left(equals).trimmed();
    if (const qsizetype bracket = key.indexOf(u'['); bracket > 0)
        key.truncate(bracket);
    return key;
}

struct Parsed
{
    QStringList lines;
    // Our keys' lines in the group, the first of each.
    QMap<QString, QString> entries;
    bool locked = false; // "[$i]" on the file, the group or one of our keys
};

Parsed parse(const QByteArray &bytes)
{
    Parsed parsed;
    parsed.lines = QString::fromUtf8(bytes).split(u'\n');
    if (parsed.lines.size() > 1 && parsed.lines.last().isEmpty())
        parsed.lines.removeLast();
    bool inGroup = false;
    bool beforeFirstGroup = true;
    for (const QString &line : std::as_const(parsed.lines)) {
        if (isGroupHeader(line)) {
            beforeFirstGroup = false;
            inGroup = isOurGroup(line);
            if (inGroup && line.contains(u"[$i]"_s))
                parsed.locked = true;
            continue;
        }
        if (beforeFirstGroup && line.trimmed() == u"[$i]")
            parsed.locked = true;
        const QString key = keyOf(line);
        if (!inGroup || !ourKeys.contains(key))
            continue;
        if (line.section(u'=', 0, 0).contains(u"$i"_s))
            parsed.locked = true;
        if (!parsed.entries.contains(key))
            parsed.entries.insert(key, line.trimmed());
    }
    return parsed;
}

std::optional<QByteArray> readFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.exists())
        return QByteArray();
    if (!file.open(QIODevice::ReadOnly)) {
        *error = u"Cannot read "_s + path + u": "_s + file.errorString();
        return std::nullopt;
    }
    return file.readAll();
}

// The file the settings live in: a symbolic link (a dotfile manager's) is
// followed, so that the link stays.
QString resolvedPath(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink() && QFileInfo::exists(info.symLinkTarget()))
        return info.canonicalFilePath();
    return path;
}

// A line of the captured map that may be written back: one entry line of that key.
bool isEntryOf(const QVariant &value, const QString &key)
{
    if (value.typeId() != QMetaType::QString)
        return false;
    const QString line = value.toString();
    return !line.contains(u'\n') && !line.contains(u'\r') && keyOf(line) == key && line.size() < 4096;
}

} // namespace

KdeProxy::KdeProxy(QString configDirectory, ProxyEndpoints endpoints)
    : ProxyBackend(std::move(endpoints))
    , m_configDirectory(std::move(configDirectory))
{
}

QString KdeProxy::defaultConfigDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
}

QString KdeProxy::labelText()
{
    return u"KDE settings (kioslaverc)"_s;
}

QString KdeProxy::filePath() const
{
    return QDir(m_configDirectory).filePath(fileName);
}

QString KdeProxy::unavailableReason()
{
    if (m_configDirectory.isEmpty())
        return u"KDE's proxy settings cannot be found: the user's configuration folder is unknown."_s;
    const QFileInfo file(resolvedPath(filePath()));
    if (file.exists() && !file.isFile())
        return u"KDE's proxy settings cannot be changed: "_s + file.filePath() + u" is not a file."_s;
    const QFileInfo folder(file.absolutePath());
    if (folder.exists() && !folder.isDir())
        return u"KDE's proxy settings cannot be changed: "_s + folder.filePath() + u" is not a folder."_s;
    // The administrator's files come first in KDE's cascade; "[$i]" there
    // makes the user's own values count for nothing.
    QStringList files = QStandardPaths::locateAll(QStandardPaths::GenericConfigLocation, fileName);
    files.append(file.filePath());
    for (const QString &path : std::as_const(files)) {
        QString error;
        const std::optional<QByteArray> bytes = readFile(path, &error);
        if (bytes && parse(*bytes).locked)
            return u"KDE's proxy settings are locked by the administrator ("_s + path + u")."_s;
    }
    return {};
}

std::optional<QVariantMap> KdeProxy::capture(QString *error)
{
    const std::optional<QByteArray> bytes = readFile(resolvedPath(filePath()), error);
    if (!bytes)
        return std::nullopt;
    QVariantMap captured;
    const Parsed parsed = parse(*bytes);
    for (auto it = parsed.entries.cbegin(); it != parsed.entries.cend(); ++it)
        captured.insert(it.key(), it.value());
    return captured;
}

bool KdeProxy::apply(const QVariantMap &, QString *error)
{
    QMap<QString, std::optional<QString>> lines;
    const QMap<QString, QString> ours = ourLines(endpoints());
    for (auto it = ours.cbegin(); it != ours.cend(); ++it)
        lines.insert(it.key(), it.value());
    if (!edit(lines, error))
        return false;
    notifyRunningPrograms(false);
    return true;
}

bool KdeProxy::restore(const QVariantMap &captured, bool quiet, QString *error)
{
    const std::optional<QByteArray> bytes = readFile(resolvedPath(filePath()), error);
    if (!bytes)
        return false;
    const Parsed parsed = parse(*bytes);
    const QMap<QString, QString> ours = ourLines(endpoints());
    QMap<QString, std::optional<QString>> lines;
    for (const QString &key : ourKeys) {
        // A value the user changed since the set is theirs.
        if (parsed.entries.value(key) != ours.value(key))
            continue;
        const QVariant previous = captured.value(key);
        if (previous.isValid() && !isEntryOf(previous, key)) {
            if (!quiet)
                Log::system(u"⚠️ Xray: No usable earlier value of "_s + key
                            + u" in the proxy record — removed from kioslaverc"_s);
            lines.insert(key, std::nullopt);
            continue;
        }
        lines.insert(key, previous.isValid() ? std::optional<QString>(previous.toString()) : std::nullopt);
    }
    if (lines.isEmpty())
        return true;
    if (!edit(lines, error))
        return false;
    notifyRunningPrograms(quiet);
    return true;
}

bool KdeProxy::edit(const QMap<QString, std::optional<QString>> &lines, QString *error)
{
    const QString path = resolvedPath(filePath());
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        *error = u"KDE's proxy settings cannot be changed: cannot create the folder of "_s + path + u'.';
        return false;
    }
    // KDE's configuration library takes this lock while it writes the file.
    QLockFile lock(path + u".lock"_s);
    if (!lock.tryLock(2000)) {
        *error = u"KDE's proxy settings are being changed by another program ("_s + path
            + u".lock); try again in a moment."_s;
        return false;
    }
    const std::optional<QByteArray> bytes = readFile(path, error);
    if (!bytes)
        return false;
    const Parsed parsed = parse(*bytes);
    const bool existed = QFileInfo::exists(path);

    // Every line of our keys in the group goes; the new ones are written
    // where the first group's entries end.
    QStringList out;
    bool inGroup = false;
    qsizetype insertAt = -1;
    for (const QString &line : parsed.lines) {
        if (isGroupHeader(line)) {
            if (inGroup && insertAt < 0)
                insertAt = out.size();
            inGroup = isOurGroup(line);
        } else if (inGroup && lines.contains(keyOf(line))) {
            continue;
        }
        out.append(line);
    }
    if (inGroup && insertAt < 0)
        insertAt = out.size();
    QStringList added;
    for (auto it = lines.cbegin(); it != lines.cend(); ++it)
        if (it.value())
            added.append(*it.value());
    if (insertAt < 0 && !added.isEmpty()) {
        if (!out.isEmpty() && !out.last().trimmed().isEmpty())
            out.append(QString());
        out.append(u'[' + group + u']');
        insertAt = out.size();
    }
    // Before the blank lines that separate the group from the next one.
    while (insertAt > 0 && out.value(insertAt - 1).trimmed().isEmpty())
        --insertAt;
    for (qsizetype i = 0; i < added.size(); ++i)
        out.insert(insertAt + i, added[i]);

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = u"KDE's proxy settings cannot be changed: "_s + path + u": "_s + file.errorString();
        return false;
    }
    if (!existed)
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write((out.join(u'\n') + u'\n').toUtf8());
    if (!file.commit()) {
        *error = u"KDE's proxy settings cannot be changed: "_s + path + u": "_s + file.errorString();
        return false;
    }

    // Read back, as KDE will.
    const std::optional<QByteArray> written = readFile(path, error);
    if (!written)
        return false;
    const Parsed check = parse(*written);
    for (auto it = lines.cbegin(); it != lines.cend(); ++it) {
        const std::optional<QString> got =
            check.entries.contains(it.key()) ? std::optional<QString>(check.entries.value(it.key())) : std::nullopt;
        if (got != it.value()) {
            *error = u"KDE's proxy settings did not keep the new value of "_s + it.key() + u" in "_s + path + u'.';
            return false;
        }
    }
    return true;
}

void KdeProxy::notifyRunningPrograms(bool quiet)
{
    // What KDE's proxy settings module sends: KDE programs then read
    // kioslaverc again. Programs started later read it anyway.
    QDBusMessage signal = QDBusMessage::createSignal(u"/KIO/Scheduler"_s, u"org.kde.KIO.Scheduler"_s,
                                                     u"reparseSlaveConfiguration"_s);
    signal << QString();
    if (!QDBusConnection::sessionBus().send(signal) && !quiet)
        Log::system(u"⚠️ Xray: No session bus — KDE programs already running keep their old proxy until they "
                    "start again"_s);
}
