#pragma once

#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

class QFileSystemWatcher;

// A typed key-value store kept as one JSON document per domain.
//
// Values keep their type across a restart: bool, integer (qint64), float
// (double), text, bytes, list (of any of these, mixed) and map. Every change
// is written at once, atomically, to a file only the user can read, because the
// token store keeps sign-in tokens here.
//
// Several processes share the file (the app and the command line). A write
// takes an advisory lock (the sibling file "<file>.lock"), re-reads the
// document, changes only its own key and renames a new document into place,
// so no process undoes another's keys. Each instance created on a thread with
// an event loop watches the folder and publishes what others changed
// (changedElsewhere). A file that cannot be parsed is renamed aside with a
// timestamp and reported, never overwritten; one found unreadable while it is
// being edited by hand is left alone until the next write.
//
// Safe to use from any thread.
class UserDefaults : public QObject
{
    Q_OBJECT
public:
    explicit UserDefaults(QString filePath, QObject *parent = nullptr);
    ~UserDefaults() override;
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
    // (false). Returns false as well when the file could not be written
    // (lastError() says why); the value is then kept in memory only.
    bool set(const QString &key, const QVariant &value);
    // Removes the key; false when the file could not be written.
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

    // Re-reads the file now (the folder watch does this by itself on a
    // thread with an event loop) and publishes the keys that changed. A
    // missing file reads as empty; an unreadable one keeps the current values.
    void reload();
    // The last write error, empty after a successful write.
    QString lastError() const;

    // Largest document read; a bigger file counts as unreadable.
    static constexpr qint64 maxFileBytes = 1024 * 1024;

signals:
    // Keys another process (or another instance, or a hand edit) added,
    // changed or removed, as this instance found out. Emitted on the thread
    // that noticed, outside the store's lock.
    void changedElsewhere(const QStringList &keys);

private:
    struct Stamp
    {
        quint64 device = 0;
        quint64 inode = 0;
        qint64 modifiedNs = 0;
        qint64 size = 0;
        bool operator==(const Stamp &) const = default;
    };
    static std::optional<Stamp> stampOf(const QString &path);

    void load();
    QStringList reloadLocked();
    bool update(const QString &key, const std::optional<QVariant> &value);
    bool writeLocked(const QString &key, const std::optional<QVariant> &value, QStringList *changed);
    bool failWrite(const QString &error);
    QStringList adopt(QVariantMap values);
    void watch();
    void checkForChanges();

    const QString m_filePath;
    mutable QMutex m_mutex;
    QVariantMap m_values;
    // Keys changed here whose write failed; they keep their value here and
    // go out with the next write.
    QSet<QString> m_unsaved;
    // The file as last read or written, so that the watch can skip our own writes.
    std::optional<Stamp> m_stamp;
    // The file version already reported as unreadable while watching.
    std::optional<Stamp> m_reportedUnreadable;
    QString m_lastError;
    bool m_reportedWriteError = false;
    // The process's folder watch; null off the application's thread.
    QPointer<QFileSystemWatcher> m_watcher;
};
