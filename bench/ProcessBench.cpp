// Whole-process figures: start-up time, the idle footprint and the resident
// libraries, each for the application and for the minimal tray program
// beside it.
#include "ProcessBench.h"

#include "Bench.h"

#include "shell/StartupProbe.h"
#include "vpn/ControlProtocol.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QMap>
#include <QProcess>
#include <QSet>
#include <QThread>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// One start of a program with the start-up probe on; the milliseconds from
// the start to the icon and to the first idle loop.
struct StartupTimes
{
    double trayMs = -1;
    double idleMs = -1;
};

StartupTimes startOnce(const QString &program, const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(StartupProbe::environmentVariable), u"1"_s);
    process.setProcessEnvironment(env);
    process.setStandardErrorFile(QProcess::nullDevice());
    const long long start = Bench::nowNs();
    process.start(program, arguments);
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(5000);
        Bench::fail(program + u" did not quit after going idle"_s);
    }
    StartupTimes times;
    const QList<QByteArray> lines = process.readAllStandardOutput().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> words = line.split(' ');
        if (words.size() != 3 || words[0] != "velorin-bench")
            continue;
        const double ms = double(words[2].toLongLong() - start) / 1e6;
        if (words[1] == "tray-icon-set")
            times.trayMs = ms;
        else if (words[1] == "idle")
            times.idleMs = ms;
    }
    if (times.trayMs < 0 || times.idleMs < 0)
        Bench::fail(program + u" printed no start-up marks"_s);
    return times;
}

// What /proc says about one process at one moment.
struct ProcessSnapshot
{
    long long rssKiB = 0;
    double cpuMs = 0;
    long long mainSwitches = 0;
    QMap<QString, long long> threadSwitches; // "tid name" -> voluntary switches
    long long atNs = 0;
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

long long statusField(const QByteArray &status, const QByteArray &field)
{
    const QList<QByteArray> lines = status.split('\n');
    for (const QByteArray &line : lines)
        if (line.startsWith(QByteArray(field + ':')))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

ProcessSnapshot snapshot(qint64 pid)
{
    ProcessSnapshot shot;
    shot.atNs = Bench::nowNs();
    const QString proc = u"/proc/%1"_s.arg(pid);
    shot.rssKiB = statusField(readFile(proc + u"/status"_s), "VmRSS");
    // utime and stime are fields 14 and 15, counted after the command name.
    const QByteArray stat = readFile(proc + u"/stat"_s);
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    const double tick = 1000.0 / double(::sysconf(_SC_CLK_TCK));
    shot.cpuMs = double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) * tick;
    const QStringList tasks = QDir(proc + u"/task"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &tid : tasks) {
        const QByteArray status = readFile(proc + u"/task/"_s + tid + u"/status"_s);
        const long long switches = statusField(status, "voluntary_ctxt_switches");
        const QString name = QString::fromUtf8(readFile(proc + u"/task/"_s + tid + u"/comm"_s)).trimmed();
        shot.threadSwitches.insert(tid + u' ' + name, switches);
        if (tid.toLongLong() == pid)
            shot.mainSwitches = switches;
    }
    return shot;
}

// Voluntary switches of all threads between two snapshots. A thread that
// ended in between is not counted (its switches are gone with it); one that
// started counts from zero.
long long switchesBetween(const ProcessSnapshot &before, const ProcessSnapshot &after)
{
    long long sum = 0;
    for (auto it = after.threadSwitches.cbegin(); it != after.threadSwitches.cend(); ++it)
        sum += it.value() - before.threadSwitches.value(it.key(), 0);
    return sum;
}

bool alive(qint64 pid)
{
    return QFileInfo::exists(u"/proc/%1/stat"_s.arg(pid));
}

struct Library
{
    qint64 fileBytes = 0;
    qint64 residentKiB = 0;
};

// The shared libraries mapped into a process: file size and resident memory
// of each.
QMap<QString, Library> mappedLibraries(qint64 pid)
{
    QMap<QString, Library> found;
    const QList<QByteArray> lines = readFile(u"/proc/%1/smaps"_s.arg(pid)).split('\n');
    QString current;
    for (const QByteArray &line : lines) {
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() >= 5 && words[0].contains('-') && !words[0].endsWith(':')) {
            // A mapping's header: address perms offset dev inode [path]
            current.clear();
            if (words.size() >= 6) {
                const QString path = QString::fromUtf8(words[5]);
                if (path.startsWith(u'/') && (path.endsWith(u".so"_s) || path.contains(u".so."_s))) {
                    current = path;
                    if (!found.contains(path))
                        found.insert(path, Library{QFileInfo(path).size(), 0});
                }
            }
        } else if (!current.isEmpty() && words.value(0) == "Rss:") {
            found[current].residentKiB += words.value(1).toLongLong();
        }
    }
    return found;
}

} // namespace

int ProcessBench::startup(const QStringList &arguments)
{
    const int runs = Bench::intOption(arguments, u"--runs"_s, 7);
    const QString mode = Bench::option(arguments, u"--mode"_s, u"offscreen"_s);
    const QString app = Bench::option(arguments, u"--app"_s);
    const QString baseline = Bench::option(arguments, u"--baseline"_s);
    const QStringList appArguments = Bench::option(arguments, u"--app-args"_s).split(u' ', Qt::SkipEmptyParts);
    if (app.isEmpty() || baseline.isEmpty())
        Bench::fail(u"startup needs --app PATH and --baseline PATH"_s);
    const QString key = u"startup."_s + mode;

    // A first start of each fills the file cache; it is not counted.
    startOnce(app, appArguments);
    startOnce(baseline, {});
    for (int run = 0; run < runs; ++run) {
        for (int half = 0; half < 2; ++half) {
            const bool ours = (run + half) % 2 == 0;
            const StartupTimes times = ours ? startOnce(app, appArguments) : startOnce(baseline, {});
            const QString suffix = ours ? QString() : u"_floor"_s;
            Bench::sample(key + u".tray_ms"_s + suffix, run, times.trayMs);
            Bench::sample(key + u".idle_ms"_s + suffix, run, times.idleMs);
        }
    }
    return 0;
}

int ProcessBench::idle(const QStringList &arguments)
{
    const qint64 pid = Bench::option(arguments, u"--pid"_s).toLongLong();
    const qint64 floorPid = Bench::option(arguments, u"--floor-pid"_s).toLongLong();
    const int windowSeconds = Bench::intOption(arguments, u"--window"_s, 15);
    const int windows = Bench::intOption(arguments, u"--windows"_s, 6);
    if (pid <= 0 || floorPid <= 0 || !alive(pid) || !alive(floorPid))
        Bench::fail(u"idle needs --pid and --floor-pid of running processes"_s);

    const ProcessSnapshot first = snapshot(pid);
    const ProcessSnapshot firstFloor = snapshot(floorPid);
    Bench::sample(u"idle.rss_start_kib"_s, 0, double(first.rssKiB));
    Bench::sample(u"idle.rss_start_kib_floor"_s, 0, double(firstFloor.rssKiB));
    ProcessSnapshot before = first;
    ProcessSnapshot beforeFloor = firstFloor;
    QList<double> minutes, rss;
    for (int window = 0; window < windows; ++window) {
        QThread::sleep(static_cast<unsigned long>(windowSeconds));
        if (!alive(pid) || !alive(floorPid))
            Bench::fail(u"a process ended while idling"_s);
        const ProcessSnapshot after = snapshot(pid);
        const ProcessSnapshot afterFloor = snapshot(floorPid);
        for (const bool ours : {true, false}) {
            const ProcessSnapshot &a = ours ? before : beforeFloor;
            const ProcessSnapshot &b = ours ? after : afterFloor;
            const QString suffix = ours ? QString() : u"_floor"_s;
            const double seconds = double(b.atNs - a.atNs) / 1e9;
            Bench::sample(u"idle.rss_kib"_s + suffix, window, double(b.rssKiB));
            Bench::sample(u"idle.cpu_ms_per_min"_s + suffix, window, (b.cpuMs - a.cpuMs) * 60.0 / seconds);
            Bench::sample(u"idle.wakeups_main_per_s"_s + suffix, window,
                          double(b.mainSwitches - a.mainSwitches) / seconds);
            Bench::sample(u"idle.wakeups_all_per_s"_s + suffix, window, double(switchesBetween(a, b)) / seconds);
        }
        // The one-second mirror timer: the expected wake-up rate.
        Bench::sample(u"idle.wakeups_expected_per_s"_s, window, 1.0);
        minutes.append(double(after.atNs - first.atNs) / 60e9);
        rss.append(double(after.rssKiB));
        before = after;
        beforeFloor = afterFloor;
    }
    // The first window still settles (a page or two of late allocations);
    // the growth is fitted over the windows after it.
    const qsizetype settled = minutes.size() > 2 ? 1 : 0;
    Bench::sample(u"idle.rss_growth_kib_per_hour"_s, 0,
                  Bench::slope(minutes.mid(settled), rss.mid(settled)) * 60.0);
    const double totalSeconds = double(before.atNs - first.atNs) / 1e9;
    // CPU time is counted in clock ticks (10 ms): one tick in a window shows
    // as a spike there, so the whole idle's average is given too.
    Bench::sample(u"idle.cpu_ms_per_min_total"_s, 0, (before.cpuMs - first.cpuMs) * 60.0 / totalSeconds);
    Bench::sample(u"idle.cpu_ms_per_min_total_floor"_s, 0,
                  (beforeFloor.cpuMs - firstFloor.cpuMs) * 60.0 / totalSeconds);
    Bench::note(u"idle, resident memory: %1 KiB after start-up, %2 KiB after the first window, %3 KiB at the end"_s
                    .arg(first.rssKiB)
                    .arg(qRound(rss.value(0)))
                    .arg(before.rssKiB));
    Bench::note(u"idled %1 s in %2 windows of %3 s"_s.arg(qRound(totalSeconds)).arg(windows).arg(windowSeconds));
    // Which threads woke up, for the record.
    for (auto it = before.threadSwitches.cbegin(); it != before.threadSwitches.cend(); ++it) {
        const double rate = double(it.value() - first.threadSwitches.value(it.key())) / totalSeconds;
        Bench::note(u"velorin-vpn thread %1: %2 wake-ups/s"_s.arg(it.key()).arg(rate, 0, 'f', 2));
    }
    return 0;
}

int ProcessBench::libraries(const QStringList &arguments)
{
    const qint64 pid = Bench::option(arguments, u"--pid"_s).toLongLong();
    const qint64 floorPid = Bench::option(arguments, u"--floor-pid"_s).toLongLong();
    if (pid <= 0 || floorPid <= 0)
        Bench::fail(u"libraries needs --pid and --floor-pid"_s);
    const QMap<QString, Library> ours = mappedLibraries(pid);
    const QMap<QString, Library> floor = mappedLibraries(floorPid);
    const auto total = [](const QMap<QString, Library> &set, bool resident) {
        double sum = 0;
        for (const Library &library : set)
            sum += resident ? double(library.residentKiB) / 1024.0 : double(library.fileBytes) / (1024.0 * 1024.0);
        return sum;
    };
    Bench::sample(u"libs.count"_s, 0, double(ours.size()));
    Bench::sample(u"libs.count_floor"_s, 0, double(floor.size()));
    Bench::sample(u"libs.file_mib"_s, 0, total(ours, false));
    Bench::sample(u"libs.file_mib_floor"_s, 0, total(floor, false));
    Bench::sample(u"libs.rss_mib"_s, 0, total(ours, true));
    Bench::sample(u"libs.rss_mib_floor"_s, 0, total(floor, true));
    QStringList extra;
    for (auto it = ours.cbegin(); it != ours.cend(); ++it)
        if (!floor.contains(it.key()))
            extra.append(QFileInfo(it.key()).fileName());
    Bench::note(u"libraries beyond the minimal tray program (%1): %2"_s.arg(extra.size()).arg(extra.join(u", "_s)));
    return 0;
}

namespace {

// One `status` over the control socket: connect, ask, read the answer.
bool askStatus()
{
    const std::unique_ptr<QLocalSocket> socket = ControlProtocol::connectToApp(ControlProtocol::places().socket, 2000);
    if (!socket)
        return false;
    ControlProtocol::Request request;
    request.command = ControlProtocol::Request::Command::Status;
    socket->write(request.encode());
    QByteArray answer;
    while (!answer.contains('\n') && socket->waitForReadyRead(2000))
        answer += socket->readAll();
    const auto message = ControlProtocol::parseMessage(answer.left(answer.indexOf('\n')));
    return message && message->ok;
}

double runMs(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    const long long start = Bench::nowNs();
    process.start(program, arguments);
    if (!process.waitForFinished(10000) || process.exitCode() != 0)
        Bench::fail(program + u" "_s + arguments.join(u' ') + u" failed"_s);
    return double(Bench::nowNs() - start) / 1e6;
}

} // namespace

int ProcessBench::controlStatus(const QStringList &arguments)
{
    const int runs = Bench::intOption(arguments, u"--runs"_s, 15);
    const QString app = Bench::option(arguments, u"--app"_s);
    const QString cli = Bench::option(arguments, u"--cli"_s);
    if (app.isEmpty() || cli.isEmpty())
        Bench::fail(u"control-status needs --app PATH and --cli PATH"_s);
    QProcess running;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    running.setProcessEnvironment(env);
    running.setStandardOutputFile(QProcess::nullDevice());
    running.setStandardErrorFile(QProcess::nullDevice());
    running.start(app, {});
    bool ready = false;
    for (int i = 0; i < 100 && !ready; ++i) {
        QThread::msleep(100);
        ready = askStatus();
    }
    if (!ready)
        Bench::fail(u"the application did not answer on its control socket"_s);
    for (int run = 0; run < runs; ++run) {
        const long long start = Bench::nowNs();
        if (!askStatus())
            Bench::fail(u"no answer to status"_s);
        Bench::sample(u"control.status_rtt_ms"_s, run, double(Bench::nowNs() - start) / 1e6);
        Bench::sample(u"control.status_cli_ms"_s, run, runMs(cli, {u"status"_s}));
        Bench::sample(u"control.version_cli_ms"_s, run, runMs(cli, {u"--version"_s}));
    }
    running.terminate();
    running.waitForFinished(10000);
    return 0;
}
