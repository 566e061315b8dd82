#include "devserver/Secrets.h"

#include <QCryptographicHash>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QUuid>

namespace Secrets {

QByteArray randomBytes(int count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    auto *generator = QRandomGenerator::system();
    for (int i = 0; i < count; ++i)
        bytes[i] = static_cast<char>(generator->bounded(256));
    return bytes;
}

QString base64Url(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString newToken(const char *prefix)
{
    return QString::fromLatin1(prefix) + base64Url(randomBytes(32));
}

QByteArray sha256(const QString &text)
{
    return sha256(text.toUtf8());
}

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

QByteArray pbkdf2(const QByteArray &password, const QByteArray &salt, int iterations)
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password, salt, iterations, 32);
}

bool constantTimeEquals(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

QString sixDigitCode()
{
    return QStringLiteral("%1").arg(QRandomGenerator::system()->bounded(1000000), 6, 10, QLatin1Char('0'));
}

QString randomUuid()
{
    QByteArray bytes = randomBytes(16);
    bytes[6] = static_cast<char>((bytes[6] & 0x0f) | 0x40); // version 4
    bytes[8] = static_cast<char>((bytes[8] & 0x3f) | 0x80); // RFC 4122 variant
    return QUuid::fromRfc4122(bytes).toString(QUuid::WithoutBraces);
}

QString curve25519PrivateKey()
{
    QByteArray key = randomBytes(32);
    key[0] = static_cast<char>(key[0] & 248);
    key[31] = static_cast<char>((key[31] & 127) | 64);
    return QString::fromLatin1(key.toBase64());
}

} // namespace Secrets
