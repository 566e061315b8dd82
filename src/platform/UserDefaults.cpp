#include "platform/UserDefaults.h"

#include "platform/Log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

#include <cmath>

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

// Moves an unreadable file aside so that the next write does not destroy it.
void keepAside(const QString &path, const QString &reason)
{
    const QString aside = path + u".unreadable-"_s
        + QDateTime::currentDateTimeUtc().toString(u"yyyyMMdd'T'HHmmss'Z'"_s);
    const bool moved = QFile::rename(path, aside);
    Log::system(u"⚠️ UserDefaults: Could not read "_s + path + u" ("_s + reason + u"); "_s
                + (moved ? u"kept it as "_s + aside : u"left it in place"_s));
}

} // namespace

UserDefaults::UserDefaults(QString filePath)
    : m_filePath(std::move(filePath))
{
    load();
}

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

void UserDefaults::load()
{
    QFile file(m_filePath);
    if (!file.exists())
        return;
    if (!file.open(QIODevice::ReadOnly)) {
        // Unreadable but present: keep the file and work from memory.
        Log::system(u"⚠️ UserDefaults: Could not open "_s + m_filePath + u": "_s + file.errorString());
        return;
    }
    const QByteArray bytes = file.readAll();
    file.close();

    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        keepAside(m_filePath, parseError.error != QJsonParseError::NoError ? parseError.errorString()
                                                                           : u"not a JSON object"_s);
        return;
    }
    const QJsonObject root = document.object();
    const QJsonValue values = root.value(u"values"_s);
    if (root.value(u"version"_s).toInt() != kFormatVersion || !values.isObject()) {
        keepAside(m_filePath, u"unknown format"_s);
        return;
    }
    QVariantMap loaded;
    const QJsonObject members = values.toObject();
    for (auto it = members.begin(); it != members.end(); ++it) {
        auto decoded = decode(it.value());
        if (!decoded) {
            keepAside(m_filePath, u"bad value for key "_s + it.key());
            return;
        }
        loaded.insert(it.key(), *decoded);
    }
    m_values = std::move(loaded);
}

void UserDefaults::reload()
{
    QMutexLocker lock(&m_mutex);
    load();
}

bool UserDefaults::writeLocked()
{
    QJsonObject values;
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it)
        values.insert(it.key(), *encode(it.value()));
    const QByteArray bytes = QJsonDocument(QJsonObject{{u"version"_s, kFormatVersion}, {u"values"_s, values}})
                                 .toJson(QJsonDocument::Indented);

    const QFileInfo info(m_filePath);
    QDir().mkpath(info.absolutePath());
    QFile::setPermissions(info.absolutePath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    QSaveFile file(m_filePath);
    bool ok = file.open(QIODevice::WriteOnly);
    // Restrict the temporary file before any byte is written to it; the rename
    // keeps these permissions.
    ok = ok && file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    ok = ok && file.write(bytes) == bytes.size();
    ok = ok && file.commit();
    if (!ok) {
        m_lastError = file.errorString();
        file.cancelWriting();
        if (!m_reportedWriteError) {
            m_reportedWriteError = true;
            Log::system(u"❌ UserDefaults: Failed to write "_s + m_filePath + u": "_s + m_lastError);
        }
        return false;
    }
    m_lastError.clear();
    m_reportedWriteError = false;
    return true;
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
    QMutexLocker lock(&m_mutex);
    // Store the value as a reload would give it back (e.g. int -> qint64,
    // QStringList -> list of texts), so reads do not depend on the history.
    m_values.insert(key, *decode(*encoded));
    return writeLocked();
}

bool UserDefaults::remove(const QString &key)
{
    QMutexLocker lock(&m_mutex);
    if (!m_values.remove(key))
        return true;
    return writeLocked();
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
