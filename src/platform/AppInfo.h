#pragma once

#include <QString>

#include <optional>

// The application's version strings. The values come from the build; either
// may be absent, in which case the fallbacks "1.0" and "1" are shown.
class AppInfo
{
public:
    AppInfo(std::optional<QString> shortVersion, std::optional<QString> buildNumber);

    // The build's values, unless replaced with setCurrent.
    static AppInfo current();
    static void setCurrent(const AppInfo &info);
    static AppInfo fromBuild();

    QString shortVersion() const;
    QString buildNumber() const;

private:
    std::optional<QString> m_shortVersion;
    std::optional<QString> m_buildNumber;
};
