#include "model/InternetDateTime.h"

#include <cmath>

using namespace Qt::StringLiterals;

namespace InternetDateTime {
namespace {

bool digits(QStringView text, qsizetype from, qsizetype count, int &out)
{
    if (from + count > text.size())
        return false;
    int value = 0;
    for (qsizetype i = from; i < from + count; ++i) {
        const QChar c = text[i];
        if (c < u'0' || c > u'9')
            return false;
        value = value * 10 + (c.unicode() - u'0');
    }
    out = value;
    return true;
}

const QDateTime &referenceDate()
{
    static const QDateTime date(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    return date;
}

} // namespace

std::optional<QDateTime> parse(QStringView text, Fraction fraction)
{
    // YYYY-MM-DDTHH:MM:SS[.f+](Z|+HH:MM|-HH:MM)
    int year, month, day, hour, minute, second;
    if (!digits(text, 0, 4, year) || text.size() < 20 || text[4] != u'-' || !digits(text, 5, 2, month)
        || text[7] != u'-' || !digits(text, 8, 2, day) || text[10] != u'T' || !digits(text, 11, 2, hour)
        || text[13] != u':' || !digits(text, 14, 2, minute) || text[16] != u':' || !digits(text, 17, 2, second))
        return std::nullopt;

    qsizetype pos = 19;
    int milliseconds = 0;
    if (pos < text.size() && text[pos] == u'.') {
        if (fraction == Fraction::Without)
            return std::nullopt;
        ++pos;
        const qsizetype start = pos;
        double value = 0, scale = 0.1;
        while (pos < text.size() && text[pos] >= u'0' && text[pos] <= u'9') {
            value += (text[pos].unicode() - u'0') * scale;
            scale /= 10;
            ++pos;
        }
        if (pos == start)
            return std::nullopt;
        milliseconds = std::min(999, int(std::lround(value * 1000.0)));
    } else if (fraction == Fraction::Required) {
        return std::nullopt;
    }

    if (pos >= text.size())
        return std::nullopt;
    int offsetSeconds = 0;
    if (text[pos] == u'Z') {
        ++pos;
    } else if (text[pos] == u'+' || text[pos] == u'-') {
        int oh, om;
        if (!digits(text, pos + 1, 2, oh) || pos + 3 >= text.size() || text[pos + 3] != u':'
            || !digits(text, pos + 4, 2, om) || oh > 23 || om > 59)
            return std::nullopt;
        offsetSeconds = (oh * 3600 + om * 60) * (text[pos] == u'-' ? -1 : 1);
        pos += 6;
    } else {
        return std::nullopt;
    }
    if (pos != text.size())
        return std::nullopt;

    const QDate date(year, month, day);
    if (!date.isValid() || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    const QDateTime result(date, QTime(hour, minute, second, milliseconds), Qt::OffsetFromUTC, offsetSeconds);
    if (!result.isValid())
        return std::nullopt;
    return result.toUTC();
}

std::optional<QDateTime> parseEither(QStringView text)
{
    if (auto withFraction = parse(text, Fraction::Required))
        return withFraction;
    return parse(text, Fraction::Without);
}

QString format(const QDateTime &date)
{
    return date.toUTC().toString(u"yyyy-MM-dd'T'HH:mm:ss'Z'"_s);
}

QString logDescription(const QDateTime &date)
{
    return date.toUTC().toString(u"yyyy-MM-dd HH:mm:ss '+0000'"_s);
}

double toReferenceSeconds(const QDateTime &date)
{
    return double(referenceDate().msecsTo(date)) / 1000.0;
}

QDateTime fromReferenceSeconds(double seconds)
{
    return referenceDate().addMSecs(qint64(std::llround(seconds * 1000.0)));
}

} // namespace InternetDateTime
