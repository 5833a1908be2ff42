#!/usr/bin/env python3
"""One run of the peers: `stowlet rewrite`, the same restructuring with GMime, with Python's
email package, and the copy floor, alternating, on Mail-format messages of 1, 10, 50 and
200 MB; then the in-process benchmarks. Prints one table and writes bench/RESULTS.md.

    run-peers.py BUILD_DIR [ROUNDS]
"""
import datetime
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import time
from email import policy
from email.parser import BytesParser

HERE = os.path.dirname(os.path.abspath(__file__))
build = os.path.abspath(sys.argv[1])
rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
work = os.path.join(build, "peers")
os.makedirs(work, exist_ok=True)
stowlet = os.path.join(build, "stowlet")
defaults = os.path.join(work, "defaults.plist")

tools = {
    "stowlet": lambda i, o: [stowlet, "--defaults", defaults, "rewrite", "-q", "--keep-html", i, "-o", o],
    "gmime": lambda i, o: [os.path.join(build, "bench", "gmime-restructure"), i, o],
    "python": lambda i, o: ["/usr/bin/python3", os.path.join(HERE, "peers", "email-restructure.py"), i, o],
    "floor": lambda i, o: [os.path.join(build, "bench", "copy-floor"), i, o],
}


def fresh(output):
    """Every tool starts alike: its output file gone and the file system's dirty data
    written, so that no tool pays for another's writes."""
    if output and os.path.exists(output):
        os.remove(output)
    os.sync()


def run(command, output=None, back_to_back=False):
    """Wall time of one run of the command itself (no wrapper process in the timing).
    Back to back, the previous run's output is still there, its data not yet written out:
    the run replaces it, as a second run over the same output or a batch does."""
    if not back_to_back:
        fresh(output)
    start = time.perf_counter()
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"{command[0]} failed: {done.stderr.decode(errors='replace')}")
    return elapsed


def peak_memory(command, output=None, stdin_file=None):
    """Peak resident memory of one run, in a run of its own that is not timed. GNU time
    reports it: a child of this interpreter would count the interpreter's pages. With
    `stdin_file`, the message comes through a pipe."""
    fresh(output)
    peak_file = os.path.join(work, "peak")
    if stdin_file is None:
        done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak_file] + command,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    else:
        with open(stdin_file, "rb") as f:
            data = f.read()
        done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak_file] + command,
                              input=data, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if done.returncode != 0:
        sys.exit(f"{command[0]} failed: {done.stderr.decode(errors='replace')}")
    with open(peak_file) as f:
        return int(f.read().split()[-1]) * 1024


def check(tool, path):
    """The output must read as a multipart/mixed with attachments (the floor copies)."""
    if tool == "floor":
        return
    with open(path, "rb") as f:
        message = BytesParser(policy=policy.compat32).parse(f)
    parts = [p for p in message.walk() if not p.is_multipart()]
    dispositions = [str(p.get("Content-Disposition", "")).split(";")[0] for p in parts]
    if message.get_content_type() != "multipart/mixed" or "attachment" not in dispositions:
        sys.exit(f"{tool}: its output is not the restructured message")


def message(size_mb):
    path = os.path.join(work, f"message-{size_mb}.eml")
    if not os.path.exists(path):
        subprocess.run([os.path.join(build, "bench", "stowlet-make-message"), str(size_mb), path],
                       check=True)
    return path


def small_message():
    path = os.path.join(work, "message-10k.eml")
    with open(os.path.join(HERE, "..", "resources", "samples", "mail-with-pictures.eml"), "rb") as f:
        data = f.read()
    while len(data) < 10 * 1024:
        data = data.replace(b"\n--Apple-Mail=_9A2D4F10-6B3E-4E7A-8C21-7D5E3F4A6B02--",
                            b"\nMORE\n--Apple-Mail=_9A2D4F10-6B3E-4E7A-8C21-7D5E3F4A6B02--", 1)
        data = data.replace(b"MORE", b"MORE MORE MORE MORE MORE MORE MORE MORE", 1)
    with open(path, "wb") as f:
        f.write(data)
    return path


# Start-up first, on a quiet machine: alternating runs on a 10 KB message.
tiny = small_message()
startup_samples = {"stowlet": [], "floor": []}
for _ in range(max(rounds, 40)):
    for tool in startup_samples:
        out = os.path.join(work, "out-tiny.eml")
        startup_samples[tool].append(run(tools[tool](tiny, out), out))
startup = {tool: statistics.median(samples) for tool, samples in startup_samples.items()}

rows = []
results = {}
for size_mb in (1, 10, 50, 200):
    source = message(size_mb)
    size = os.path.getsize(source)
    samples = {tool: [] for tool in tools}
    peaks = {tool: 0 for tool in tools}
    for tool, command in tools.items():
        out = os.path.join(work, f"out-{tool}.eml")
        peaks[tool] = peak_memory(command(source, out), out)
        if size_mb <= 50:
            check(tool, out)
    for r in range(rounds):
        for tool, command in tools.items():
            out = os.path.join(work, f"out-{tool}.eml")
            samples[tool].append(run(command(source, out), out))
    for tool in tools:
        median = statistics.median(samples[tool])
        results[(size_mb, tool)] = median
        rows.append((f"{size_mb} MB", tool, median * 1000, size / median / 1e6, peaks[tool] / 2**20,
                     peaks[tool] / size))

# Back to back, 50 MB: each run replaces the previous run's output, with no sync between.
back_to_back = {"stowlet": [], "floor": []}
source = message(50)
for tool in back_to_back:
    run(tools[tool](source, os.path.join(work, f"b2b-{tool}.eml")))
for r in range(max(rounds, 7)):
    for tool in back_to_back:
        out = os.path.join(work, f"b2b-{tool}.eml")
        back_to_back[tool].append(run(tools[tool](source, out), out, back_to_back=True))
b2b = {tool: statistics.median(samples) for tool, samples in back_to_back.items()}
pipe_peak = peak_memory(tools["stowlet"]("-", os.path.join(work, "out-pipe.eml")),
                        os.path.join(work, "out-pipe.eml"), stdin_file=source)
pipe_size = os.path.getsize(source)


def mailbox(size_mb):
    """An mbox of about `size_mb` MB of 1 MB Mail-format messages, each with its separator."""
    path = os.path.join(work, f"mailbox-{size_mb}.mbox")
    if not os.path.exists(path):
        with open(message(1), "rb") as f:
            one = b"From bench@example.org Thu Jan  1 00:00:00 2026\n" + f.read() + b"\n\n"
        with open(path, "wb") as f:
            for _ in range(max(1, size_mb * 2**20 // len(one))):
                f.write(one)
    return path


# A mailbox rewritten message by message holds about one message, never the mailbox: to a
# file, and in place (a copy of the mailbox each time).
box = mailbox(200)
box_size = os.path.getsize(box)
box_out = os.path.join(work, "out-mailbox.mbox")
box_peak = peak_memory(tools["stowlet"](box, box_out), box_out)
box_ms = statistics.median(run(tools["stowlet"](box, box_out), box_out) for _ in range(3)) * 1000
in_place = os.path.join(work, "in-place.mbox")
subprocess.run(["cp", box, in_place], check=True)
box_in_place_peak = peak_memory([stowlet, "--defaults", defaults, "rewrite", "-q", "--keep-html",
                                 "-i", in_place])



def corpus_mailbox(count=10000):
    """The shared corpus's real messages repeated to `count` messages in one mbox, each with
    its separator and its "From " rows quoted; None when the corpus is not beside the checkout."""
    folder = os.path.join(HERE, "..", "..", "shared", "corpus", "real")
    names = sorted(n for n in os.listdir(folder) if n.endswith(".eml")) if os.path.isdir(folder) else []
    if not names:
        return None
    path = os.path.join(work, f"corpus-{count}.mbox")
    if not os.path.exists(path):
        messages = []
        for name in names:
            with open(os.path.join(folder, name), "rb") as f:
                data = f.read()
            data = (b">" + data if data.startswith(b"From ") else data).replace(b"\nFrom ", b"\n>From ")
            messages.append(b"From bench@example.org Thu Jan  1 00:00:00 2026\n" + data.rstrip(b"\n") + b"\n\n")
        with open(path, "wb") as f:
            for k in range(count):
                f.write(messages[k % len(messages)])
    return path


# The corpus's messages as a mailbox: rebuilt on every core (and on one) against a plain copy
# of the file, alternating.
corpus_box = corpus_mailbox()
corpus_times = {}
if corpus_box:
    corpus_tools = {
        "stowlet": [stowlet, "--defaults", defaults, "rewrite", "-q"],
        "stowlet -j1": [stowlet, "--defaults", defaults, "rewrite", "-q", "-j1"],
    }
    corpus_samples = {name: [] for name in list(corpus_tools) + ["floor"]}
    corpus_out = os.path.join(work, "out-corpus.mbox")
    for r in range(max(3, rounds // 2)):
        for name, command in corpus_tools.items():
            corpus_samples[name].append(run(command + [corpus_box, "-o", corpus_out], corpus_out))
        corpus_samples["floor"].append(run(tools["floor"](corpus_box, corpus_out), corpus_out))
    corpus_times = {name: statistics.median(v) for name, v in corpus_samples.items()}
    os.remove(corpus_out)

# The filter inside a real Postfix (root only): messages per second through Postfix with
# and without it, 8 clients sending, on the corpus and on 5 MB messages.
postfix_rates = {}
if os.geteuid() == 0:
    postfix_test = os.path.join(HERE, "..", "tests", "milter", "QVPostfixTest.py")
    for label, source, count in (("corpus", os.path.join(HERE, "..", "..", "shared", "corpus", "real"), 400),
                                 ("5 MB", message(5), 60)):
        if not os.path.exists(source):
            continue
        done = subprocess.run(["python3", postfix_test, stowlet, source, "-", "--bench", str(count)],
                              capture_output=True, text=True)
        found = re.search(r"postfix ([\d.]+) msg/s, with the filter ([\d.]+) msg/s", done.stdout)
        if found:
            postfix_rates[label] = (float(found.group(1)), float(found.group(2)))

lines = []
lines.append(f"Machine: {platform.machine()}, {os.cpu_count()} cores, "
             f"{platform.platform()}; {datetime.date.today().isoformat()}; {rounds} rounds, medians.")
lines.append("")
lines.append("| message | tool | median ms | MB/s | peak MiB | peak/size |")
lines.append("|---|---|---:|---:|---:|---:|")
for size, tool, ms, mbs, peak, ratio in rows:
    lines.append(f"| {size} | {tool} | {ms:.1f} | {mbs:.0f} | {peak:.1f} | {ratio:.2f} |")
lines.append("")
lines.append("| message | GMime / stowlet | Python / stowlet | stowlet / floor |")
lines.append("|---|---:|---:|---:|")
for size_mb in (1, 10, 50, 200):
    s = results[(size_mb, "stowlet")]
    lines.append(f"| {size_mb} MB | {results[(size_mb, 'gmime')] / s:.2f} | "
                 f"{results[(size_mb, 'python')] / s:.1f} | {s / results[(size_mb, 'floor')]:.2f} |")
lines.append("")
lines.append(f"Back to back, 50 MB (the output there, no sync between): "
             f"stowlet {b2b['stowlet'] * 1000:.1f} ms, floor {b2b['floor'] * 1000:.1f} ms")
lines.append(f"From a pipe, 50 MB: peak {pipe_peak / 2**20:.1f} MiB")
lines.append(f"Mailbox of {box_size / 1e6:.0f} MB (1 MB messages): to a file {box_ms:.0f} ms, "
             f"peak {box_peak / 2**20:.1f} MiB; in place, peak {box_in_place_peak / 2**20:.1f} MiB")
for label, (plain, filtered) in postfix_rates.items():
    lines.append(f"Postfix, {label} messages from 8 clients: {plain:.1f} msg/s alone, "
                 f"{filtered:.1f} msg/s with stowlet milter ({filtered / plain:.2f})")
if not postfix_rates:
    lines.append("Postfix with the filter: skipped (needs root and Postfix)")
if corpus_times:
    lines.append(f"Mailbox of the corpus repeated, 10000 messages ({os.path.getsize(corpus_box) / 1e6:.0f} MB): "
                 f"stowlet {corpus_times['stowlet'] * 1000:.0f} ms on {os.cpu_count()} cores, "
                 f"{corpus_times['stowlet -j1'] * 1000:.0f} ms on one, "
                 f"copy floor {corpus_times['floor'] * 1000:.0f} ms")
else:
    lines.append("Mailbox of the corpus: skipped, no ../shared/corpus/real beside the checkout")
lines.append(f"200 MB / 50 MB, stowlet: {results[(200, 'stowlet')] / results[(50, 'stowlet')]:.2f}")
lines.append(f"Start-up, 10 KB message: stowlet {startup['stowlet'] * 1000:.1f} ms, "
             f"floor {startup['floor'] * 1000:.1f} ms, "
             f"difference {(startup['stowlet'] - startup['floor']) * 1000:.1f} ms")
hook = subprocess.run([os.path.join(build, "bench", "stowlet-hook-peak"), message(50)],
                      capture_output=True, text=True, check=True).stdout
fields = dict(item.split("=") for item in hook.split())
hook_size, hook_base, hook_peak = (int(fields[k]) for k in ("size", "base", "peak"))
lines.append(f"Hook path in process, 50 MB: peak {hook_peak / 2**20:.1f} MiB, "
             f"{(hook_peak - hook_base) / hook_size:.2f} x the message above the "
             f"{hook_base / 2**20:.1f} MiB the process held before it "
             f"({hook_peak / hook_size:.2f} x with them)")
benchmarks = ""
measured = {}
for name in ("stowlet-core-bench", "stowlet-hook-bench"):
    json_file = os.path.join(work, name + ".json")
    done = subprocess.run([os.path.join(build, "bench", name), "--benchmark_min_time=0.5",
                           "--benchmark_out=" + json_file, "--benchmark_out_format=json"],
                          capture_output=True, text=True, check=True)
    benchmarks += done.stdout
    with open(json_file) as f:
        for b in json.load(f)["benchmarks"]:
            measured[b["name"]] = b


def bench_ms(name):
    b = measured[name]
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
    return b["real_time"] * scale


s50 = results[(50, "stowlet")]
stowlet_peak50 = next(r[5] for r in rows if r[0] == "50 MB" and r[1] == "stowlet")
startup_gap = (startup["stowlet"] - startup["floor"]) * 1000
goals = [
    ("rewrite 50 MB: GMime / stowlet", results[(50, "gmime")] / s50, ">=", 3),
    ("rewrite 50 MB: Python / stowlet", results[(50, "python")] / s50, ">=", 25),
    ("rewrite 50 MB: stowlet / floor", s50 / results[(50, "floor")], "<=", 1.3),
    ("rewrite 50 MB back to back: stowlet / floor", b2b["stowlet"] / b2b["floor"], "<=", 1.5),
    ("start-up, 10 KB: stowlet - floor (ms)", startup_gap, "<=", 5),
    ("peak memory, rewrite 50 MB from a file (x size)", stowlet_peak50, "<=", 1.3),
    ("peak memory, rewrite 50 MB from a pipe (x size)", pipe_peak / pipe_size, "<=", 1.3),
    ("peak memory, hook path 50 MB (x size)", (hook_peak - hook_base) / hook_size, "<=", 2.5),
    ("peak memory, mailbox 200 MB of 1 MB messages, to a file (MiB)", box_peak / 2**20, "<=", 64),
    ("peak memory, the same mailbox in place (MiB)", box_in_place_peak / 2**20, "<=", 64),
    ("200 MB / 50 MB, stowlet", results[(200, "stowlet")] / s50, "<=", 4.4),
] + [(f"Postfix with the filter / without, {label}", f / p, ">=", 0.8)
      for label, (p, f) in postfix_rates.items()] + ([("mailbox of the corpus, 10000 messages: stowlet / floor",
       corpus_times["stowlet"] / corpus_times["floor"], "<=", 1.3)] if corpus_times else []) + [
    ("manipulateParts 25 MB (GB/s)",
     measured["BM_ManipulateParts/25/real_time"]["bytes_per_second"] / 1e9, ">=", 1.5),
    ("removeTagsWithCids 1 MB, 20 ids (ms)", bench_ms("BM_RemoveTagsWithCids_1MB_20Ids"), "<", 20),
    ("hook's own cost 25 MB (ms)", bench_ms("BM_HookOwnCost_25MB/real_time"), "<", 15),
]
lines.append("")
lines.append("| goal | measured | target | |")
lines.append("|---|---:|---:|---|")
for label, value, op, target in goals:
    met = {">=": value >= target, "<=": value <= target, "<": value < target}[op]
    lines.append(f"| {label} | {value:.2f} | {op} {target} | {'met' if met else 'MISSED'} |")
table = "\n".join(lines)
print(table)
print(benchmarks)
with open(os.path.join(HERE, "RESULTS.md"), "w") as f:
    f.write("# Benchmark results\n\nThe latest `make bench`.\n\n" + table +
            "\n\n## In process\n\n```\n" + benchmarks + "```\n")
