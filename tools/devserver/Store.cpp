#include "devserver/Store.h"

#include "devserver/Secrets.h"

#include <QFile>
#include <QSqlError>
#include <QSqlRecord>
#include <QUuid>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const int kSchemaVersion = 1;

// Addresses inside the VPN: 10.66.A.B with B from 2 to 251, so no account
// ever gets a network, broadcast or gateway address.
const int kHostsPerBlock = 250;

QVariant nullable(const std::optional<QString> &value)
{
    return value ? QVariant(*value) : QVariant();
}

QVariant nullable(const std::optional<qint64> &value)
{
    return value ? QVariant(*value) : QVariant();
}

std::optional<QString> optionalText(const QVariant &value)
{
    if (value.isNull())
        return std::nullopt;
    return value.toString();
}

} // namespace

// Transactions nest: only the outermost one talks to SQLite. An inner one
// that ends without commit() dooms the outer one.
Store::Transaction::Transaction(Store &store)
    : m_store(store)
{
    if (m_store.m_depth == 0) {
        if (!m_store.m_db.transaction())
            throw StoreFailure{u"cannot begin a transaction: "_s + m_store.m_db.lastError().text()};
        m_store.m_doomed = false;
    }
    ++m_store.m_depth;
}

Store::Transaction::~Transaction()
{
    if (!m_open)
        return;
    if (--m_store.m_depth == 0)
        m_store.m_db.rollback();
    else
        m_store.m_doomed = true;
}

void Store::Transaction::commit()
{
    m_open = false;
    if (--m_store.m_depth > 0)
        return;
    if (m_store.m_doomed) {
        m_store.m_db.rollback();
        throw StoreFailure{u"an inner step failed; nothing was written"_s};
    }
    if (!m_store.m_db.commit()) {
        const QString reason = m_store.m_db.lastError().text();
        m_store.m_db.rollback();
        throw StoreFailure{u"cannot commit: "_s + reason};
    }
}

Store::Store()
    : m_connection(u"devserver-"_s + QUuid::createUuid().toString(QUuid::WithoutBraces))
{
}

Store::~Store()
{
    if (m_db.isValid()) {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connection);
    }
}

void Store::open(const QString &path)
{
    // Create the file for its owner alone before SQLite sees it; SQLite gives
    // its journal files the same mode.
    const QByteArray nativePath = QFile::encodeName(path);
    const int fd = ::open(nativePath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        throw StoreFailure{u"cannot create the database "_s + path + u": "_s + QString::fromLocal8Bit(strerror(errno))};
    const bool modeSet = ::fchmod(fd, 0600) == 0;
    ::close(fd);
    if (!modeSet)
        throw StoreFailure{u"cannot make the database "_s + path + u" private"_s};

    m_db = QSqlDatabase::addDatabase(u"QSQLITE"_s, m_connection);
    m_db.setDatabaseName(path);
    m_db.setConnectOptions(u"QSQLITE_BUSY_TIMEOUT=5000"_s);
    if (!m_db.open())
        throw StoreFailure{u"cannot open the database "_s + path + u": "_s + m_db.lastError().text()};
    try {
        run(u"PRAGMA foreign_keys = ON"_s);
        migrate();
    } catch (const StoreFailure &failure) {
        throw StoreFailure{u"the database "_s + path + u" cannot be used: "_s + failure.message};
    }
}

QSqlQuery Store::run(const QString &sql, const QVariantList &values)
{
    QSqlQuery query(m_db);
    if (!query.prepare(sql))
        throw StoreFailure{u"cannot prepare \""_s + sql.simplified().left(60) + u"\": "_s + query.lastError().text()};
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec())
        throw StoreFailure{u"\""_s + sql.simplified().left(60) + u"\" failed: "_s + query.lastError().text()};
    return query;
}

void Store::migrate()
{
    QSqlQuery version = run(u"PRAGMA user_version"_s);
    const int current = version.next() ? version.value(0).toInt() : 0;
    if (current == kSchemaVersion)
        return;
    if (current > kSchemaVersion)
        throw StoreFailure{u"the database was written by a newer version (schema "_s + QString::number(current) + u')'};

    Transaction transaction(*this);
    run(uR"(CREATE TABLE users (
        id TEXT PRIMARY KEY,
        email TEXT NOT NULL UNIQUE,
        password_hash BLOB NOT NULL,
        password_salt BLOB NOT NULL,
        password_iterations INTEGER NOT NULL,
        email_verified INTEGER NOT NULL DEFAULT 0,
        display_name TEXT,
        created_at INTEGER NOT NULL,
        plan TEXT NOT NULL,
        plan_is_trial INTEGER NOT NULL,
        plan_expires_at INTEGER NOT NULL,
        auto_renew INTEGER NOT NULL DEFAULT 0,
        -- unused: failed sign-ins are counted in memory; kept so that
        -- existing databases open unchanged
        failed_logins INTEGER NOT NULL DEFAULT 0,
        locked_until INTEGER NOT NULL DEFAULT 0,
        eap_username TEXT NOT NULL UNIQUE,
        eap_password TEXT NOT NULL,
        vless_uuid TEXT NOT NULL UNIQUE,
        wireguard_private_key TEXT NOT NULL,
        wireguard_address TEXT NOT NULL UNIQUE))"_s);
    run(uR"(CREATE TABLE codes (
        user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
        purpose TEXT NOT NULL,
        code_hash BLOB NOT NULL,
        created_at INTEGER NOT NULL,
        expires_at INTEGER NOT NULL,
        attempts INTEGER NOT NULL DEFAULT 0,
        PRIMARY KEY (user_id, purpose)))"_s);
    run(uR"(CREATE TABLE access_tokens (
        token_hash BLOB PRIMARY KEY,
        user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
        family TEXT NOT NULL,
        expires_at INTEGER NOT NULL))"_s);
    run(uR"(CREATE TABLE refresh_tokens (
        token_hash BLOB PRIMARY KEY,
        user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
        family TEXT NOT NULL,
        created_at INTEGER NOT NULL,
        expires_at INTEGER NOT NULL,
        used_at INTEGER))"_s);
    run(u"CREATE INDEX access_tokens_family ON access_tokens(family)"_s);
    run(u"CREATE INDEX refresh_tokens_family ON refresh_tokens(family)"_s);
    run(u"CREATE INDEX refresh_tokens_user ON refresh_tokens(user_id)"_s);
    run(uR"(CREATE TABLE devices (
        id INTEGER PRIMARY KEY AUTOINCREMENT,
        user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
        device_id TEXT NOT NULL,
        nickname TEXT NOT NULL,
        platform TEXT,
        app_version TEXT,
        is_active INTEGER NOT NULL,
        last_seen_at INTEGER,
        created_at INTEGER NOT NULL,
        UNIQUE (user_id, device_id)))"_s);
    run(u"CREATE TABLE meta (key TEXT PRIMARY KEY, value INTEGER NOT NULL)"_s);
    run(u"INSERT INTO meta (key, value) VALUES ('next_address', 0)"_s);
    run(u"PRAGMA user_version = "_s + QString::number(kSchemaVersion));
    transaction.commit();
}

// --- accounts ----------------------------------------------------------------

namespace {
const QString kUserColumns =
    u"id, email, password_hash, password_salt, password_iterations, email_verified, display_name, created_at, "
    "plan, plan_is_trial, plan_expires_at, auto_renew, eap_username, eap_password, "
    "vless_uuid, wireguard_private_key, wireguard_address"_s;
}

Store::User Store::readUser(const QSqlQuery &query)
{
    User user;
    user.id = query.value(0).toString();
    user.email = query.value(1).toString();
    user.passwordHash = query.value(2).toByteArray();
    user.passwordSalt = query.value(3).toByteArray();
    user.passwordIterations = query.value(4).toInt();
    user.emailVerified = query.value(5).toBool();
    user.displayName = optionalText(query.value(6));
    user.createdAt = query.value(7).toLongLong();
    user.plan = query.value(8).toString();
    user.planIsTrial = query.value(9).toBool();
    user.planExpiresAt = query.value(10).toLongLong();
    user.autoRenew = query.value(11).toBool();
    user.eapUsername = query.value(12).toString();
    user.eapPassword = query.value(13).toString();
    user.vlessUuid = query.value(14).toString();
    user.wireguardPrivateKey = query.value(15).toString();
    user.wireguardAddress = query.value(16).toString();
    return user;
}

std::optional<Store::User> Store::userByEmail(const QString &email)
{
    QSqlQuery query = run(u"SELECT "_s + kUserColumns + u" FROM users WHERE email = ?"_s, {email});
    if (!query.next())
        return std::nullopt;
    return readUser(query);
}

std::optional<Store::User> Store::userById(const QString &id)
{
    QSqlQuery query = run(u"SELECT "_s + kUserColumns + u" FROM users WHERE id = ?"_s, {id});
    if (!query.next())
        return std::nullopt;
    return readUser(query);
}

Store::User Store::createUser(User user)
{
    Transaction transaction(*this);
    QSqlQuery next = run(u"SELECT value FROM meta WHERE key = 'next_address'"_s);
    const qint64 index = next.next() ? next.value(0).toLongLong() : 0;
    if (index >= 256 * kHostsPerBlock)
        throw StoreFailure{u"the VPN address pool is exhausted"_s};
    run(u"UPDATE meta SET value = ? WHERE key = 'next_address'"_s, {index + 1});

    user.id = Secrets::randomUuid();
    user.eapUsername = u"vpn-"_s + QString::fromLatin1(Secrets::randomBytes(6).toHex());
    user.eapPassword = Secrets::base64Url(Secrets::randomBytes(18));
    user.vlessUuid = Secrets::randomUuid();
    user.wireguardPrivateKey = Secrets::curve25519PrivateKey();
    user.wireguardAddress = u"10.66.%1.%2/32"_s.arg(index / kHostsPerBlock).arg(index % kHostsPerBlock + 2);

    run(u"INSERT INTO users ("_s + kUserColumns + u") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"_s,
        {user.id, user.email, user.passwordHash, user.passwordSalt, user.passwordIterations, user.emailVerified,
         nullable(user.displayName), user.createdAt, user.plan, user.planIsTrial, user.planExpiresAt, user.autoRenew,
         user.eapUsername, user.eapPassword, user.vlessUuid,
         user.wireguardPrivateKey, user.wireguardAddress});
    transaction.commit();
    return user;
}

void Store::setPassword(const QString &userId, const QByteArray &hash, const QByteArray &salt, int iterations)
{
    run(u"UPDATE users SET password_hash = ?, password_salt = ?, password_iterations = ?, failed_logins = 0, "
        "locked_until = 0 WHERE id = ?"_s,
        {hash, salt, iterations, userId});
}

void Store::setEmailVerified(const QString &userId)
{
    run(u"UPDATE users SET email_verified = 1 WHERE id = ?"_s, {userId});
}

void Store::setPlan(const QString &userId, const QString &plan, bool isTrial, qint64 expiresAt)
{
    run(u"UPDATE users SET plan = ?, plan_is_trial = ?, plan_expires_at = ? WHERE id = ?"_s,
        {plan, isTrial, expiresAt, userId});
}

// --- codes -------------------------------------------------------------------

std::optional<Store::Code> Store::code(const QString &userId, const QString &purpose)
{
    QSqlQuery query = run(u"SELECT code_hash, created_at, expires_at, attempts FROM codes "
                          "WHERE user_id = ? AND purpose = ?"_s,
                          {userId, purpose});
    if (!query.next())
        return std::nullopt;
    return Code{query.value(0).toByteArray(), query.value(1).toLongLong(), query.value(2).toLongLong(),
                query.value(3).toInt()};
}

void Store::putCode(const QString &userId, const QString &purpose, const Code &code)
{
    run(u"INSERT OR REPLACE INTO codes (user_id, purpose, code_hash, created_at, expires_at, attempts) "
        "VALUES (?, ?, ?, ?, ?, ?)"_s,
        {userId, purpose, code.hash, code.createdAt, code.expiresAt, code.attempts});
}

void Store::setCodeAttempts(const QString &userId, const QString &purpose, int attempts)
{
    run(u"UPDATE codes SET attempts = ? WHERE user_id = ? AND purpose = ?"_s, {attempts, userId, purpose});
}

void Store::deleteCode(const QString &userId, const QString &purpose)
{
    run(u"DELETE FROM codes WHERE user_id = ? AND purpose = ?"_s, {userId, purpose});
}

// --- tokens ------------------------------------------------------------------

void Store::addAccessToken(const QByteArray &hash, const QString &userId, const QString &family, qint64 expiresAt)
{
    run(u"INSERT INTO access_tokens (token_hash, user_id, family, expires_at) VALUES (?, ?, ?, ?)"_s,
        {hash, userId, family, expiresAt});
}

std::optional<QString> Store::userForAccessToken(const QByteArray &hash, qint64 now)
{
    QSqlQuery query = run(u"SELECT user_id FROM access_tokens WHERE token_hash = ? AND expires_at > ?"_s, {hash, now});
    if (!query.next())
        return std::nullopt;
    return query.value(0).toString();
}

void Store::addRefreshToken(const QByteArray &hash, const QString &userId, const QString &family, qint64 createdAt,
                            qint64 expiresAt)
{
    run(u"INSERT INTO refresh_tokens (token_hash, user_id, family, created_at, expires_at) VALUES (?, ?, ?, ?, ?)"_s,
        {hash, userId, family, createdAt, expiresAt});
}

std::optional<Store::RefreshToken> Store::refreshToken(const QByteArray &hash)
{
    QSqlQuery query = run(u"SELECT user_id, family, expires_at, used_at FROM refresh_tokens WHERE token_hash = ?"_s,
                          {hash});
    if (!query.next())
        return std::nullopt;
    return RefreshToken{query.value(0).toString(), query.value(1).toString(), query.value(2).toLongLong(),
                        !query.value(3).isNull()};
}

bool Store::markRefreshTokenUsed(const QByteArray &hash, qint64 now)
{
    QSqlQuery query = run(u"UPDATE refresh_tokens SET used_at = ? WHERE token_hash = ? AND used_at IS NULL"_s,
                          {now, hash});
    return query.numRowsAffected() == 1;
}

void Store::revokeFamily(const QString &family)
{
    run(u"DELETE FROM refresh_tokens WHERE family = ?"_s, {family});
    run(u"DELETE FROM access_tokens WHERE family = ?"_s, {family});
}

void Store::revokeAllTokens(const QString &userId)
{
    run(u"DELETE FROM refresh_tokens WHERE user_id = ?"_s, {userId});
    run(u"DELETE FROM access_tokens WHERE user_id = ?"_s, {userId});
}

void Store::purgeExpired(qint64 now)
{
    const qint64 day = 24 * 3600 * 1000LL;
    run(u"DELETE FROM access_tokens WHERE expires_at <= ?"_s, {now});
    run(u"DELETE FROM refresh_tokens WHERE expires_at <= ?"_s, {now});
    run(u"DELETE FROM codes WHERE expires_at <= ?"_s, {now - day});
}

// --- devices -----------------------------------------------------------------

namespace {
const QString kDeviceColumns =
    u"id, device_id, nickname, platform, app_version, is_active, last_seen_at, created_at"_s;

Store::Device readDevice(const QSqlQuery &query)
{
    Store::Device device;
    device.id = query.value(0).toLongLong();
    device.deviceId = query.value(1).toString();
    device.nickname = query.value(2).toString();
    device.platform = optionalText(query.value(3));
    device.appVersion = optionalText(query.value(4));
    device.active = query.value(5).toBool();
    if (!query.value(6).isNull())
        device.lastSeenAt = query.value(6).toLongLong();
    device.createdAt = query.value(7).toLongLong();
    return device;
}
} // namespace

std::optional<Store::Device> Store::device(const QString &userId, const QString &deviceId)
{
    QSqlQuery query = run(u"SELECT "_s + kDeviceColumns + u" FROM devices WHERE user_id = ? AND device_id = ?"_s,
                          {userId, deviceId});
    if (!query.next())
        return std::nullopt;
    return readDevice(query);
}

QList<Store::Device> Store::devices(const QString &userId)
{
    QSqlQuery query = run(u"SELECT "_s + kDeviceColumns + u" FROM devices WHERE user_id = ? ORDER BY id"_s, {userId});
    QList<Device> list;
    while (query.next())
        list.append(readDevice(query));
    return list;
}

int Store::activeDeviceCount(const QString &userId)
{
    QSqlQuery query = run(u"SELECT COUNT(*) FROM devices WHERE user_id = ? AND is_active = 1"_s, {userId});
    return query.next() ? query.value(0).toInt() : 0;
}

void Store::addDevice(const QString &userId, const Device &device)
{
    run(u"INSERT INTO devices (user_id, device_id, nickname, platform, app_version, is_active, last_seen_at, "
        "created_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"_s,
        {userId, device.deviceId, device.nickname, nullable(device.platform), nullable(device.appVersion),
         device.active, nullable(device.lastSeenAt), device.createdAt});
}

void Store::updateDevice(const QString &userId, const Device &device)
{
    run(u"UPDATE devices SET nickname = ?, platform = ?, app_version = ?, is_active = ?, last_seen_at = ? "
        "WHERE user_id = ? AND device_id = ?"_s,
        {device.nickname, nullable(device.platform), nullable(device.appVersion), device.active,
         nullable(device.lastSeenAt), userId, device.deviceId});
}
