#pragma once

#include "model/AppError.h"

#include <QString>

// A body that does not match its record. The description names the key path
// and what was wrong, e.g. `Missing key "isPremium"`.
class DecodeError : public AppError
{
public:
    explicit DecodeError(QString description)
        : m_description(std::move(description))
    {
    }
    QString description() const override { return m_description; }

private:
    QString m_description;
};
