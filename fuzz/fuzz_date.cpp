// The internet date-time parser (every date of every wire record).
#include "FuzzSupport.h"
#include "model/InternetDateTime.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Dates arrive as JSON strings, so as any UTF-16 text.
    const QString text = QString::fromUtf8(Fuzz::bytes(data, size));
    const auto without = InternetDateTime::parse(text, InternetDateTime::Fraction::Without);
    const auto with = InternetDateTime::parse(text, InternetDateTime::Fraction::Required);
    const auto either = InternetDateTime::parseEither(text);

    Fuzz::check(!(without && with), "a text parses both with and without fractional seconds", text);
    Fuzz::check(either.has_value() == (without || with), "parseEither disagrees with its two tries", text);
    if (!either)
        return 0;
    Fuzz::check(either->isValid() && either->timeSpec() == Qt::UTC, "a parsed date is not a valid UTC date", text);
    Fuzz::check(either == (with ? with : without), "parseEither gives another date than its tries", text);
    // A date shown or stored is written back without loss of the second.
    const QDateTime seconds = either->addMSecs(-either->time().msec());
    const auto reparsed = InternetDateTime::parse(InternetDateTime::format(seconds), InternetDateTime::Fraction::Without);
    Fuzz::check(!reparsed || *reparsed == seconds, "a formatted date parses to another date", text);
    const QDateTime stored = InternetDateTime::fromReferenceSeconds(InternetDateTime::toReferenceSeconds(*either));
    Fuzz::check(stored == *either, "a date does not survive the stored number of seconds", text);
    return 0;
}
