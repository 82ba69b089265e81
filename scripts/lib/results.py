#!/usr/bin/env python3
"""Repeated runs of vecmat and gputune, kept as a record, and the comparison of two records.

`results.py run --build DIR --repeat N [--json FILE]` runs DIR/bin/vecmat and DIR/bin/gputune N
times each (in turns), prints the first run's lines as the programs printed them, then a table of
every time: median, min, max, spread and, where the bytes moved are fixed, throughput. Every line
is read against the report the program prints; one that does not match ends the run with an error
that quotes it. `--json FILE` writes the record (its schema is in the README). scripts/run calls it
after building; scripts/gpu-check calls it on the build it made.

`results.py compare OLD NEW [--fail-if-slower PCT]` is scripts/compare.

Python 3.9, standard library only.
"""
import argparse
import datetime
import json
import os
import re
import statistics
import subprocess
import sys

RECORD = "vecmat-gputune-record"
VERSION = 1
MIB = 1024 * 1024
NUMBER = r"([-+]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][-+]?[0-9]+)?)"
THRUST_NOTE = "whole-call host-clock time (allocation and copies included): no throughput"


class Failure(Exception):
    """A fault that ends the run with one line; the record, if asked for, is marked failed."""


def line(label, kind=None, unit=None, bytes_moved=None, note=None):
    """One report line: LABEL, or "LABEL: NUMBER[ UNIT]" when it has a kind.

    kind: "time" (a measurement), "result" (a computed value), "data_size" or "block_size" (a
    search's winning configuration). bytes_moved: the bytes a timed run moves, a number, or a
    function of the winning data size."""
    return {"label": label, "kind": kind, "unit": unit, "bytes": bytes_moved, "note": note}


REPORTS = {
    "vecmat": [
        line("Время выполнения скалярного произведения (CUDA)", "time", "мс", 2 * 4 * MIB),
        line("Скалярное произведение (CUDA)", "result"),
        line("Время выполнения скалярного произведения (Thrust)", "time", "мс", note=THRUST_NOTE),
        line("Скалярное произведение (Thrust)", "result"),
        line("Время выполнения транспонирования (CUDA)", "time", "мс", 4 * MIB + 4 * MIB),
        line("Транспонированная матрица (CUDA): первый элемент", "result"),
        line("Время выполнения транспонирования (Thrust)", "time", "мс", note=THRUST_NOTE),
        line("Транспонированная матрица (Thrust): первый элемент", "result"),
    ],
    "gputune": [
        line("=== Бенчмарк копирования памяти ==="),
        line("H2D normal time", "time", "ms", 40 * MIB),
        line("D2H normal time", "time", "ms", 40 * MIB),
        line(""),
        line("=== Бенчмарк копирования памяти ==="),
        line("H2D pinned time", "time", "ms", 40 * MIB),
        line("D2H pinned time", "time", "ms", 40 * MIB),
        line(""),
        line("=== Оптимизация векторного сложения ==="),
        line("Оптимальный размер данных", "data_size", "элементов"),
        line("Оптимальный размер блока", "block_size", "потоков"),
        # Two inputs read and the sum written, 4 bytes each, per element.
        line("Минимальное время выполнения", "time", "ms", lambda size: 12 * size),
        line(""),
        line("=== Оптимизация скалярного произведения ==="),
        line("Оптимальный размер данных", "data_size", "элементов"),
        line("Оптимальный размер блока", "block_size", "потоков"),
        # Two inputs read, 4 bytes each, per element (the one atomic addition per block aside).
        line("Минимальное время выполнения", "time", "ms", lambda size: 8 * size),
    ],
}
PROGRAMS = ("vecmat", "gputune")


def pattern(form):
    if form["kind"] is None:
        return re.compile(re.escape(form["label"]))
    unit = " " + re.escape(form["unit"]) if form["unit"] else ""
    return re.compile(re.escape(form["label"]) + ": " + NUMBER + unit)


def parse_report(program, text):
    """The report's lines, each read against the program's report; a list of (form, section,
    value) for the lines that hold a number. Raises Failure quoting the first line that does not
    match, or naming the line that is missing."""
    report = REPORTS[program]
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    else:
        raise Failure("%s: its output does not end in a line end: %r" % (program, lines[-1] if lines else ""))
    read, section = [], None
    for number, text_line in enumerate(lines, 1):
        if number > len(report):
            raise Failure("%s printed a line after its %d: %r" % (program, len(report), text_line))
        form = report[number - 1]
        match = pattern(form).fullmatch(text_line)
        if not match:
            raise Failure("%s printed line %d as %r; its report has %r there" % (
                program, number, text_line, example(form)))
        if form["kind"] is None:
            if form["label"]:
                section = form["label"].strip("= ")
            continue
        read.append((form, section, float(match.group(1))))
    if len(lines) < len(report):
        raise Failure("%s printed %d lines; its report has %d (the next: %r)" % (
            program, len(lines), len(report), example(report[len(lines)])))
    return read


def example(form):
    if form["kind"] is None:
        return form["label"]
    return "%s: <number>%s" % (form["label"], " " + form["unit"] if form["unit"] else "")


def aggregate(values):
    """Median, min, max and spread ((max - min) / median, in percent; None where the median is
    zero and the values differ)."""
    median, low, high = statistics.median(values), min(values), max(values)
    if median > 0:
        spread = (high - low) / median * 100
    else:
        spread = 0.0 if high == low else None
    return {"median": median, "min": low, "max": high, "spread_percent": spread}


def build_program(program, outputs):
    """A program's part of the record from the outputs of its successful runs."""
    entries = []
    for run in outputs:
        for index, (form, section, value) in enumerate(parse_report(program, run)):
            if len(entries) <= index:
                entries.append({"section": section, "label": form["label"], "unit": form["unit"],
                                "kind": form["kind"], "values": [], "form": form})
            entries[index]["values"].append(value)
    size = None
    for entry in entries:
        form = entry.pop("form")
        if entry["kind"] == "data_size":
            size = entry
        if entry["kind"] == "block_size":
            counts = {}
            for pair in zip(size["values"], entry["values"]):
                counts[pair] = counts.get(pair, 0) + 1
            winners = [{"data_size": int(d), "block_size": int(b), "runs": n}
                       for (d, b), n in sorted(counts.items(), key=lambda item: -item[1])]
        if entry["kind"] != "time":
            continue
        entry.update(aggregate(entry["values"]))
        bytes_moved = form["bytes"]
        if callable(bytes_moved):
            entry["winners"] = winners
            entry["bytes"] = [bytes_moved(int(d)) for d in size["values"]]
        elif bytes_moved:
            entry["bytes"] = [bytes_moved] * len(entry["values"])
        else:
            entry["bytes"] = None
        entry["throughput_gb_s"] = None
        if entry["bytes"]:
            # GB/s, decimal: bytes / (ms / 1e3) / 1e9. None for a run whose time is zero.
            rates = [b / ms / 1e6 if ms > 0 else None for b, ms in zip(entry["bytes"], entry["values"])]
            entry["throughput_gb_s"] = {"values": rates}
            if None not in rates:
                entry["throughput_gb_s"].update(aggregate(rates))
        if form["note"]:
            entry["note"] = form["note"]
    return entries


# ---- what the record says about the machine and the build ----

def cmake_values(path, cache=False):
    """NAME -> value from a CMakeCache.txt ("NAME:TYPE=value") or a CMake*Compiler.cmake
    ('set(NAME "value")')."""
    values = {}
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            for text in f:
                entry = re.match(r"([A-Za-z_][A-Za-z0-9_]*):[A-Z]+=(.*)$", text) if cache else \
                    re.match(r'set\(([A-Za-z_][A-Za-z0-9_]*) "(.*)"\)$', text.strip())
                if entry:
                    values[entry.group(1)] = entry.group(2)
    except OSError:
        pass
    return values


def build_facts(build_dir, kind):
    """The toolkit, the host compiler and CCCL the build was configured with, read from its
    CMakeCache.txt and CMake's compiler files."""
    cache = cmake_values(os.path.join(build_dir, "CMakeCache.txt"), cache=True)
    cmake_version = ".".join(cache.get("CMAKE_CACHE_%s_VERSION" % p, "") for p in ("MAJOR", "MINOR", "PATCH"))
    files = os.path.join(build_dir, "CMakeFiles", cmake_version)
    cxx = cmake_values(os.path.join(files, "CMakeCXXCompiler.cmake"))
    facts = {"toolkit": {"version": None, "folder": None},
             "host_compiler": {"id": cxx.get("CMAKE_CXX_COMPILER_ID"), "version": cxx.get("CMAKE_CXX_COMPILER_VERSION"),
                               "path": cache.get("CMAKE_CXX_COMPILER")},
             "cccl_version": None}
    if kind == "cuda":
        cuda = cmake_values(os.path.join(files, "CMakeCUDACompiler.cmake"))
        facts["toolkit"] = {"version": cuda.get("CMAKE_CUDA_COMPILER_TOOLKIT_VERSION"),
                            "folder": cuda.get("CMAKE_CUDA_COMPILER_TOOLKIT_ROOT"),
                            "nvcc": cache.get("CMAKE_CUDA_COMPILER")}
        # nvcc's host compiler: the one CMake found nvcc using (its "simulated" compiler).
        facts["nvcc_host_compiler"] = {"id": cuda.get("CMAKE_CUDA_SIMULATE_ID"),
                                       "version": cuda.get("CMAKE_CUDA_SIMULATE_VERSION"),
                                       "path": cache.get("CMAKE_CUDA_HOST_COMPILER") or None}
    else:
        include = cache.get("GPU_CUDA_INCLUDE_DIR", "")
        facts["toolkit"]["folder"] = cache.get("CUDAToolkit_ROOT") or os.path.dirname(include) or None
        runtime = read_text(os.path.join(include, "cuda_runtime_api.h"))
        version = re.search(r"^#define CUDART_VERSION +([0-9]+)", runtime, re.M)
        if version:
            facts["toolkit"]["version"] = "%d.%d" % (int(version.group(1)) // 1000, int(version.group(1)) % 1000 // 10)
    text = read_text(os.path.join(cache.get("CCCL_DIR", ""), "cccl-config-version.cmake"))
    parts = [re.search(r"set\(CCCL_VERSION_%s ([0-9]+)\)" % p, text) for p in ("MAJOR", "MINOR", "PATCH")]
    if all(parts):
        facts["cccl_version"] = ".".join(p.group(1) for p in parts)
    return facts


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def gpu_facts(root):
    """The GPU the programs run on (the first the driver reports) and the driver's CUDA version,
    from `scripts/find-gpu --describe`; None for each where it reports no GPU."""
    facts = {"gpu": None, "driver_cuda_version": None}
    try:
        answer = subprocess.run([os.path.join(root, "scripts", "find-gpu"), "--describe"], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, universal_newlines=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return facts
    if answer.returncode != 0:
        return facts
    for text in answer.stdout.splitlines():
        driver = re.fullmatch(r"driver ([0-9]+)", text)
        gpu = re.fullmatch(r"gpu ([0-9]+)(?: (.*))?", text)
        if driver:
            version = int(driver.group(1))
            facts["driver_cuda_version"] = "%d.%d" % (version // 1000, version % 1000 // 10)
        elif gpu and facts["gpu"] is None:
            capability = int(gpu.group(1))
            facts["gpu"] = {"name": gpu.group(2), "compute_capability": "%d.%d" % (capability // 10, capability % 10)}
    return facts


def cpu_model():
    text = read_text("/proc/cpuinfo")
    model = re.search(r"^(?:model name|Hardware|Model)\s*: *(.+)$", text, re.M)
    return model.group(1).strip() if model else (os.uname().machine or None)


def commit(root):
    try:
        answer = subprocess.run(["git", "-C", root, "rev-parse", "HEAD"], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, universal_newlines=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return answer.stdout.strip() if answer.returncode == 0 else None


# ---- the runs ----

def run_programs(bin_dir, repeat, show):
    """Runs each program `repeat` times, in turns, and stops at the first failure. The first
    run's output goes to standard output as the program printed it (an empty line between the
    two reports), and every run's standard error to ours after it. Returns the outputs of the
    runs that succeeded, per program, and the failure: None, or what the failed run printed and
    why it failed."""
    outputs = {program: [] for program in PROGRAMS}
    for run in range(repeat):
        if run == 1:
            note("running each program %d more time%s" % (repeat - 1, "s" if repeat > 2 else ""))
        for program in PROGRAMS:
            try:
                done = subprocess.run([os.path.join(bin_dir, program)], stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
            except OSError as error:
                return outputs, {"program": program, "run": run + 1, "reason": "cannot run: %s" % error.strerror}
            text = done.stdout.decode("utf-8", errors="replace")
            errors = done.stderr.decode("utf-8", errors="replace")
            if run == 0:
                show(("\n" if program != PROGRAMS[0] else "") + text)
            sys.stderr.write(errors)
            sys.stderr.flush()
            if done.returncode != 0:
                how = "exit status %d" % done.returncode if done.returncode > 0 else "signal %d" % -done.returncode
                return outputs, {"program": program, "run": run + 1, "reason": how, "output": text,
                                 "errors": errors}
            outputs[program].append(text)
    return outputs, None


def note(text):
    sys.stdout.flush()
    print("note: " + text, file=sys.stderr, flush=True)


def make_record(root, build_dir, kind, repeat, outputs, failed):
    """The record of the runs. A failed run, or a line that does not match its report, makes it
    a failed record: "ok" false, "failure" the one line that says why, and no measurements."""
    record = {"record": RECORD, "version": VERSION,
              "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
              "commit": commit(root), "build": kind}
    record.update(gpu_facts(root))
    record.update(build_facts(build_dir, kind))
    record.update({"cpu": cpu_model(), "runs": repeat, "ok": True, "failure": None, "programs": []})
    for program in PROGRAMS:
        entry = {"name": program, "runs_done": len(outputs[program]), "output": outputs[program], "lines": []}
        if failed and failed["program"] == program:
            entry["failed_run"] = failed
        record["programs"].append(entry)
    try:
        if failed:
            raise Failure("%s failed in run %d of %d (%s)" % (failed["program"], failed["run"], repeat, failed["reason"]))
        for entry in record["programs"]:
            entry["lines"] = build_program(entry["name"], entry["output"])
    except Failure as error:
        record.update({"ok": False, "failure": str(error)})
        for entry in record["programs"]:
            entry["lines"] = []
    return record


def figure(value):
    return "-" if value is None else "%.6g" % value


def print_table(record, out):
    runs = record["runs"]
    rows = []
    for program in record["programs"]:
        for entry in program["lines"]:
            if entry["kind"] != "time":
                continue
            label = entry["label"] if entry["section"] is None or "копирования" in entry["section"] else \
                "%s: %s" % (entry["section"], entry["label"])
            rate = entry["throughput_gb_s"]
            if rate and "median" in rate:
                throughput = "%.3g (%.3g-%.3g)" % (rate["median"], rate["min"], rate["max"])
            elif entry.get("note"):
                throughput = "none: whole-call"
            else:
                throughput = "-"
            spread = "-" if entry["spread_percent"] is None else "%.1f %%" % entry["spread_percent"]
            rows.append((program["name"], label, entry["unit"], figure(entry["median"]), figure(entry["min"]),
                         figure(entry["max"]), spread, throughput))
            if "winners" in entry:
                rows.append(("", "winners: " + "; ".join("%d elements, block %d: %d of %d" % (
                    w["data_size"], w["block_size"], w["runs"], runs) for w in entry["winners"]),) + ("",) * 6)
    head = ("program", "measurement", "unit", "median", "min", "max", "spread", "GB/s median (min-max)")
    widths = [max(len(row[i]) for row in rows + [head]) for i in range(len(head))]
    widths[1] = max(len(row[1]) for row in rows + [head] if row[0] or row == head)
    out("\n=== %d runs of each program ===\n" % runs)
    for row in [head] + rows:
        if not row[0] and row != head:
            out(" " * (widths[0] + 2) + row[1] + "\n")
            continue
        cells = [row[0].ljust(widths[0]), row[1].ljust(widths[1]), row[2].ljust(widths[2])]
        cells += [row[i].rjust(widths[i]) for i in (3, 4, 5, 6)] + [row[7]]
        out("  ".join(cells).rstrip() + "\n")
    out("GB/s: decimal (1e9 bytes per second), from the bytes each run moved: the 40 MiB copies, the dot\n"
        "product's two 4 MiB inputs, the transpose's 4 MiB read and 4 MiB written, the winning launches'\n"
        "inputs and outputs at their data size. Spread: (max - min) / median.\n"
        "The Thrust lines are " + THRUST_NOTE + ".\n")
    if record["build"] == "host":
        out("These are CPU figures: the host execution layer runs the programs on the CPU, not a GPU.\n")


def write_json(path, record):
    temporary = path + ".new"
    with open(temporary, "w", encoding="utf-8") as f:
        json.dump(record, f, ensure_ascii=False, indent=1)
        f.write("\n")
    os.replace(temporary, path)


def command_run(arguments):
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    build_dir = os.path.abspath(arguments.build)
    out = sys.stdout.write
    outputs, failed = run_programs(os.path.join(build_dir, "bin"), arguments.repeat,
                                   lambda text: (out(text), sys.stdout.flush()))
    record = make_record(root, build_dir, arguments.kind, arguments.repeat, outputs, failed)
    if arguments.json:
        write_json(arguments.json, record)
    if not record["ok"]:
        sys.stdout.flush()
        print("%s: %s%s" % (arguments.name, record["failure"],
                            "; the record says so: " + arguments.json if arguments.json else ""), file=sys.stderr)
        return 1
    if arguments.repeat > 1:
        print_table(record, out)
    if arguments.json:
        note("the record of the %d runs is in %s" % (arguments.repeat, arguments.json))
    return 0


# ---- comparison ----

def load(path):
    try:
        with open(path, encoding="utf-8") as f:
            record = json.load(f)
    except (OSError, ValueError) as error:
        raise Failure("cannot read %s: %s" % (path, getattr(error, "strerror", None) or error))
    if not isinstance(record, dict) or record.get("record") != RECORD:
        raise Failure("%s is not a record of scripts/run --json" % path)
    if record.get("version") != VERSION:
        raise Failure("%s is a record of version %r; this compares version %d" % (path, record.get("version"), VERSION))
    if not record.get("ok"):
        raise Failure("%s records a failed run (%s): nothing in it to compare" % (path, record.get("failure")))
    return record


def describe(record, what):
    if what == "GPUs":
        gpu = record.get("gpu")
        return "no GPU" if not gpu else "%s (compute capability %s)" % (gpu.get("name"), gpu.get("compute_capability"))
    if what == "builds":
        return record.get("build")
    return "CUDA %s" % (record.get("toolkit") or {}).get("version")


def verdict(old, new):
    """(ratio, change in percent, verdict) of two time entries: within noise when the change is no
    larger than the larger of the two spreads."""
    a, b = old["median"], new["median"]
    if a == b:
        return (1.0 if a else None), 0.0, "within noise"
    change = (b - a) / a * 100 if a else float("inf")
    spreads = [old.get("spread_percent"), new.get("spread_percent")]
    if None in spreads or abs(change) <= max(spreads):
        return (b / a if a else None), change, "within noise"
    return (b / a if a else None), change, "slower" if b > a else "faster"


def command_compare(arguments):
    old, new = load(arguments.old), load(arguments.new)
    for what in ("GPUs", "builds", "toolkits"):
        if describe(old, what) != describe(new, what):
            print("warning: the records come from different %s: %s and %s" % (what, describe(old, what), describe(new, what)),
                  file=sys.stderr, flush=True)

    def times(record):
        found = {}
        for program in record["programs"]:
            for entry in program["lines"]:
                if entry["kind"] == "time":
                    found[(program["name"], entry["section"], entry["label"])] = entry
        return found

    olds, news = times(old), times(new)
    rows, failing = [], []
    for key, entry in olds.items():
        if key not in news:
            continue
        ratio, change, said = verdict(entry, news[key])
        program, section, label = key
        name = label if section is None or "копирования" in section else "%s: %s" % (section, label)
        rows.append((program, name, entry["unit"], figure(entry["median"]), figure(news[key]["median"]),
                     "-" if ratio is None else "%.3f" % ratio, said))
        if said == "slower" and arguments.fail_if_slower is not None and change > arguments.fail_if_slower:
            failing.append("%s %s (%+.1f %%)" % (program, name, change))
    left = [k for k in olds if k not in news] + [k for k in news if k not in olds]
    if left:
        print("note: %d measurements are in one record only: %s" % (
            len(left), "; ".join("%s %s" % (k[0], k[2]) for k in left)), file=sys.stderr, flush=True)
    if not rows:
        raise Failure("%s and %s have no measurement in common" % (arguments.old, arguments.new))
    head = ("program", "measurement", "unit", "old median", "new median", "new/old", "verdict")
    widths = [max(len(row[i]) for row in rows + [head]) for i in range(len(head))]
    for row in [head] + rows:
        cells = [row[i].ljust(widths[i]) for i in (0, 1, 2)] + [row[i].rjust(widths[i]) for i in (3, 4, 5)] + [row[6]]
        print("  ".join(cells))
    print("old: %s, %s runs, %s; new: %s, %s runs, %s" % (
        arguments.old, old.get("runs"), old.get("date"), arguments.new, new.get("runs"), new.get("date")))
    if failing:
        print("compare: slower by more than %g %% and beyond the noise: %s" % (arguments.fail_if_slower, "; ".join(failing)),
              file=sys.stderr)
        return 1
    return 0


def main(argv):
    parser = argparse.ArgumentParser(prog="results.py")
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("run")
    run.add_argument("--build", required=True, help="the build folder, whose bin/ holds both programs")
    run.add_argument("--kind", required=True, choices=("cuda", "host"))
    run.add_argument("--repeat", type=int, default=1)
    run.add_argument("--json")
    run.add_argument("--name", default="run", help="the name that starts an error line")
    compare = commands.add_parser("compare", prog="scripts/compare")
    compare.add_argument("old", metavar="OLD.json")
    compare.add_argument("new", metavar="NEW.json")
    compare.add_argument("--fail-if-slower", type=float, metavar="PCT")
    arguments = parser.parse_args(argv)
    try:
        if arguments.command == "run":
            if arguments.repeat < 1:
                parser.error("--repeat must be 1 or more")
            return command_run(arguments)
        return command_compare(arguments)
    except Failure as error:
        print("%s: %s" % ("compare" if arguments.command == "compare" else arguments.name, error), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
