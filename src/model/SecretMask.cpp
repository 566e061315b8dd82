#include "model/SecretMask.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>
#include <optional>

using namespace Qt::StringLiterals;

namespace SecretMask {
namespace {

bool startsAt(const QString &text, qsizetype at, QStringView part)
{
    return QStringView(text).mid(at, part.size()) == part;
}

bool isSpace(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

// End of a string whose opening quote is at `open` (quote is `"` or the
// two-character `\"`): the index after its closing quote, or the text's end.
qsizetype stringEnd(const QString &text, qsizetype open, QStringView quote)
{
    qsizetype i = open + quote.size();
    while (i < text.size()) {
        if (quote.size() == 1) {
            if (text[i] == u'\\') {
                i += 2;
                continue;
            }
            if (text[i] == u'"')
                return i + 1;
            ++i;
        } else {
            // Inside an escaped JSON text: `\\` is an escaped backslash, `\"` closes.
            if (text[i] == u'\\' && i + 1 < text.size() && text[i + 1] == u'\\') {
                i += 2;
                continue;
            }
            if (text[i] == u'\\' && i + 1 < text.size() && text[i + 1] == u'"')
                return i + 2;
            ++i;
        }
    }
    return text.size();
}

// End of an object or array starting at `open`, skipping strings; the text's
// end when it is never closed.
qsizetype structureEnd(const QString &text, qsizetype open)
{
    int depth = 0;
    qsizetype i = open;
    while (i < text.size()) {
        const QChar c = text[i];
        if (c == u'"') {
            i = stringEnd(text, i, u"\"");
            continue;
        }
        if (c == u'{' || c == u'[')
            ++depth;
        else if (c == u'}' || c == u']') {
            if (--depth == 0)
                return i + 1;
        }
        ++i;
    }
    return text.size();
}

qsizetype scalarEnd(const QString &text, qsizetype start)
{
    static const QString delimiters = u",}]&;\"\\"_s;
    qsizetype i = start;
    while (i < text.size() && !isSpace(text[i]) && !delimiters.contains(text[i]))
        ++i;
    return i;
}

// Finds the earliest occurrence of any key at or after a position that only
// moves forward. Each key's next occurrence is remembered, so the text is
// searched once per key over the whole pass: a body made of nothing but keys
// stays linear instead of searching the rest of the text again for every
// occurrence.
class KeyFinder
{
public:
    KeyFinder(const QString &text, const QStringList &keys)
        : m_text(text)
        , m_keys(keys)
        , m_next(keys.size(), kUnknown)
    {
    }

    // -1 when none is left.
    qsizetype next(qsizetype from, qsizetype *keyLength)
    {
        qsizetype best = -1;
        for (qsizetype k = 0; k < m_keys.size(); ++k) {
            qsizetype &at = m_next[k];
            if (at != kNone && at < from)
                at = m_text.indexOf(m_keys[k], from, Qt::CaseInsensitive);
            if (at >= 0 && (best < 0 || at < best || (at == best && m_keys[k].size() > *keyLength))) {
                best = at;
                *keyLength = m_keys[k].size();
            }
        }
        return best;
    }

private:
    static constexpr qsizetype kNone = -1;
    static constexpr qsizetype kUnknown = -2;
    const QString &m_text;
    const QStringList &m_keys;
    QList<qsizetype> m_next;
};

QString maskRaw(const QString &text, const QStringList &keys)
{
    QString out;
    out.reserve(text.size());
    qsizetype copied = 0;
    qsizetype from = 0;
    KeyFinder finder(text, keys);
    while (true) {
        qsizetype keyLength = 0;
        const qsizetype at = finder.next(from, &keyLength);
        if (at < 0)
            break;
        // After the key: an optional closing quote (plain or escaped), blanks,
        // then ':' or '='.
        qsizetype i = at + keyLength;
        if (startsAt(text, i, u"\\\""))
            i += 2;
        else if (i < text.size() && text[i] == u'"')
            ++i;
        while (i < text.size() && isSpace(text[i]))
            ++i;
        if (i >= text.size() || (text[i] != u':' && text[i] != u'=')) {
            from = at + 1;
            continue;
        }
        ++i;
        while (i < text.size() && isSpace(text[i]))
            ++i;
        if (i >= text.size())
            break;

        qsizetype end;
        QString replacement;
        if (startsAt(text, i, u"\\\"")) {
            end = stringEnd(text, i, u"\\\"");
            replacement = u"\\\""_s + mask + (end > i + 2 && startsAt(text, end - 2, u"\\\"") ? u"\\\""_s : QString());
        } else if (text[i] == u'"') {
            end = stringEnd(text, i, u"\"");
            replacement = u"\""_s + mask + (end > i + 1 && text[end - 1] == u'"' ? u"\""_s : QString());
        } else if (text[i] == u'{' || text[i] == u'[') {
            end = structureEnd(text, i);
            replacement = mask;
        } else {
            end = scalarEnd(text, i);
            if (end == i) {
                from = i;
                continue;
            }
            replacement = mask;
        }
        out += QStringView(text).mid(copied, i - copied);
        out += replacement;
        copied = end;
        from = end;
    }
    out += QStringView(text).mid(copied);
    return out;
}

void collectSecretStrings(const QJsonValue &value, const QStringList &keys, QSet<QString> *found)
{
    if (value.isArray()) {
        for (const QJsonValue &item : value.toArray())
            collectSecretStrings(item, keys, found);
        return;
    }
    if (!value.isObject())
        return;
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const bool secret = std::any_of(keys.begin(), keys.end(), [&](const QString &key) {
            return it.key().contains(key, Qt::CaseInsensitive);
        });
        if (secret && it.value().isString() && !it.value().toString().isEmpty())
            found->insert(it.value().toString());
        else
            collectSecretStrings(it.value(), keys, found);
    }
}

int hexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

// The value of a JSON string from the text between its quotes, read the way
// QJsonDocument reads it (which takes an unknown escape such as `\0` as the
// character itself); nothing when a `\u` escape is malformed.
std::optional<QString> jsonStringValue(QStringView content)
{
    QString value;
    value.reserve(content.size());
    for (qsizetype i = 0; i < content.size(); ++i) {
        if (content[i] != u'\\') {
            value += content[i];
            continue;
        }
        if (++i >= content.size())
            return std::nullopt;
        switch (content[i].unicode()) {
        case u'b': value += u'\b'; break;
        case u'f': value += u'\f'; break;
        case u'n': value += u'\n'; break;
        case u'r': value += u'\r'; break;
        case u't': value += u'\t'; break;
        case u'u': {
            if (i + 4 >= content.size())
                return std::nullopt;
            char16_t unit = 0;
            for (qsizetype d = i + 1; d <= i + 4; ++d) {
                const int digit = hexDigit(content[d]);
                if (digit < 0)
                    return std::nullopt;
                unit = char16_t(unit * 16 + digit);
            }
            value += QChar(unit);
            i += 4;
            break;
        }
        default: // `\"`, `\\`, `\/` and any other character stand for themselves
            value += content[i];
            break;
        }
    }
    return value;
}

// Replaces every JSON string of `text` whose value is one of `secrets`
// (however it is spelt: plain, or with escapes) by the quoted mask. One pass
// over the text, whatever the number of secrets. With `cutShort`, the text is
// the start of a longer one: a string left open at its end may be the start
// of a secret and is masked to the end.
QString maskStrings(const QString &text, const QSet<QString> &secrets, bool cutShort)
{
    const QString quotedMask = u'"' + mask + u'"';
    QString out;
    out.reserve(text.size());
    qsizetype copied = 0;
    qsizetype i = 0;
    while (i < text.size()) {
        if (text[i] != u'"') {
            ++i;
            continue;
        }
        qsizetype close = i + 1;
        while (close < text.size() && text[close] != u'"')
            close += text[close] == u'\\' ? 2 : 1;
        if (close >= text.size()) {
            if (cutShort) {
                out += QStringView(text).mid(copied, i - copied);
                out += u'"' + mask;
                copied = text.size();
            }
            break;
        }
        const qsizetype end = close + 1;
        const QString content = text.mid(i + 1, close - i - 1);
        bool secret = secrets.contains(content);
        if (!secret && content.contains(u'\\')) {
            const std::optional<QString> value = jsonStringValue(content);
            secret = value && secrets.contains(*value);
        }
        if (secret) {
            out += QStringView(text).mid(copied, i - copied);
            out += quotedMask;
            copied = end;
        }
        i = end;
    }
    out += QStringView(text).mid(copied);
    return out;
}

} // namespace

const QStringList &defaultKeys()
{
    static const QStringList keys{u"access_token"_s, u"refresh_token"_s, u"password"_s, u"new_password"_s};
    return keys;
}

QString apply(const QString &text, const QStringList &keys)
{
    return applyToStart(text, text.size(), keys);
}

QString applyToStart(const QString &text, qsizetype length, const QStringList &keys)
{
    const bool cutShort = length < text.size();
    qsizetype end = std::clamp<qsizetype>(length, 0, text.size());
    if (cutShort && end > 0 && text[end - 1].isHighSurrogate())
        --end; // never half a character
    QString masked = maskRaw(cutShort ? text.left(end) : text, keys);

    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError)
        return masked;
    QSet<QString> secrets;
    collectSecretStrings(document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object()), keys,
                         &secrets);
    secrets.remove(mask);
    if (secrets.isEmpty())
        return masked;
    return maskStrings(masked, secrets, cutShort);
}

} // namespace SecretMask
