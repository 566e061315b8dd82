#include "support/ChildProcess.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcessEnvironment>

#include <csignal>
#include <sys/prctl.h>

namespace ChildProcess {

void dieWithParent(QProcess &process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

QString supportDir()
{
    const QString fromEnv = qEnvironmentVariable("VELORIN_SUPPORT_DIR");
    if (!fromEnv.isEmpty())
        return fromEnv;
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../support");
}

QString builtProgram(const QString &name)
{
    // build/tests/support -> build/
    QDir build(supportDir());
    build.cdUp();
    build.cdUp();
    for (const QString &sub : {QStringLiteral("src/cli"), QStringLiteral("src/shell"), QStringLiteral("tools/devserver")}) {
        const QString candidate = build.filePath(sub + QLatin1Char('/') + name);
        if (QFile::exists(candidate))
            return candidate;
    }
    return build.filePath(name);
}

Result run(const QString &program, const QStringList &arguments, const QByteArray &input,
           const QStringList &extraEnvironment, int timeoutMs)
{
    QProcess process;
    dieWithParent(process);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &entry : extraEnvironment)
        env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    Result result;
    if (!process.waitForStarted(timeoutMs))
        return result;
    if (!input.isEmpty())
        process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitCode();
    result.exitStatus = process.exitStatus();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

} // namespace ChildProcess
