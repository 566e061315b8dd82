#include "model/SecretMask.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>

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

// Earliest occurrence of any key at or after `from`; -1 when none.
qsizetype nextKey(const QString &text, qsizetype from, const QStringList &keys, qsizetype *keyLength)
{
    qsizetype best = -1;
    for (const QString &key : keys) {
        const qsizetype at = text.indexOf(key, from, Qt::CaseInsensitive);
        if (at >= 0 && (best < 0 || at < best || (at == best && key.size() > *keyLength))) {
            best = at;
            *keyLength = key.size();
        }
    }
    return best;
}

QString maskRaw(const QString &text, const QStringList &keys)
{
    QString out;
    out.reserve(text.size());
    qsizetype copied = 0;
    qsizetype from = 0;
    while (true) {
        qsizetype keyLength = 0;
        const qsizetype at = nextKey(text, from, keys, &keyLength);
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

} // namespace

const QStringList &defaultKeys()
{
    static const QStringList keys{u"access_token"_s, u"refresh_token"_s, u"password"_s, u"new_password"_s};
    return keys;
}

QString apply(const QString &text, const QStringList &keys)
{
    QString masked = maskRaw(text, keys);

    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError)
        return masked;
    QSet<QString> secrets;
    collectSecretStrings(document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object()), keys,
                         &secrets);
    // Whole JSON strings equal to a secret: as written by a JSON writer, and as read.
    const QString quotedMask = u'"' + mask + u'"';
    for (const QString &secret : std::as_const(secrets)) {
        const QByteArray written = QJsonDocument(QJsonArray{secret}).toJson(QJsonDocument::Compact);
        const QString writtenForm = QString::fromUtf8(written.mid(1, written.size() - 2));
        const QString readForm = u'"' + secret + u'"';
        for (const QString &form : {writtenForm, readForm})
            if (form != quotedMask)
                masked.replace(form, quotedMask);
    }
    return masked;
}

} // namespace SecretMask
