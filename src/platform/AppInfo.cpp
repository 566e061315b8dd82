#include "platform/AppInfo.h"

#include <QMutex>

using namespace Qt::StringLiterals;

namespace {
QMutex s_mutex;
std::optional<AppInfo> s_current;

std::optional<QString> nonEmpty(const char *text)
{
    const QString value = QString::fromUtf8(text);
    if (value.isEmpty())
        return std::nullopt;
    return value;
}
} // namespace

AppInfo::AppInfo(std::optional<QString> shortVersion, std::optional<QString> buildNumber)
    : m_shortVersion(std::move(shortVersion))
    , m_buildNumber(std::move(buildNumber))
{
}

AppInfo AppInfo::fromBuild()
{
    return AppInfo(nonEmpty(VELORIN_SHORT_VERSION), nonEmpty(VELORIN_BUILD_NUMBER));
}

AppInfo AppInfo::current()
{
    QMutexLocker lock(&s_mutex);
    if (!s_current)
        s_current = fromBuild();
    return *s_current;
}

void AppInfo::setCurrent(const AppInfo &info)
{
    QMutexLocker lock(&s_mutex);
    s_current = info;
}

QString AppInfo::shortVersion() const
{
    return m_shortVersion.value_or(u"1.0"_s);
}

QString AppInfo::buildNumber() const
{
    return m_buildNumber.value_or(u"1"_s);
}
