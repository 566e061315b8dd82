#pragma once

#include <QByteArray>
#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

#include <optional>

// A failed database operation. The message names the operation and SQLite's
// reason; it never holds a value that was bound to the statement.
struct StoreFailure
{
    QString message;
};

// Everything the development backend keeps, in one SQLite database. Times are
// milliseconds since the epoch (UTC). Tokens and codes are stored only as
// SHA-256 hashes, passwords only as PBKDF2 hashes. All calls run on the
// thread that opened the store and throw StoreFailure when SQLite fails.
class Store
{
public:
    struct User
    {
        QString id;
        QString email;
        QByteArray passwordHash;
        QByteArray passwordSalt;
        int passwordIterations = 0;
        bool emailVerified = false;
        std::optional<QString> displayName;
        qint64 createdAt = 0;
        QString plan;
        bool planIsTrial = false;
        qint64 planExpiresAt = 0;
        bool autoRenew = false;
        // Per-user VPN credentials, made once when the account is created.
        QString eapUsername;
        QString eapPassword;
        QString vlessUuid;
        QString wireguardPrivateKey;
        QString wireguardAddress;
    };

    struct Code
    {
        QByteArray hash;
        qint64 createdAt = 0;
        qint64 expiresAt = 0;
        int attempts = 0;
    };

    struct RefreshToken
    {
        QString userId;
        QString family;
        qint64 expiresAt = 0;
        bool used = false;
    };

    struct Device
    {
        qint64 id = 0;
        QString deviceId;
        QString nickname;
        std::optional<QString> platform;
        std::optional<QString> appVersion;
        bool active = false;
        std::optional<qint64> lastSeenAt;
        qint64 createdAt = 0;
    };

    // Commits on commit(); rolls back when it goes out of scope first.
    class Transaction
    {
    public:
        explicit Transaction(Store &store);
        ~Transaction();
        void commit();
        Transaction(const Transaction &) = delete;
        Transaction &operator=(const Transaction &) = delete;

    private:
        Store &m_store;
        bool m_open = true;
    };

    Store();
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // Opens (creating when missing) the database file, readable by the owner
    // only, and brings its tables up to date.
    void open(const QString &path);

    // Accounts
    std::optional<User> userByEmail(const QString &email);
    std::optional<User> userById(const QString &id);
    // Inserts a new account; fills in its id, its VPN address and the
    // per-user credentials. Returns the stored record.
    User createUser(User user);
    void setPassword(const QString &userId, const QByteArray &hash, const QByteArray &salt, int iterations);
    void setEmailVerified(const QString &userId);
    void setPlan(const QString &userId, const QString &plan, bool isTrial, qint64 expiresAt);

    // One-time codes, one per account and purpose ("verify", "reset").
    std::optional<Code> code(const QString &userId, const QString &purpose);
    void putCode(const QString &userId, const QString &purpose, const Code &code);
    void setCodeAttempts(const QString &userId, const QString &purpose, int attempts);
    void deleteCode(const QString &userId, const QString &purpose);

    // Tokens. A family is the chain of refresh tokens that grew out of one
    // sign-in, together with the access tokens issued alongside them.
    void addAccessToken(const QByteArray &hash, const QString &userId, const QString &family, qint64 expiresAt);
    std::optional<QString> userForAccessToken(const QByteArray &hash, qint64 now);
    void addRefreshToken(const QByteArray &hash, const QString &userId, const QString &family, qint64 createdAt,
                         qint64 expiresAt);
    std::optional<RefreshToken> refreshToken(const QByteArray &hash);
    // Marks an unused refresh token as used; false when it was used already.
    bool markRefreshTokenUsed(const QByteArray &hash, qint64 now);
    void revokeFamily(const QString &family);
    void revokeAllTokens(const QString &userId);
    // Removes expired tokens and codes that have been dead for a day.
    void purgeExpired(qint64 now);

    // Devices
    std::optional<Device> device(const QString &userId, const QString &deviceId);
    QList<Device> devices(const QString &userId);
    int activeDeviceCount(const QString &userId);
    void addDevice(const QString &userId, const Device &device);
    void updateDevice(const QString &userId, const Device &device);

private:
    QSqlQuery run(const QString &sql, const QVariantList &values = {});
    void migrate();
    static User readUser(const QSqlQuery &query);

    QString m_connection;
    QSqlDatabase m_db;
    int m_depth = 0;
    bool m_doomed = false;
};
