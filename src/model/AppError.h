#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

// The base of every error this application throws. Whoever catches one shows
// or logs its description; `what()` gives the same text in UTF-8.
class AppError : public std::exception
{
public:
    virtual QString description() const = 0;

    const char *what() const noexcept override
    {
        if (m_what.isEmpty())
            m_what = description().toUtf8();
        return m_what.constData();
    }

private:
    mutable QByteArray m_what;
};

// The description of any exception: an AppError's own text, else what() as UTF-8.
inline QString errorDescription(const std::exception &error)
{
    if (const auto *appError = dynamic_cast<const AppError *>(&error))
        return appError->description();
    return QString::fromUtf8(error.what());
}
