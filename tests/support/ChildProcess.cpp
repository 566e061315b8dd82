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

bool start(QProcess &process, const QString &program, const QStringList &arguments,
           const QStringList &extraEnvironment, const QByteArray &input, int timeoutMs)
{
    dieWithParent(process);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &entry : extraEnvironment)
        env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    if (!process.waitForStarted(timeoutMs))
        return false;
    if (!input.isEmpty())
        process.write(input);
    process.closeWriteChannel();
    return true;
}

Result run(const QString &program, const QStringList &arguments, const QByteArray &input,
           const QStringList &extraEnvironment, int timeoutMs)
{
    QProcess process;
    Result result;
    if (!start(process, program, arguments, extraEnvironment, input, timeoutMs))
        return result;
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
