#pragma once

#include <QHash>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

// A typed key-value store kept as one JSON document per domain.
//
// Values keep their type across a restart: bool, integer (qint64), float
// (double), text, bytes, list (of any of these, mixed) and map. Every change
// is written at once, atomically, to a file only the user can read, because the
// token store keeps sign-in tokens here. A file that cannot be parsed is renamed
// aside and reported once, never silently overwritten.
//
// Safe to use from any thread.
class UserDefaults
{
public:
    explicit UserDefaults(QString filePath);
    UserDefaults(const UserDefaults &) = delete;
    UserDefaults &operator=(const UserDefaults &) = delete;

    // The application's standard domain.
    static UserDefaults &standard();
    // The application-group suite shared with companion processes.
    static UserDefaults &appGroup();
    static inline const QString appGroupSuiteName = QStringLiteral("group.com.velorin.vpn.mac");
    static inline const QString standardDomainName = QStringLiteral("com.velorin.vpn.mac");

    // Folder of the two domain files: $VELORIN_CONFIG_DIR when set, else
    // "velorin" in the user's configuration folder.
    static QString defaultDirectory();

    QString filePath() const { return m_filePath; }

    bool contains(const QString &key) const;
    // The stored value, or an invalid QVariant when the key is absent.
    QVariant value(const QString &key) const;
    // Stores bool, any integer type, float/double, QString, QByteArray,
    // QStringList, QVariantList and QVariantMap. Other types are refused
    // (false). Returns false as well when the file could not be written; the
    // value is then kept in memory only.
    bool set(const QString &key, const QVariant &value);
    bool remove(const QString &key);

    // Typed reads; each gives nothing when the key is absent or holds another type.
    std::optional<bool> boolValue(const QString &key) const;
    std::optional<qint64> integer(const QString &key) const;
    std::optional<double> number(const QString &key) const;
    std::optional<QString> string(const QString &key) const;
    std::optional<QByteArray> data(const QString &key) const;
    std::optional<QVariantList> list(const QString &key) const;
    // A list whose elements are all texts; nothing when any element is not.
    std::optional<QStringList> stringList(const QString &key) const;

    // bool(forKey:) semantics: false when absent or not a bool.
    bool boolOr(const QString &key, bool fallback) const { return boolValue(key).value_or(fallback); }

    // Re-reads the file (for another process's changes). Keeps the current
    // values if the file is missing or unreadable.
    void reload();
    // The last write error, empty after a successful write.
    QString lastError() const;

private:
    void load();
    bool writeLocked();

    const QString m_filePath;
    mutable QMutex m_mutex;
    QVariantMap m_values;
    QString m_lastError;
    bool m_reportedWriteError = false;
};
