#include "vpn/xray/XrayBinary.h"

#include <QDir>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace XrayBinary {

namespace {

const QString howToInstall = QStringLiteral(
    "Install Xray-core 1.8.0 or newer as /usr/local/bin/xray (the README's section “Getting xray” says how), then "
    "connect again.");

QString printableLine(const QByteArray &output)
{
    QString line = QString::fromUtf8(output.left(512)).section(u'\n', 0, 0).trimmed();
    for (QChar &c : line)
        if (!c.isPrint())
            c = u'?';
    return line.left(100);
}

} // namespace

QStringList systemCandidates(const QString &pathVariable)
{
    QStringList candidates;
    for (const QString &folder : pathVariable.split(u':', Qt::SkipEmptyParts))
        if (QDir::isAbsolutePath(folder))
            candidates.append(QDir(folder).filePath(u"xray"_s));
    candidates.append(u"/usr/local/bin/xray"_s);
    candidates.append(u"/usr/bin/xray"_s);
    candidates.removeDuplicates();
    return candidates;
}

std::optional<QString> problemWithVersion(const QString &path, const QByteArray &output, int exitCode)
{
    const QString line = printableLine(output);
    static const QRegularExpression xray(uR"(^Xray\s+v?(\d+)\.(\d+)(?:\.(\d+))?\b)"_s);
    const QRegularExpressionMatch match = xray.match(line);
    if (!match.hasMatch()) {
        if (line.startsWith(u"V2Ray"_s, Qt::CaseInsensitive))
            return path + u" is V2Ray, which cannot connect with VLESS and REALITY. "_s + howToInstall;
        return path + u" did not answer “xray version” as Xray-core does ("_s
            + (line.isEmpty() ? QString(u"exit status "_s + QString::number(exitCode)) : QString(u"“"_s + line + u"”"_s))
            + u"). "_s
            + howToInstall;
    }
    const int major = match.captured(1).toInt();
    const int minor = match.captured(2).toInt();
    if (major < minimumMajor || (major == minimumMajor && minor < minimumMinor))
        return u"The xray at "_s + path + u" is version "_s + match.captured(0).section(u' ', 1).trimmed()
            + u", too old for VLESS with REALITY. "_s + howToInstall;
    return std::nullopt;
}

QString missingMessage(const QString &override, const QString &overridePath)
{
    if (!override.isEmpty())
        return u"No xray program at "_s + overridePath + u" (named by "_s + override + u"). "_s + howToInstall;
    return u"Xray-core is not installed. "_s + howToInstall;
}

QString notRunnableMessage(const QString &path, const QString &why)
{
    return u"The xray at "_s + path + u" cannot be run ("_s + why + u"). "_s + howToInstall;
}

} // namespace XrayBinary
