#include "ui/account/DateText.h"

#include "model/InternetDateTime.h"

#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace DateText {

QString mediumDateFormat(const QLocale &locale)
{
    QString format = locale.dateFormat(QLocale::LongFormat);
    // Drop the weekday together with the separator that joins it to the rest
    // ("dddd, " before, ", dddd" or " dddd" after).
    static const QRegularExpression weekday(uR"(\s*dddd[,.]?\s*|[,.]?\s*dddd)"_s);
    format.replace(weekday, u" "_s);
    format = format.trimmed();
    if (!format.contains(u"MMMMM"_s))
        format.replace(u"MMMM"_s, u"MMM"_s);
    return format.isEmpty() ? locale.dateFormat(QLocale::ShortFormat) : format;
}

QString mediumDate(const QDateTime &date, const QLocale &locale)
{
    return locale.toString(date.toLocalTime().date(), mediumDateFormat(locale));
}

QString mediumDateShortTime(const QDateTime &date, const QLocale &locale)
{
    const QDateTime local = date.toLocalTime();
    return locale.toString(local.date(), mediumDateFormat(locale)) + u", "_s
        + locale.toString(local.time(), QLocale::ShortFormat);
}

QString internetDateTime(const QString &text, const QLocale &locale)
{
    const std::optional<QDateTime> date = InternetDateTime::parseEither(text);
    return date ? mediumDateShortTime(*date, locale) : text;
}

} // namespace DateText
