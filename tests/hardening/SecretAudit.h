#pragma once

// Collects the secrets a test has seen and everything the programs wrote,
// then says where a secret showed up that it must not.

#include "Hardening.h"

#include "platform/UserDefaults.h"
#include "storage/KeychainManager.h"
#include "support/FakeKeychain.h"

#include <QFileInfo>

namespace Hardening {

class SecretAudit
{
public:
    // A value already known keeps its first label.
    void addSecret(const QString &label, const QString &value)
    {
        if (value.isEmpty())
            return;
        for (const Secret &secret : std::as_const(m_secrets))
            if (secret.value == value)
                return;
        m_secrets.append({label, value});
    }
    QList<Secret> secrets() const { return m_secrets; }
    // The tokens the user-defaults file holds now.
    void addTokensFrom(const QString &defaultsFile)
    {
        UserDefaults defaults(defaultsFile);
        FakeKeychain unused;
        KeychainManager tokens(defaults, unused);
        for (const auto &[kind, key] : {std::pair{QStringLiteral("access token"), KeychainManager::accessTokenKey},
                                        std::pair{QStringLiteral("refresh token"), KeychainManager::refreshTokenKey}})
            addSecret(kind + u' ' + QString::number(count(kind) + 1), tokens.retrieveString(key).value_or(QString()));
    }
    // How many known secrets have labels starting with `prefix`.
    int count(const QString &prefix) const
    {
        return int(std::count_if(m_secrets.cbegin(), m_secrets.cend(),
                                 [&](const Secret &secret) { return secret.label.startsWith(prefix); }));
    }

    void addText(const QString &source, const QString &text)
    {
        m_texts.append({source, text});
        m_lines += int(text.count(u'\n')) + 1;
    }
    void addLines(const QString &source, const QStringList &lines)
    {
        for (const QString &line : lines)
            addText(source, line);
    }
    void addOutput(const QString &program, const QString &out, const QString &err)
    {
        addText(program + u" (standard output)"_s, out);
        addText(program + u" (standard error)"_s, err);
    }
    int lineCount() const { return m_lines; }

    // "source shows the label: line" for every secret found in the texts.
    QStringList textFindings() const
    {
        QStringList findings;
        for (const auto &[source, text] : m_texts)
            findings += findingsIn(source, text.split(u'\n'));
        return findings;
    }

    // Every finding: in the texts, in the argument lists, and in the files
    // under `folders`. Only the `tokenFiles` may hold secrets, only the
    // tokens, and only as 0600 inside a 0700 folder.
    QStringList findings(const QStringList &commandLines, const QStringList &folders, const QStringList &tokenFiles,
                         int *filesRead) const
    {
        QStringList findings = textFindings() + findingsIn(u"a process's argument list"_s, commandLines);
        QStringList allowed;
        for (const QString &path : tokenFiles)
            allowed.append(QFileInfo(path).absoluteFilePath());
        const QStringList files = filesUnder(folders);
        *filesRead = int(files.size());
        for (const QString &path : files) {
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly)) {
                findings.append(path + u": cannot be read by the test"_s);
                continue;
            }
            const QStringList found = secretsIn(file.readAll(), m_secrets);
            if (found.isEmpty())
                continue;
            const bool mayHoldTokens = allowed.contains(QFileInfo(path).absoluteFilePath());
            for (const QString &label : found)
                if (!mayHoldTokens || !(label.startsWith(u"access token"_s) || label.startsWith(u"refresh token"_s)))
                    findings.append(path + u" holds the "_s + label);
            const mode_t fileMode = modeOf(path);
            const mode_t folderMode = modeOf(QFileInfo(path).absolutePath());
            if (fileMode != 0600 || folderMode != 0700)
                findings.append(path + u" holds secrets with mode "_s + QString::number(fileMode, 8)
                                + u" in a folder with mode "_s + QString::number(folderMode, 8));
        }
        return findings;
    }

private:
    QStringList findingsIn(const QString &source, const QStringList &lines) const
    {
        QStringList findings;
        for (const QString &line : lines)
            for (const QString &label : secretsIn(line.toUtf8(), m_secrets))
                findings.append(source + u" shows the "_s + label + u": "_s + line.left(300));
        return findings;
    }

    QList<Secret> m_secrets;
    QList<std::pair<QString, QString>> m_texts;
    int m_lines = 0;
};

} // namespace Hardening
