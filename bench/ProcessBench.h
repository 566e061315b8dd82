#pragma once

#include <QStringList>

// velorin-bench startup --app PATH [--app-args "ARGS"] --baseline PATH [--mode NAME] [--runs N]
//   starts both programs with VELORIN_BENCH_STARTUP=1, alternately; the time
//   from the start to the tray icon and to the first idle event loop
// velorin-bench idle --pid PID --floor-pid PID [--window SECONDS] [--windows N]
//   resident memory, CPU time per minute and wake-ups per second of two
//   running processes, window by window
// velorin-bench libraries --pid PID --floor-pid PID
//   the shared libraries both map: how many, their size on disk, how much of
//   them is resident
// velorin-bench control-status --app PATH --cli PATH [--runs N]
//   with the application running (offscreen): the control socket's round
//   trip for `status`, and a whole `velorin status` through it beside
//   `velorin --version` (the program's own start)
namespace ProcessBench {

int startup(const QStringList &arguments);
int idle(const QStringList &arguments);
int libraries(const QStringList &arguments);
int controlStatus(const QStringList &arguments);

} // namespace ProcessBench
