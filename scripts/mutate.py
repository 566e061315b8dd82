#!/usr/bin/env python3
"""Hand-made mutation testing: how many planted faults does the test suite catch?

Each mutant in scripts/mutants.txt replaces one exact snippet of one source
file with a faulty version. For every mutant the harness applies the change,
builds only the test targets that should catch it (in build/mutation, a Debug
tree of its own), runs those tests, records whether the mutant was killed (the
build failed or a test failed or timed out) or survived, and puts the file
back: also on Ctrl-C, on a failed build, and (through a saved copy) after a
crash of the harness itself.

Results go to build/mutation/results.tsv (machine-readable, merged across
runs) and build/mutation/results.md (the table and the kill rate per layer).

    scripts/mutate.sh --list               the mutants and whether each applies
    scripts/mutate.sh --check              only check that every snippet applies
    scripts/mutate.sh --baseline           build everything, run the selected tests unmutated
    scripts/mutate.sh --all                run every mutant
    scripts/mutate.sh M07 B03              run these mutants
    scripts/mutate.sh --layer vpn          run the mutants of one layer
    scripts/mutate.sh --survivors          run again the mutants that survived last time
    scripts/mutate.sh --report             rewrite results.md from results.tsv
"""

import argparse
import datetime
import os
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
DEFAULT_BUILD = os.path.join(ROOT, "build", "mutation")
MUTANTS = os.path.join(ROOT, "scripts", "mutants.txt")
LAYERS = ["model", "platform", "backend", "vpn", "ui", "shell"]
EXCLUDED_LABELS = "slow|lab"
# Tests that took longer than this in the last unmutated run go in a second
# round, run only when the quick ones all pass.
QUICK_SECONDS = 20.0


class Interrupted(Exception):
    pass


def on_signal(signum, _frame):
    raise Interrupted(signal.Signals(signum).name)


# ---------------------------------------------------------------------------
# The mutant list


class Mutant:
    def __init__(self, ident):
        self.id = ident
        self.layer = ""
        self.file = ""
        self.tests = ""
        self.fault = ""
        self.original = []
        self.replacement = []

    @property
    def original_text(self):
        return "\n".join(self.original)

    @property
    def replacement_text(self):
        return "\n".join(self.replacement)


def parse_mutants(path):
    """Blocks of `[ID]`, `key: value` lines, and `original:` / `replacement:`
    followed by the snippet's lines, each written after a `|`."""
    mutants = []
    current = None
    snippet = None
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            where = f"{path}:{number}"
            if line.startswith("|"):
                if current is None or snippet is None:
                    sys.exit(f"{where}: a snippet line outside original:/replacement:")
                getattr(current, snippet).append(line[1:])
                continue
            stripped = line.strip()
            if not stripped or stripped.startswith("#"):
                continue
            header = re.fullmatch(r"\[([A-Za-z0-9_-]+)\]", stripped)
            if header:
                current = Mutant(header.group(1))
                mutants.append(current)
                snippet = None
                continue
            if current is None:
                sys.exit(f"{where}: text before the first [ID]")
            if stripped in ("original:", "replacement:"):
                snippet = stripped[:-1]
                continue
            key, sep, value = stripped.partition(":")
            if not sep or key not in ("layer", "file", "tests", "fault"):
                sys.exit(f"{where}: expected layer:, file:, tests:, fault:, original: or replacement:")
            setattr(current, key, value.strip())
            snippet = None
    seen = set()
    for m in mutants:
        missing = [k for k in ("layer", "file", "tests", "fault") if not getattr(m, k)]
        if missing or not m.original:
            sys.exit(f"{path}: mutant {m.id} lacks {', '.join(missing + ([] if m.original else ['original']))}")
        if m.layer not in LAYERS:
            sys.exit(f"{path}: mutant {m.id} has layer {m.layer!r}, not one of {', '.join(LAYERS)}")
        if m.id in seen:
            sys.exit(f"{path}: mutant {m.id} is listed twice")
        if m.original == m.replacement:
            sys.exit(f"{path}: mutant {m.id} changes nothing")
        seen.add(m.id)
    return mutants


def applicability(m):
    """None when the mutant applies, else why not."""
    path = os.path.join(ROOT, m.file)
    if not os.path.isfile(path):
        return f"file {m.file} does not exist"
    with open(path, encoding="utf-8") as f:
        count = f.read().count(m.original_text)
    if count == 0:
        return "original snippet not found"
    if count > 1:
        return f"original snippet found {count} times"
    return None


# ---------------------------------------------------------------------------
# Applying and restoring


class Applied:
    """The mutant in the source tree for the duration of a `with` block. A
    copy of the original is kept in the build tree until the file is back, so
    that a harness killed outright is repaired on its next start."""

    def __init__(self, m, build):
        self.m = m
        self.path = os.path.join(ROOT, m.file)
        self.backup_dir = os.path.join(build, "pending")
        self.backup = os.path.join(self.backup_dir, m.file.replace("/", "__"))

    def __enter__(self):
        with open(self.path, "rb") as f:
            self.original = f.read()
        os.makedirs(self.backup_dir, exist_ok=True)
        with open(self.backup + ".path", "w", encoding="utf-8") as f:
            f.write(self.path)
        with open(self.backup, "wb") as f:
            f.write(self.original)
        text = self.original.decode("utf-8")
        mutated = text.replace(self.m.original_text, self.m.replacement_text, 1)
        with open(self.path, "wb") as f:
            f.write(mutated.encode("utf-8"))
        return self

    def __exit__(self, *_exc):
        restore(self.path, self.original)
        os.remove(self.backup)
        os.remove(self.backup + ".path")
        return False


def restore(path, content):
    # Written back with a new time stamp, so that the next build compiles the
    # original again (a cache hit) instead of keeping the mutant's object.
    with open(path, "wb") as f:
        f.write(content)
    os.utime(path, None)


def recover_pending(build):
    folder = os.path.join(build, "pending")
    if not os.path.isdir(folder):
        return
    for name in os.listdir(folder):
        if not name.endswith(".path"):
            continue
        backup = os.path.join(folder, name[: -len(".path")])
        with open(os.path.join(folder, name), encoding="utf-8") as f:
            target = f.read().strip()
        if os.path.isfile(backup):
            with open(backup, "rb") as f:
                content = f.read()
            restore(target, content)
            print(f"restored {os.path.relpath(target, ROOT)} from an interrupted run")
            os.remove(backup)
        os.remove(os.path.join(folder, name))


# ---------------------------------------------------------------------------
# Building and testing


def run(cmd, log, timeout=None):
    log.write("$ " + " ".join(cmd) + "\n")
    log.flush()
    proc = subprocess.Popen(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            errors="replace", start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
    except BaseException:
        # Ctrl-C or a time-out: the build or the tests go with the harness.
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()
        raise
    log.write(out)
    log.flush()
    return proc.returncode, out


def configure(build, log):
    if os.path.isfile(os.path.join(build, "build.ninja")):
        return
    # The same settings as the debug preset (so the compiler cache serves
    # both), in a tree of its own.
    code, out = run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DCMAKE_CXX_COMPILER=g++",
                     "-DCMAKE_BUILD_TYPE=Debug", "-DVELORIN_BUILD_TESTS=ON", "-DVELORIN_WERROR=ON"], log)
    if code != 0:
        sys.exit("configuring build/mutation failed:\n" + out[-3000:])


def tests_matching(build, regex, log):
    code, out = run(["ctest", "--test-dir", build, "-N", "-R", regex, "-LE", EXCLUDED_LABELS], log)
    if code != 0:
        return []
    return re.findall(r"^\s*Test\s+#\d+: (\S+)", out, re.M)


def costs(build):
    """Seconds per test from ctest's own record of earlier runs."""
    result = {}
    path = os.path.join(build, "Testing", "Temporary", "CTestCostData.txt")
    if os.path.isfile(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                parts = line.split()
                if len(parts) == 3:
                    try:
                        result[parts[0]] = float(parts[2])
                    except ValueError:
                        pass
    return result


def build_targets(build, targets, log):
    return run(["cmake", "--build", build, "--target", *targets], log)


def warning_only(build_output):
    errors = [l for l in build_output.splitlines() if " error: " in l or l.startswith("error:")]
    return bool(errors) and all("[-Werror" in l for l in errors)


def run_tests(build, names, log):
    """(failed test, failing check) of the first failure, or None."""
    regex = "^(" + "|".join(re.escape(n) for n in names) + ")$"
    code, out = run(["ctest", "--test-dir", build, "-R", regex, "-LE", EXCLUDED_LABELS, "--stop-on-failure",
                     "--timeout", "120", "-j2", "--output-on-failure"], log)
    failed = re.findall(r"Test\s+#\d+: (\S+) \.+\s*(\*+\w[\w ]*|Exception: [\w ]+)", out)
    failed = [(name, status.strip("* ")) for name, status in failed
              if not status.strip("* ").startswith(("Passed", "Skipped", "Not Run"))]
    if code == 0 and not failed:
        return None
    if not failed:
        return ("ctest", f"exit status {code}")
    name, status = failed[0]
    check = re.search(r"^FAIL!\s+:\s+(\S+?)\(", out, re.M)
    detail = check.group(1) if check else status
    if status.lower().startswith("timeout"):
        detail = "timed out"
    return (name, detail)


# ---------------------------------------------------------------------------
# Results


FIELDS = ["id", "layer", "status", "killer", "seconds", "file", "fault", "when"]


def load_results(build):
    results = {}
    path = os.path.join(build, "results.tsv")
    if os.path.isfile(path):
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
        for line in lines[1:]:
            values = line.split("\t")
            if len(values) == len(FIELDS):
                results[values[0]] = dict(zip(FIELDS, values))
    return results


def save_results(build, results, mutants):
    order = {m.id: i for i, m in enumerate(mutants)}
    rows = sorted(results.values(), key=lambda r: (order.get(r["id"], 10**6), r["id"]))
    with open(os.path.join(build, "results.tsv"), "w", encoding="utf-8") as f:
        f.write("\t".join(FIELDS) + "\n")
        for r in rows:
            f.write("\t".join(str(r[k]).replace("\t", " ").replace("\n", " ") for k in FIELDS) + "\n")
    write_report(build, rows, mutants)


def rates(rows):
    lines = []
    totals = [0, 0]
    for layer in LAYERS + ["all"]:
        chosen = rows if layer == "all" else [r for r in rows if r["layer"] == layer]
        killed = sum(1 for r in chosen if r["status"] == "killed")
        judged = killed + sum(1 for r in chosen if r["status"] == "survived")
        other = len(chosen) - judged
        if not chosen:
            continue
        rate = f"{100.0 * killed / judged:.0f} %" if judged else "-"
        extra = f" ({other} not run or not applicable)" if other else ""
        lines.append((layer, killed, judged, rate, extra))
        if layer != "all":
            totals[0] += killed
            totals[1] += judged
    return lines


def write_report(build, rows, mutants):
    known = {m.id for m in mutants}
    out = ["# Mutation check", "",
           f"Written {datetime.datetime.now():%Y-%m-%d %H:%M}; tests run with `-LE '{EXCLUDED_LABELS}'`.", "",
           "| id | layer | fault | result | caught by | s |", "|---|---|---|---|---|---|"]
    for r in rows:
        if r["id"] not in known:
            continue
        out.append(f"| {r['id']} | {r['layer']} | {r['fault']} | {r['status']} | {r['killer']} | {r['seconds']} |")
    out += ["", "## Kill rate", "", "| layer | killed | run | rate |", "|---|---|---|---|"]
    for layer, killed, judged, rate, extra in rates([r for r in rows if r["id"] in known]):
        out.append(f"| {layer} | {killed} | {judged}{extra} | {rate} |")
    survivors = [r for r in rows if r["id"] in known and r["status"] == "survived"]
    if survivors:
        out += ["", "## Survivors", ""]
        out += [f"- {r['id']} ({r['layer']}, {r['file']}): {r['fault']}" for r in survivors]
    stale = [r for r in rows if r["id"] in known and r["status"].startswith("not applicable")]
    if stale:
        out += ["", "## Not applicable: re-target these snippets", ""]
        out += [f"- {r['id']} ({r['file']}): {r['killer']}" for r in stale]
    with open(os.path.join(build, "results.md"), "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")


def print_table(rows, mutants):
    known = {m.id for m in mutants}
    rows = [r for r in rows if r["id"] in known]
    width = max([len(r["fault"]) for r in rows] + [5])
    width = min(width, 70)
    print()
    print(f"{'id':<5} {'layer':<8} {'result':<10} {'s':>5}  {'fault':<{width}}  caught by")
    for r in rows:
        status = r["status"] if not r["status"].startswith("not applicable") else "n/a"
        print(f"{r['id']:<5} {r['layer']:<8} {status:<10} {r['seconds']:>5}  {r['fault'][:width]:<{width}}  {r['killer']}")
    print()
    for layer, killed, judged, rate, extra in rates(rows):
        print(f"  {layer:<8} {killed:>3} of {judged:<3} killed  {rate:>5}{extra}")
    stale = [r for r in rows if r["status"].startswith("not applicable")]
    if stale:
        print("\nNOT APPLICABLE — re-target these snippets in scripts/mutants.txt:")
        for r in stale:
            print(f"  {r['id']:<5} {r['file']}: {r['killer']}")


# ---------------------------------------------------------------------------
# One mutant


def run_mutant(m, build, logs):
    started = time.monotonic()
    result = {"id": m.id, "layer": m.layer, "file": m.file, "fault": m.fault, "killer": "", "status": "",
              "when": f"{datetime.datetime.now():%Y-%m-%d %H:%M}"}

    def done(status, killer):
        result["status"] = status
        result["killer"] = killer
        result["seconds"] = f"{time.monotonic() - started:.0f}"
        return result

    why = applicability(m)
    if why:
        return done("not applicable", why + " — re-target it")
    with open(os.path.join(logs, m.id + ".log"), "w", encoding="utf-8") as log:
        names = tests_matching(build, m.tests, log)
        if not names:
            return done("not applicable", f"no test matches {m.tests} — re-target it")
        known = costs(build)
        quick = [n for n in names if known.get(n, 0.0) <= QUICK_SECONDS]
        slow = [n for n in names if n not in quick]
        with Applied(m, build):
            code, out = build_targets(build, names, log)
            if code != 0:
                if warning_only(out):
                    return done("not applicable", "the change only raises a compiler warning (-Werror) — rewrite it")
                first = next((l for l in out.splitlines() if " error: " in l), "build failed")
                return done("killed", "build: " + first.split(" error: ", 1)[-1][:80])
            for group in (quick, slow):
                if not group:
                    continue
                failure = run_tests(build, group, log)
                if failure:
                    return done("killed", f"{failure[0]} ({failure[1]})")
        return done("survived", "")


def baseline(build, mutants, log):
    names = set()
    for m in mutants:
        names.update(tests_matching(build, m.tests, log))
    names = sorted(names)
    print(f"building {len(names)} test targets ...", flush=True)
    code, out = build_targets(build, names, log)
    if code != 0:
        sys.exit("the unmutated build fails:\n" + out[-3000:])
    print(f"running them unmutated (records their durations) ...", flush=True)
    regex = "^(" + "|".join(re.escape(n) for n in names) + ")$"
    code, out = run(["ctest", "--test-dir", build, "-R", regex, "-LE", EXCLUDED_LABELS, "--timeout", "120",
                     "-j2", "--output-on-failure"], log)
    print("\n".join(l for l in out.splitlines() if "Test #" in l or "tests passed" in l))
    if code != 0:
        sys.exit("the unmutated tests fail: mutants run on them would count as killed. Fix that first.")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("ids", nargs="*", help="mutant ids to run")
    parser.add_argument("--all", action="store_true", help="run every mutant")
    parser.add_argument("--survivors", action="store_true", help="run the mutants that survived last time")
    parser.add_argument("--layer", choices=LAYERS, help="run the mutants of one layer")
    parser.add_argument("--list", action="store_true", help="list the mutants")
    parser.add_argument("--check", action="store_true", help="only check that every snippet applies")
    parser.add_argument("--baseline", action="store_true", help="build and run the selected tests unmutated")
    parser.add_argument("--report", action="store_true", help="print the table and rewrite results.md")
    parser.add_argument("--build-dir", default=DEFAULT_BUILD)
    args = parser.parse_args()

    build = os.path.abspath(args.build_dir)
    mutants = parse_mutants(MUTANTS)
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)
    os.makedirs(build, exist_ok=True)
    recover_pending(build)

    if args.list or args.check:
        stale = 0
        for m in mutants:
            why = applicability(m)
            stale += why is not None
            if args.list or why:
                print(f"{m.id:<5} {m.layer:<8} {'ok' if not why else 'NOT APPLICABLE: ' + why + ' — re-target it'}"
                      f"  {m.file}  {m.fault if args.list else ''}")
        counts = {layer: sum(1 for m in mutants if m.layer == layer) for layer in LAYERS}
        print(f"{len(mutants)} mutants (" + ", ".join(f"{k} {v}" for k, v in counts.items() if v) + f"); "
              f"{stale} not applicable")
        return 1 if stale else 0

    results = load_results(build)
    if args.report:
        save_results(build, results, mutants)
        print_table(list(results.values()), mutants)
        return 0

    # Uncommitted changes under src/ would be measured as if they were the
    # code under test, and a mutant of a changed file could not be told
    # apart from the change.
    dirty = subprocess.run(["git", "status", "--porcelain", "--", "src", "tools", "tests"], cwd=ROOT,
                           capture_output=True, text=True).stdout.strip()
    if dirty:
        sys.exit("uncommitted changes under src/, tools/ or tests/; commit or stash them first:\n" + dirty)

    if args.all:
        chosen = mutants
    elif args.survivors:
        chosen = [m for m in mutants if results.get(m.id, {}).get("status") == "survived"]
    elif args.layer:
        chosen = [m for m in mutants if m.layer == args.layer]
    elif args.ids:
        wanted = set(args.ids)
        chosen = [m for m in mutants if m.id in wanted]
        unknown = wanted - {m.id for m in chosen}
        if unknown:
            sys.exit("unknown mutant id(s): " + ", ".join(sorted(unknown)))
    elif not args.baseline:
        parser.print_help()
        return 2
    else:
        chosen = []

    logs = os.path.join(build, "logs")
    os.makedirs(logs, exist_ok=True)
    with open(os.path.join(logs, "harness.log"), "a", encoding="utf-8") as log:
        configure(build, log)
        try:
            if args.baseline:
                baseline(build, mutants, log)
            started = time.monotonic()
            for n, m in enumerate(chosen, 1):
                print(f"[{n}/{len(chosen)}] {m.id} {m.layer}: {m.fault}", flush=True)
                r = run_mutant(m, build, logs)
                results[m.id] = r
                save_results(build, results, mutants)
                print(f"        {r['status']} {r['killer']} ({r['seconds']} s)", flush=True)
        except Interrupted as e:
            print(f"\ninterrupted ({e}); the source files are restored", file=sys.stderr)
            save_results(build, results, mutants)
            return 130
    if chosen:
        minutes = (time.monotonic() - started) / 60
        print_table([results[m.id] for m in chosen], mutants)
        print(f"\n{len(chosen)} mutant(s) in {minutes:.1f} min; full results in "
              f"{os.path.relpath(os.path.join(build, 'results.md'), ROOT)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
