// fake-networksetup: plays the system proxy tool. Each call appends its
// arguments, joined by blanks, as a line to $FAKE_NETWORKSETUP_LOG. Answers
// come from $FAKE_NETWORKSETUP_SCRIPT, sections headed "[ARGUMENTS]" or
// "[ARGUMENTS] exit=N" whose lines are printed; no section: no output, exit 0.
// FAKE_NETWORKSETUP_DELAY_MS=N delays every call.
#include <QByteArray>
#include <QFile>
#include <QList>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QList<QByteArray> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(argv[i]);
    const QByteArray call = arguments.join(' ');

    if (const char *delay = std::getenv("FAKE_NETWORKSETUP_DELAY_MS"))
        QThread::msleep(std::strtoul(delay, nullptr, 10));

    if (const char *log = std::getenv("FAKE_NETWORKSETUP_LOG")) {
        // One write per line with O_APPEND, so concurrent calls never mix lines.
        const int fd = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) {
            const QByteArray line = call + '\n';
            [[maybe_unused]] const ssize_t written = ::write(fd, line.constData(), size_t(line.size()));
            ::close(fd);
        }
    }

    const char *scriptPath = std::getenv("FAKE_NETWORKSETUP_SCRIPT");
    if (!scriptPath)
        return 0;
    QFile script(QString::fromLocal8Bit(scriptPath));
    if (!script.open(QIODevice::ReadOnly))
        return 0;
    bool inSection = false;
    int exitCode = 0;
    QByteArray output;
    for (const QByteArray &line : script.readAll().split('\n')) {
        if (line.startsWith('[')) {
            if (inSection)
                break;
            const qsizetype close = line.lastIndexOf(']');
            if (close > 0 && line.mid(1, close - 1) == call) {
                inSection = true;
                const qsizetype exit = line.indexOf("exit=", close);
                if (exit > 0)
                    exitCode = line.mid(exit + 5).trimmed().toInt();
            }
            continue;
        }
        if (inSection)
            output += line + '\n';
    }
    std::fwrite(output.constData(), 1, size_t(output.size()), stdout);
    return exitCode;
}
