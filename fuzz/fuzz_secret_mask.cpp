// SecretMask over a response body about to be logged: the body arrives as
// bytes, is read as strict UTF-8 and masked.
#include "FuzzSupport.h"
#include "model/SecretMask.h"
#include "platform/Utf8.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// The string values stored under a secret key in a JSON document, the way
// SecretMask's keys match (any case, inside longer names).
void secretsIn(const QJsonValue &value, QStringList *found)
{
    if (value.isArray()) {
        for (const QJsonValue &item : value.toArray())
            secretsIn(item, found);
        return;
    }
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        bool secret = false;
        for (const QString &key : SecretMask::defaultKeys())
            secret = secret || it.key().contains(key, Qt::CaseInsensitive);
        if (secret && it.value().isString())
            found->append(it.value().toString());
        else
            secretsIn(it.value(), found);
    }
}

// The values of the JSON strings in `text`, as QJsonDocument reads each one
// (the text itself need not be JSON any more: masked objects are bare "***").
QStringList jsonStrings(const QString &text)
{
    QStringList values;
    qsizetype i = 0;
    while ((i = text.indexOf(u'"', i)) >= 0) {
        qsizetype close = i + 1;
        while (close < text.size() && text[close] != u'"')
            close += text[close] == u'\\' ? 2 : 1;
        if (close >= text.size())
            break;
        const QJsonDocument one = QJsonDocument::fromJson((u'[' + text.mid(i, close - i + 1) + u']').toUtf8());
        if (one.isArray())
            values.append(one.array().first().toString());
        i = close + 1;
    }
    return values;
}

void checkNoSecretLeft(const QString &masked, const QStringList &secrets)
{
    const QStringList strings = jsonStrings(masked);
    for (const QString &secret : secrets) {
        if (secret.size() < 4 || secret.contains(SecretMask::mask))
            continue;
        Fuzz::check(!strings.contains(secret), "a secret is left as a JSON string in the masked text", masked);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::optional<QString> text = Utf8::decode(Fuzz::bytes(data, size));
    if (!text)
        return 0;
    const QString masked = SecretMask::apply(*text);
    // The start of the text, as the log lines show it.
    const qsizetype length = qsizetype(size % 97);
    const QString start = SecretMask::applyToStart(*text, length);
    if (length >= text->size())
        Fuzz::check(start == masked, "the masked start of a short text differs from the masked text");

    // In a whole JSON document, no secret of four characters or more is left
    // as a JSON string, wherever it appears and however it is escaped (a
    // secret inside a longer string is out of reach: the mask works on whole
    // values).
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text->toUtf8(), &error);
    if (error.error != QJsonParseError::NoError)
        return 0;
    QStringList secrets;
    secretsIn(document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object()), &secrets);
    checkNoSecretLeft(masked, secrets);
    checkNoSecretLeft(start, secrets);
    return 0;
}
