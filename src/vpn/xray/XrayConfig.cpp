#include "vpn/xray/XrayConfig.h"

#include "model/JsonReader.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

XrayConfigResponse XrayConfigResponse::decode(const JsonReader &reader)
{
    XrayConfigResponse config;
    config.serverAddress = reader.string(u"server_address"_s);
    config.serverPort = reader.integer(u"server_port"_s);
    config.uuid = reader.string(u"uuid"_s);
    config.publicKey = reader.string(u"public_key"_s);
    config.shortId = reader.string(u"short_id"_s);
    config.serverName = reader.string(u"server_name"_s);
    config.serverLocation = reader.string(u"server_location"_s);
    config.flow = reader.string(u"flow"_s);
    config.fingerprint = reader.string(u"fingerprint"_s);
    config.displayName = reader.optionalString(u"display_name"_s);
    return config;
}

QJsonObject XrayConfigResponse::encode() const
{
    QJsonObject object{
        {u"server_address"_s, serverAddress}, {u"server_port"_s, serverPort},
        {u"uuid"_s, uuid},                    {u"public_key"_s, publicKey},
        {u"short_id"_s, shortId},             {u"server_name"_s, serverName},
        {u"server_location"_s, serverLocation}, {u"flow"_s, flow},
        {u"fingerprint"_s, fingerprint},
    };
    if (displayName)
        object.insert(u"display_name"_s, *displayName);
    return object;
}

namespace XrayConfigFile {

QJsonObject build(const XrayConfigResponse &config, int socksPort, int httpPort)
{
    const QJsonObject socksIn{
        {u"tag"_s, u"socks-in"_s},
        {u"port"_s, socksPort},
        {u"listen"_s, u"127.0.0.1"_s},
        {u"protocol"_s, u"socks"_s},
        {u"settings"_s, QJsonObject{{u"auth"_s, u"noauth"_s}, {u"udp"_s, true}}},
        {u"sniffing"_s, QJsonObject{{u"enabled"_s, true}, {u"destOverride"_s, QJsonArray{u"http"_s, u"tls"_s}}}},
    };
    const QJsonObject httpIn{
        {u"tag"_s, u"http-in"_s},
        {u"port"_s, httpPort},
        {u"listen"_s, u"127.0.0.1"_s},
        {u"protocol"_s, u"http"_s},
        {u"settings"_s, QJsonObject{}},
    };
    const QJsonObject user{{u"id"_s, config.uuid}, {u"encryption"_s, u"none"_s}, {u"flow"_s, config.flow}};
    const QJsonObject server{
        {u"address"_s, config.serverAddress}, {u"port"_s, config.serverPort}, {u"users"_s, QJsonArray{user}}};
    const QJsonObject proxy{
        {u"tag"_s, u"proxy"_s},
        {u"protocol"_s, u"vless"_s},
        {u"settings"_s, QJsonObject{{u"vnext"_s, QJsonArray{server}}}},
        {u"streamSettings"_s,
         QJsonObject{{u"network"_s, u"tcp"_s},
                     {u"security"_s, u"reality"_s},
                     {u"realitySettings"_s, QJsonObject{{u"serverName"_s, config.serverName},
                                                        {u"fingerprint"_s, config.fingerprint},
                                                        {u"publicKey"_s, config.publicKey},
                                                        {u"shortId"_s, config.shortId}}}}},
    };
    const QJsonObject direct{{u"tag"_s, u"direct"_s}, {u"protocol"_s, u"freedom"_s}, {u"settings"_s, QJsonObject{}}};
    const QJsonObject block{{u"tag"_s, u"block"_s}, {u"protocol"_s, u"blackhole"_s}, {u"settings"_s, QJsonObject{}}};
    const QJsonObject privateRanges{
        {u"type"_s, u"field"_s},
        {u"outboundTag"_s, u"direct"_s},
        {u"ip"_s, QJsonArray{u"127.0.0.0/8"_s, u"10.0.0.0/8"_s, u"172.16.0.0/12"_s, u"192.168.0.0/16"_s}},
    };
    const QJsonObject everythingElse{
        {u"type"_s, u"field"_s}, {u"outboundTag"_s, u"proxy"_s}, {u"network"_s, u"tcp,udp"_s}};
    return QJsonObject{
        {u"log"_s, QJsonObject{{u"loglevel"_s, u"warning"_s}}},
        {u"inbounds"_s, QJsonArray{socksIn, httpIn}},
        {u"outbounds"_s, QJsonArray{proxy, direct, block}},
        {u"routing"_s, QJsonObject{{u"domainStrategy"_s, u"AsIs"_s}, {u"rules"_s, QJsonArray{privateRanges, everythingElse}}}},
    };
}

QByteArray serialise(const QJsonObject &document)
{
    return QJsonDocument(document).toJson(QJsonDocument::Indented);
}

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

bool isPrivateDirectory(const QString &dir)
{
    struct stat info = {};
    if (dir.isEmpty() || ::lstat(QFile::encodeName(dir).constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

QString chooseDirectory(const QString &runtimeDir, const QString &cacheDir)
{
    if (QDir::isAbsolutePath(runtimeDir) && isPrivateDirectory(runtimeDir))
        return QDir(runtimeDir).filePath(u"velorin"_s);
    return QDir(cacheDir).filePath(u"velorin/private"_s);
}

QString defaultDirectory()
{
    return chooseDirectory(qEnvironmentVariable("XDG_RUNTIME_DIR"),
                           QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation));
}

std::optional<QString> ensurePrivateDirectory(const QString &dir)
{
    if (!QDir::isAbsolutePath(dir))
        return u"the folder \""_s + dir + u"\" is not an absolute path"_s;
    const QByteArray path = QFile::encodeName(dir);
    struct stat info = {};
    if (::lstat(path.constData(), &info) != 0) {
        if (errno != ENOENT)
            return u"cannot inspect "_s + dir + u": "_s + systemError(errno);
        QDir().mkpath(QFileInfo(dir).absolutePath());
        if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
            return u"cannot create "_s + dir + u": "_s + systemError(errno);
        if (::lstat(path.constData(), &info) != 0)
            return u"cannot inspect "_s + dir + u": "_s + systemError(errno);
    }
    if (S_ISLNK(info.st_mode))
        return dir + u" is a symbolic link; refusing to write the configuration through it"_s;
    if (!S_ISDIR(info.st_mode))
        return dir + u" is not a folder"_s;
    if (info.st_uid != ::geteuid())
        return dir + u" belongs to another user"_s;
    if ((info.st_mode & 077) != 0 && ::chmod(path.constData(), 0700) != 0)
        return u"cannot make "_s + dir + u" private: "_s + systemError(errno);
    return std::nullopt;
}

WriteResult write(const QString &dir, const QByteArray &bytes)
{
    if (const auto error = ensurePrivateDirectory(dir))
        return {{}, *error};
    const QString finalPath = QDir(dir).filePath(fileName);
    QByteArray temporary = QFile::encodeName(finalPath + u".XXXXXX"_s);
    // mkostemp creates the file exclusively with mode 0600.
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return {{}, u"cannot create a file in "_s + dir + u": "_s + systemError(errno)};
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(temporary.constData());
            return {{}, u"cannot write "_s + finalPath + u": "_s + systemError(error)};
        }
        done += n;
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        return {{}, u"cannot write "_s + finalPath + u": "_s + systemError(error)};
    }
    // rename() replaces whatever is at the final name (a symbolic link
    // included) without following it.
    if (::rename(temporary.constData(), QFile::encodeName(finalPath).constData()) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        return {{}, u"cannot write "_s + finalPath + u": "_s + systemError(error)};
    }
    return {finalPath, {}};
}

} // namespace XrayConfigFile
