#!/usr/bin/env python3
"""Runs a command and prints its wall time and peak resident memory.

usage: peak-memory.py LABEL SIZE_BYTES -- COMMAND...
"""
import resource
import subprocess
import sys
import time

label, size = sys.argv[1], int(sys.argv[2])
command = sys.argv[sys.argv.index("--") + 1:]
start = time.perf_counter()
with open("/dev/null", "wb") as sink:
    result = subprocess.run(command, stdout=sink, stderr=subprocess.DEVNULL)
elapsed = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
if result.returncode != 0:
    sys.exit(f"{label}: exit {result.returncode}")
print(f"{label}: {elapsed * 1000:.1f} ms, peak resident {peak / 2**20:.1f} MiB "
      f"= {peak / size:.2f} x the message ({size / 2**20:.1f} MiB)")
