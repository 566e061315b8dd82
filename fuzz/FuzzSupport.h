#pragma once

// Helpers shared by the fuzz targets. Each target is one libFuzzer entry
// point over one decoder of server input. A target fails (abort, which
// libFuzzer reports as a crash and saves the input) when the decoder throws
// anything but its documented error, when a decoded value breaks a property
// the rest of the client relies on, or when a sanitizer reports.

#include "model/DecodeError.h"
#include "model/JsonReader.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace Fuzz {

// The input as a QByteArray of its own (network bodies arrive that way).
inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

[[noreturn]] inline void fail(const char *what, const QString &detail = {})
{
    std::fprintf(stderr, "property broken: %s %s\n", what, qUtf8Printable(detail));
    std::abort();
}

inline void check(bool holds, const char *what, const QString &detail = {})
{
    if (!holds)
        fail(what, detail);
}

// Decodes `body` as T the way every client path does (decodeBody). A body
// that does not match gives nothing; the error must say why.
template<typename T>
std::optional<T> decode(const QByteArray &body)
{
    try {
        return decodeBody<T>(body);
    } catch (const DecodeError &error) {
        check(!error.description().isEmpty(), "a decode error without a description");
        return std::nullopt;
    }
}

} // namespace Fuzz
