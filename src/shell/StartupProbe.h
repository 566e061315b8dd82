#pragma once

// The start-up measurement hook of the benchmarks (bench/, scripts/bench.sh).
//
// With VELORIN_BENCH_STARTUP=1 in the environment the application prints two
// lines on standard output, each with a CLOCK_MONOTONIC time in nanoseconds
// (the clock every process of the machine shares, so a launcher can subtract
// the moment it started the process):
//
//   velorin-bench tray-icon-set <ns>   the launch sequence has run and the
//                                      tray icon is set
//   velorin-bench idle <ns>            the event loop went idle for the first
//                                      time: it entered its wait, the main
//                                      thread sat in poll() and nothing woke
//                                      it for `quietMs` (the time printed is
//                                      the start of that wait)
//
// and then quits through the event loop. Without the variable nothing of
// this runs. The minimal Qt program the benchmark compares against
// (bench/baseline_tray.cpp) uses the same probe.
namespace StartupProbe {

inline constexpr const char *environmentVariable = "VELORIN_BENCH_STARTUP";
// How long the main thread must stay asleep for the loop to count as idle.
inline constexpr int quietMs = 100;

// Whether VELORIN_BENCH_STARTUP=1 is set.
bool enabled();
// Nanoseconds of CLOCK_MONOTONIC.
long long monotonicNs();
// Prints the "tray-icon-set" line.
void markTrayIconSet();
// From the main thread, with the application object made: watches the event
// loop, prints the "idle" line once it has gone idle and quits the
// application.
void quitWhenIdle();

} // namespace StartupProbe
