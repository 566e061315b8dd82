#pragma once

#include <QByteArray>
#include <QString>

// Random values and hashes for the development backend. Every random value
// comes from the operating system's generator (QRandomGenerator::system()).
namespace Secrets {

QByteArray randomBytes(int count);

// base64url without padding: safe in JSON, headers and file names.
QString base64Url(const QByteArray &bytes);

// An opaque bearer token: a short kind prefix and 32 random bytes.
QString newToken(const char *prefix);

// SHA-256 of the UTF-8 text; tokens and codes are stored only in this form.
QByteArray sha256(const QString &text);
QByteArray sha256(const QByteArray &bytes);

// PBKDF2-HMAC-SHA256 with a 32-byte result.
QByteArray pbkdf2(const QByteArray &password, const QByteArray &salt, int iterations);

// Compares two secrets in time that depends only on their lengths.
bool constantTimeEquals(const QByteArray &a, const QByteArray &b);

// A six-digit code, uniformly drawn.
QString sixDigitCode();

// A random (version 4) UUID in its usual lower-case text form.
QString randomUuid();

// A Curve25519 private key: 32 random bytes clamped as the curve requires,
// in standard base64 (the form WireGuard configuration files use).
QString curve25519PrivateKey();

} // namespace Secrets
