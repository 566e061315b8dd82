#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// What the client needs of the outside xray executable beyond its command
// line: an Xray-core that speaks VLESS with REALITY, which came with
// Xray-core 1.8.0. `xray version` answers with a first line such as
// "Xray 1.8.24 (Xray, Penetrates Everything.) ..."; that number is the test.
namespace XrayBinary {

inline constexpr int minimumMajor = 1;
inline constexpr int minimumMinor = 8;

// The folders of $PATH, then /usr/local/bin and /usr/bin, each with "xray".
QStringList systemCandidates(const QString &pathVariable);

// Why the executable at `path` cannot be used, from its answer to
// `xray version` (its output and exit status); nothing when it can.
std::optional<QString> problemWithVersion(const QString &path, const QByteArray &output, int exitCode);

// The message of a connect that found no xray; `override` names the
// setting or variable that pointed elsewhere, when one did.
QString missingMessage(const QString &override = {}, const QString &overridePath = {});
// The message when `xray version` could not be run at all.
QString notRunnableMessage(const QString &path, const QString &why);

} // namespace XrayBinary
