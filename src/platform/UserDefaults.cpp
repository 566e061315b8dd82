#include "platform/UserDefaults.h"

#include "platform/FileLock.h"
#include "platform/Log.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>

#include <cmath>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int kFormatVersion = 1;

// Each value is stored as a one-member object naming its type, so a reload
// gives back exactly the type that was stored.
std::optional<QJsonValue> encode(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return QJsonObject{{u"bool"_s, value.toBool()}};
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
        // Integers travel as text so that 64-bit values survive the JSON number type.
        return QJsonObject{{u"int"_s, QString::number(value.toLongLong())}};
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        return QJsonObject{{u"int"_s, QString::number(value.toULongLong())}};
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = value.toDouble();
        if (!std::isfinite(d))
            return std::nullopt;
        return QJsonObject{{u"float"_s, d}};
    }
    case QMetaType::QString:
        return QJsonObject{{u"string"_s, value.toString()}};
    case QMetaType::QByteArray:
        return QJsonObject{{u"data"_s, QString::fromLatin1(value.toByteArray().toBase64())}};
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        QJsonArray items;
        for (const QVariant &item : value.toList()) {
            auto encoded = encode(item);
            if (!encoded)
                return std::nullopt;
            items.append(*encoded);
        }
        return QJsonObject{{u"list"_s, items}};
    }
    case QMetaType::QVariantMap: {
        QJsonObject members;
        const QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it) {
            auto encoded = encode(it.value());
            if (!encoded)
                return std::nullopt;
            members.insert(it.key(), *encoded);
        }
        return QJsonObject{{u"map"_s, members}};
    }
    default:
        return std::nullopt;
    }
}

std::optional<QVariant> decode(const QJsonValue &json)
{
    if (!json.isObject() || json.toObject().size() != 1)
        return std::nullopt;
    const QJsonObject object = json.toObject();
    const QString type = object.begin().key();
    const QJsonValue v = object.begin().value();
    if (type == u"bool" && v.isBool())
        return QVariant(v.toBool());
    if (type == u"int" && v.isString()) {
        bool ok = false;
        const qlonglong n = v.toString().toLongLong(&ok);
        if (ok)
            return QVariant(n);
        const qulonglong u = v.toString().toULongLong(&ok);
        if (ok)
            return QVariant(u);
        return std::nullopt;
    }
    if (type == u"float" && v.isDouble())
        return QVariant(v.toDouble());
    if (type == u"string" && v.isString())
        return QVariant(v.toString());
    if (type == u"data" && v.isString()) {
        auto result = QByteArray::fromBase64Encoding(v.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!result)
            return std::nullopt;
        return QVariant(*result);
    }
    if (type == u"list" && v.isArray()) {
        QVariantList items;
        for (const QJsonValue &item : v.toArray()) {
            auto decoded = decode(item);
            if (!decoded)
                return std::nullopt;
            items.append(*decoded);
        }
        return QVariant(items);
    }
    if (type == u"map" && v.isObject()) {
        QVariantMap map;
        const QJsonObject members = v.toObject();
        for (auto it = members.begin(); it != members.end(); ++it) {
            auto decoded = decode(it.value());
            if (!decoded)
                return std::nullopt;
            map.insert(it.key(), *decoded);
        }
        return QVariant(map);
    }
    return std::nullopt;
}

struct Document
{
    enum class Kind { Missing, Values, Unparsable, Unreadable };
    Kind kind = Kind::Missing;
    QVariantMap values;
    // Why the file could not be used.
    QString problem;
};

Document readDocument(const QString &path)
{
    QFile file(path);
    if (!file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly))
        return {Document::Kind::Unreadable, {}, file.errorString()};
    // Sized first: reading "up to the limit" would allocate the whole limit
    // for every read of a small file.
    const QString tooLarge = u"larger than %1 bytes"_s.arg(UserDefaults::maxFileBytes);
    if (file.size() > UserDefaults::maxFileBytes)
        return {Document::Kind::Unparsable, {}, tooLarge};
    const QByteArray bytes = file.readAll();
    if (bytes.size() > UserDefaults::maxFileBytes)
        return {Document::Kind::Unparsable, {}, tooLarge};

    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return {Document::Kind::Unparsable, {}, parseError.errorString()};
    if (!document.isObject())
        return {Document::Kind::Unparsable, {}, u"not a JSON object"_s};
    const QJsonObject root = document.object();
    const QJsonValue values = root.value(u"values"_s);
    if (root.value(u"version"_s).toInt() != kFormatVersion || !values.isObject())
        return {Document::Kind::Unparsable, {}, u"unknown format"_s};
    Document result{Document::Kind::Values, {}, {}};
    const QJsonObject members = values.toObject();
    for (auto it = members.begin(); it != members.end(); ++it) {
        auto decoded = decode(it.value());
        if (!decoded)
            return {Document::Kind::Unparsable, {}, u"bad value for key "_s + it.key()};
        result.values.insert(it.key(), *decoded);
    }
    return result;
}

QByteArray serialise(const QVariantMap &values)
{
    QJsonObject members;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        members.insert(it.key(), *encode(it.value()));
    return QJsonDocument(QJsonObject{{u"version"_s, kFormatVersion}, {u"values"_s, members}})
        .toJson(QJsonDocument::Indented);
}

// Moves an unreadable file aside, under a name no earlier copy has, so that
// the next write does not destroy it. False when it could not be moved.
bool keepAside(const QString &path, const QString &reason)
{
    const QString stem = path + u".unreadable-"_s
        + QDateTime::currentDateTimeUtc().toString(u"yyyyMMdd'T'HHmmss'Z'"_s);
    QString aside = stem;
    for (int n = 2; QFileInfo::exists(aside) && n < 100; ++n)
        aside = stem + u'-' + QString::number(n);
    const bool moved = !QFileInfo::exists(aside) && QFile::rename(path, aside);
    Log::system(u"⚠️ UserDefaults: Could not read "_s + path + u" ("_s + reason + u"); "_s
                + (moved ? u"kept it as "_s + aside : u"left it in place"_s));
    return moved;
}

constexpr auto kOwnerOnlyFolder = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
// Other writers hold the lock for a read and a rename; a holder that keeps
// it longer is stuck (a stopped process) and the write fails.
constexpr std::chrono::milliseconds kLockWait(5000);

} // namespace

UserDefaults::UserDefaults(QString filePath, QObject *parent)
    : QObject(parent)
    , m_filePath(std::move(filePath))
{
    load();
    watch();
}

UserDefaults::~UserDefaults() = default;

QString UserDefaults::defaultDirectory()
{
    const QString overridden = qEnvironmentVariable("VELORIN_CONFIG_DIR");
    if (!overridden.isEmpty())
        return overridden;
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/velorin"_s;
}

UserDefaults &UserDefaults::standard()
{
    static UserDefaults instance(defaultDirectory() + u'/' + standardDomainName + u".json"_s);
    return instance;
}

UserDefaults &UserDefaults::appGroup()
{
    static UserDefaults instance(defaultDirectory() + u'/' + appGroupSuiteName + u".json"_s);
    return instance;
}

std::optional<UserDefaults::Stamp> UserDefaults::stampOf(const QString &path)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    return Stamp{quint64(info.st_dev), quint64(info.st_ino),
                 qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec, qint64(info.st_size)};
}

void UserDefaults::load()
{
    const Document document = readDocument(m_filePath);
    switch (document.kind) {
    case Document::Kind::Values:
        m_values = document.values;
        break;
    case Document::Kind::Missing:
        break;
    case Document::Kind::Unparsable:
        keepAside(m_filePath, document.problem);
        break;
    case Document::Kind::Unreadable:
        // Present but not ours to read: keep it and work from memory.
        Log::system(u"⚠️ UserDefaults: Could not open "_s + m_filePath + u": "_s + document.problem);
        break;
    }
    m_stamp = stampOf(m_filePath);
}

QStringList UserDefaults::adopt(QVariantMap values)
{
    // Our own changes that have not reached the file yet stay as they are.
    for (const QString &key : std::as_const(m_unsaved)) {
        if (m_values.contains(key))
            values.insert(key, m_values.value(key));
        else
            values.remove(key);
    }
    QStringList changed;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        if (!m_values.contains(it.key()) || m_values.value(it.key()) != it.value())
            changed.append(it.key());
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it)
        if (!values.contains(it.key()))
            changed.append(it.key());
    m_values = std::move(values);
    return changed;
}

QStringList UserDefaults::reloadLocked()
{
    const std::optional<Stamp> stamp = stampOf(m_filePath);
    const Document document = readDocument(m_filePath);
    m_stamp = stamp;
    switch (document.kind) {
    case Document::Kind::Values:
        return adopt(document.values);
    case Document::Kind::Missing:
        return adopt({});
    case Document::Kind::Unparsable:
    case Document::Kind::Unreadable:
        // Perhaps half-way through a hand edit: keep what we have, say so
        // once per version of the file, and let the next write deal with it.
        if (m_reportedUnreadable != stamp) {
            m_reportedUnreadable = stamp;
            Log::system(u"⚠️ UserDefaults: Could not read "_s + m_filePath + u" ("_s + document.problem
                        + u"); keeping the values in memory"_s);
        }
        return {};
    }
    return {};
}

void UserDefaults::reload()
{
    QStringList changed;
    {
        QMutexLocker lock(&m_mutex);
        changed = reloadLocked();
    }
    if (!changed.isEmpty())
        emit changedElsewhere(changed);
}

void UserDefaults::watch()
{
    // The watch lives on the application's thread (the app's and the command
    // line's main thread), one for the whole process: each inotify instance
    // counts against a small per-user limit, past which Qt falls back to
    // polling.
    QCoreApplication *application = QCoreApplication::instance();
    if (!application || QThread::currentThread() != application->thread())
        return;
    static QPointer<QFileSystemWatcher> shared;
    if (!shared)
        shared = new QFileSystemWatcher(application);
    m_watcher = shared;

    const QString folder = QFileInfo(m_filePath).absolutePath();
    if (!QFileInfo::exists(folder)) {
        if (!QDir().mkpath(folder))
            return;
        QFile::setPermissions(folder, kOwnerOnlyFolder);
    }
    // A write renames a new file over the old one: the folder sees that. The
    // file itself is watched too, for edits made in place.
    if (!m_watcher->directories().contains(folder))
        m_watcher->addPath(folder);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, [this, folder](const QString &changed) {
        if (changed == folder)
            checkForChanges();
    });
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, [this](const QString &changed) {
        if (changed == m_filePath)
            checkForChanges();
    });
    checkForChanges();
}

void UserDefaults::checkForChanges()
{
    if (m_watcher && QFileInfo::exists(m_filePath) && !m_watcher->files().contains(m_filePath))
        m_watcher->addPath(m_filePath);
    QStringList changed;
    {
        QMutexLocker lock(&m_mutex);
        // Our own writes, and changes to other files in the folder, leave
        // the file as we last saw it.
        if (stampOf(m_filePath) == m_stamp)
            return;
        changed = reloadLocked();
    }
    if (!changed.isEmpty())
        emit changedElsewhere(changed);
}

bool UserDefaults::failWrite(const QString &error)
{
    m_lastError = error;
    if (!m_reportedWriteError) {
        m_reportedWriteError = true;
        Log::system(u"❌ UserDefaults: Failed to write "_s + m_filePath + u": "_s + m_lastError);
    }
    return false;
}

bool UserDefaults::writeLocked(const QString &key, const std::optional<QVariant> &value, QStringList *changed)
{
    // The change holds in memory at once, and counts as unsaved until a
    // write reaches the file (a later write then carries it along).
    if (value)
        m_values.insert(key, *value);
    else
        m_values.remove(key);
    m_unsaved.insert(key);

    const QFileInfo info(m_filePath);
    QDir().mkpath(info.absolutePath());
    QFile::setPermissions(info.absolutePath(), kOwnerOnlyFolder);

    FileLock fileLock(m_filePath + u".lock"_s);
    if (!fileLock.lock(kLockWait))
        return failWrite(fileLock.errorString());

    // Start from the file as it is now, so that other processes' keys stay.
    Document document = readDocument(m_filePath);
    switch (document.kind) {
    case Document::Kind::Values:
        break;
    case Document::Kind::Missing:
        document.values.clear();
        break;
    case Document::Kind::Unreadable:
        return failWrite(u"cannot read the stored settings: "_s + document.problem);
    case Document::Kind::Unparsable:
        if (!keepAside(m_filePath, document.problem))
            return failWrite(u"cannot move the unreadable settings file aside"_s);
        // What this process last read stands in for the lost document.
        document.values = m_values;
        break;
    }
    *changed = adopt(document.values);

    if (document.kind == Document::Kind::Values && m_values == document.values) {
        m_unsaved.clear();
        m_stamp = stampOf(m_filePath);
        return true;
    }

    const QByteArray bytes = serialise(m_values);
    QSaveFile file(m_filePath);
    bool ok = file.open(QIODevice::WriteOnly);
    // Restrict the temporary file before any byte is written to it; the rename
    // keeps these permissions.
    ok = ok && file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    ok = ok && file.write(bytes) == bytes.size();
    ok = ok && file.commit();
    if (!ok) {
        const QString error = file.errorString();
        file.cancelWriting();
        return failWrite(error);
    }
    m_unsaved.clear();
    m_stamp = stampOf(m_filePath);
    m_lastError.clear();
    m_reportedWriteError = false;
    return true;
}

bool UserDefaults::update(const QString &key, const std::optional<QVariant> &value)
{
    QStringList changed;
    bool written = false;
    {
        QMutexLocker lock(&m_mutex);
        written = writeLocked(key, value, &changed);
    }
    if (!changed.isEmpty())
        emit changedElsewhere(changed);
    return written;
}

bool UserDefaults::contains(const QString &key) const
{
    QMutexLocker lock(&m_mutex);
    return m_values.contains(key);
}

QVariant UserDefaults::value(const QString &key) const
{
    QMutexLocker lock(&m_mutex);
    return m_values.value(key);
}

bool UserDefaults::set(const QString &key, const QVariant &value)
{
    auto encoded = encode(value);
    if (!encoded)
        return false;
    // Store the value as a reload would give it back (e.g. int -> qint64,
    // QStringList -> list of texts), so reads do not depend on the history.
    return update(key, *decode(*encoded));
}

bool UserDefaults::remove(const QString &key)
{
    return update(key, std::nullopt);
}

QString UserDefaults::lastError() const
{
    QMutexLocker lock(&m_mutex);
    return m_lastError;
}

std::optional<bool> UserDefaults::boolValue(const QString &key) const
{
    const QVariant v = value(key);
    if (v.typeId() != QMetaType::Bool)
        return std::nullopt;
    return v.toBool();
}

std::optional<qint64> UserDefaults::integer(const QString &key) const
{
    const QVariant v = value(key);
    if (v.typeId() != QMetaType::LongLong)
        return std::nullopt;
    return v.toLongLong();
}

std::optional<double> UserDefaults::number(const QString &key) const
{
    const QVariant v = value(key);
    if (v.typeId() == QMetaType::Double)
        return v.toDouble();
    if (v.typeId() == QMetaType::LongLong)
        return double(v.toLongLong());
    return std::nullopt;
}

std::optional<QString> UserDefaults::string(const QString &key) const
{
    const QVariant v = value(key);
    if (v.typeId() != QMetaType::QString)
        return std::nullopt;
    return v.toString();
}

std::optional<QByteArray> UserDefaults::data(const QString &key) const
{
    const QVariant v = value(key);
    if (v.typeId() != QMetaType::QByteArray)
        return std::nullopt;
    return v.toByteArray();
}

std::optional<QVariantList> UserDefaults::list(const QString &key) const
{
    const QVariant v = value(key);
    if (v.typeId() != QMetaType::QVariantList)
        return std::nullopt;
    return v.toList();
}

std::optional<QStringList> UserDefaults::stringList(const QString &key) const
{
    auto items = list(key);
    if (!items)
        return std::nullopt;
    QStringList texts;
    for (const QVariant &item : *items) {
        if (item.typeId() != QMetaType::QString)
            return std::nullopt;
        texts.append(item.toString());
    }
    return texts;
}
