#pragma once

#include <QString>

#include <exception>

// A body that does not match its record. The description names the key path
// and what was wrong, e.g. `Missing key "isPremium"`.
class DecodeError : public std::exception
{
public:
    explicit DecodeError(QString description)
        : m_description(std::move(description))
        , m_utf8(m_description.toUtf8())
    {
    }
    const QString &description() const { return m_description; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_description;
    QByteArray m_utf8;
};
