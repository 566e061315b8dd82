#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Strict UTF-8 conversions. Qt's own conversions replace malformed input with
// U+FFFD without a word; wherever a malformed text must count as missing (a
// stored token, a response body) these give nothing instead.
namespace Utf8 {

// The text of `bytes`, or nothing when they are not well-formed UTF-8
// (invalid or truncated sequences, overlong forms, encoded surrogates, code
// points above U+10FFFF). A leading byte-order mark is kept as U+FEFF.
std::optional<QString> decode(const QByteArray &bytes);

// The UTF-8 bytes of `text`, or nothing when it holds an unpaired surrogate.
std::optional<QByteArray> encode(const QString &text);

} // namespace Utf8
