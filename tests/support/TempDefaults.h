#pragma once

#include "platform/UserDefaults.h"

#include <QtTest>

#include <memory>

// Throw-away settings in both domains; `restart()` reads the same files
// afresh, as a new process would.
class TempDefaults
{
public:
    TempDefaults() { restart(); }

    UserDefaults &standard() { return *m_standard; }
    UserDefaults &appGroup() { return *m_appGroup; }
    QString dir() const { return m_dir.path(); }
    QString standardPath() const { return m_dir.filePath(QStringLiteral("standard.json")); }
    QString appGroupPath() const { return m_dir.filePath(QStringLiteral("group.json")); }

    void restart()
    {
        m_standard = std::make_unique<UserDefaults>(standardPath());
        m_appGroup = std::make_unique<UserDefaults>(appGroupPath());
    }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<UserDefaults> m_standard;
    std::unique_ptr<UserDefaults> m_appGroup;
};
