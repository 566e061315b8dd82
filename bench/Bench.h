#pragma once

// Helpers shared by the benchmark programs (the first table is in RESULTS.md;
// scripts/bench.sh runs them).
//
// Every measurement is printed as one line on standard output:
//   sample KEY RUN VALUE      one run's value (RUN counts from 0)
//   note TEXT                 something the table should mention
// scripts/bench.sh collects the lines of every program into one file and
// makes the table (median, spread, ratio of paired runs) from it.

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <optional>

class QNetworkAccessManager;

namespace Bench {

// CLOCK_MONOTONIC in nanoseconds / milliseconds (shared by all processes).
long long nowNs();
double msSince(long long startNs);

void sample(const QString &key, int run, double value);
void note(const QString &text);
// A failure that ends the program (status 1), on standard error.
[[noreturn]] void fail(const QString &message);

// Runs the event loop until `done` is true or the time is up.
bool spinUntil(const std::function<bool()> &done, int timeoutMs);

// This process's resident set (VmRSS) in KiB, and the bytes the allocator
// has handed out and not had back (all arenas, mmapped blocks included).
long long residentKiB(long long pid = 0);
long long heapInUseBytes();

// Least-squares slope of y over x.
double slope(const QList<double> &x, const QList<double> &y);

// Runs `cycle` (false = failed, which ends the program) at least `count`
// times and measures the resident set and the heap in use after each. The
// growth per cycle is the slope over the cycles run once the log's ring of
// recent lines (kept for the diagnostics export) has filled, which takes a
// while and then stays at its size; the run goes on until at least half of
// `count` cycles came after that. Prints KEY.rss_bytes_per_cycle and
// KEY.heap_bytes_per_cycle and notes the course.
void runCycles(const QString &key, int count, const std::function<bool(int cycle)> &cycle);
// With "--no-teardown" in `arguments`: ends the process at once, without
// destructors, so that under heaptrack everything the cycles still hold shows
// as leaked (memory a container keeps growing and frees only at the end
// included). Otherwise returns.
void endCycles(const QStringList &arguments);

// One HTTP exchange, waited for with the event loop. `body` empty = GET.
struct Answer
{
    int status = 0;
    QByteArray body;
};
Answer exchange(QNetworkAccessManager &network, const QUrl &url, const QByteArray &method,
                const QByteArray &body = {}, const QByteArray &bearer = {},
                const QByteArray &userAgent = {});
QJsonObject jsonOf(const QByteArray &body);

// The development backend with its demo account, for a benchmark. Unlike
// the tests' DevServerProcess it sends its output (a line per request) to a
// file, so a long run keeps nothing of it in this process. Ends the program
// when it cannot start.
class Backend
{
public:
    explicit Backend(const QStringList &extraArguments = {});
    ~Backend();
    Backend(const Backend &) = delete;
    Backend &operator=(const Backend &) = delete;

    QString url() const { return m_url; }
    QUrl url(const QString &pathAndQuery) const { return QUrl(m_url + pathAndQuery); }
    // An access token of the demo account, from a sign-in over bare HTTP.
    QByteArray signIn() const;

private:
    struct Private;
    Private *d;
    QString m_url;
};

// The value of an option "--name VALUE" in `arguments`, or the fallback.
QString option(const QStringList &arguments, const QString &name, const QString &fallback = {});
int intOption(const QStringList &arguments, const QString &name, int fallback);

} // namespace Bench
