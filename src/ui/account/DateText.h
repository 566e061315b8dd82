#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

// Dates as the account and devices screens show them, in the user's locale
// and time zone. Qt's locales offer long and short date formats; the
// "medium" form used here is the long form without the weekday and with the
// month abbreviated ("Jan 31, 2026", "31 Jan 2026", "31. Jan. 2026").
namespace DateText {

// The locale's medium date format ("MMM d, yyyy" for en_US).
QString mediumDateFormat(const QLocale &locale);

// The date in local time, medium style: "Jan 31, 2026".
QString mediumDate(const QDateTime &date, const QLocale &locale = QLocale());

// Medium date and the locale's short time, in local time: "Jan 31, 2026, 12:00 PM".
QString mediumDateShortTime(const QDateTime &date, const QLocale &locale = QLocale());

// An internet date-time text (with fractional seconds, or else without) as
// mediumDateShortTime; text that does not parse is returned as it is.
QString internetDateTime(const QString &text, const QLocale &locale = QLocale());

} // namespace DateText
