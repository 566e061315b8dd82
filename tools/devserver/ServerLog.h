#pragma once

#include <QString>

// The development backend's output: one line per event on standard output
// (requests, mails, start and stop) and problems on standard error. Lines are
// flushed at once so that a script reading the output sees them in time.
namespace ServerLog {

void out(const QString &line);
void err(const QString &line);

// The current time as an internet date-time in UTC with milliseconds.
QString timestamp();

} // namespace ServerLog
