#include "cli/PasswordInput.h"

#include "platform/Utf8.h"

#include <QByteArray>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace PasswordInput {
namespace {

// The terminal being read while echo is off, for the signal handler.
volatile sig_atomic_t s_quietFd = -1;
termios s_saved{};

void restoreAndReraise(int signalNumber)
{
    if (s_quietFd >= 0)
        tcsetattr(s_quietFd, TCSAFLUSH, &s_saved);
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

// Reads up to a line feed or the end; false on a read error.
bool readLine(int fd, QByteArray *line)
{
    char c = 0;
    for (;;) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0 || c == '\n')
            return true;
        if (line->size() >= 4096)
            continue; // longer than any password; drain the rest of the line
        line->append(c);
    }
}

std::optional<QString> toText(QByteArray &bytes, QString *error)
{
    if (bytes.endsWith('\r'))
        bytes.chop(1);
    auto text = Utf8::decode(bytes);
    bytes.fill('\0');
    if (!text)
        *error = u"the password is not valid UTF-8"_s;
    else if (text->isEmpty())
        *error = u"the password is empty"_s;
    else
        return text;
    return std::nullopt;
}

} // namespace

std::optional<QString> fromStandardInput(QString *error)
{
    QByteArray line;
    if (!readLine(STDIN_FILENO, &line)) {
        *error = u"could not read the password from standard input"_s;
        return std::nullopt;
    }
    return toText(line, error);
}

std::optional<QString> fromTerminal(const QString &prompt, QString *error)
{
    int fd = STDIN_FILENO;
    bool opened = false;
    if (!isatty(fd)) {
        fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            *error = u"no terminal to ask for the password (use --password-stdin)"_s;
            return std::nullopt;
        }
        opened = true;
    }
    const int promptFd = opened ? fd : STDERR_FILENO;

    termios saved{};
    const bool isTerminal = tcgetattr(fd, &saved) == 0;
    struct sigaction previous[std::size(kSignals)];
    if (isTerminal) {
        s_saved = saved;
        s_quietFd = fd;
        struct sigaction action{};
        action.sa_handler = restoreAndReraise;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < std::size(kSignals); ++i)
            sigaction(kSignals[i], &action, &previous[i]);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        quiet.c_lflag |= ICANON;
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }

    const QByteArray promptBytes = prompt.toUtf8();
    [[maybe_unused]] const ssize_t written = ::write(promptFd, promptBytes.constData(), size_t(promptBytes.size()));
    QByteArray line;
    const bool read = readLine(fd, &line);

    if (isTerminal) {
        tcsetattr(fd, TCSAFLUSH, &saved);
        s_quietFd = -1;
        for (size_t i = 0; i < std::size(kSignals); ++i)
            sigaction(kSignals[i], &previous[i], nullptr);
    }
    [[maybe_unused]] const ssize_t newline = ::write(promptFd, "\n", 1);
    if (opened)
        ::close(fd);
    if (!read) {
        *error = u"could not read the password from the terminal"_s;
        return std::nullopt;
    }
    return toText(line, error);
}

} // namespace PasswordInput
