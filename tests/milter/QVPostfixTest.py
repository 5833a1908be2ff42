#!/usr/bin/env python3
"""The filter inside a real Postfix: a private one on 127.0.0.1, started here and stopped at
the end, takes mail with swaks, passes it through `stowlet milter` and delivers it to files.

    QVPostfixTest.py STOWLET SAMPLE CORPUS_DIR [--bench N]

Each message of the corpus comes out whole and as `stowlet rewrite` rebuilds it (boundaries
aside), or unchanged where rewrite leaves it unchanged; then 500 messages from 8 clients at
once all arrive, none lost or twice. Exit 77 (skipped) where Postfix cannot be started: not
root, or no Postfix or swaks. With --bench N: N messages through Postfix with the filter and
without, messages per second.
"""
import concurrent.futures
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

stowlet, sample, corpus = sys.argv[1], sys.argv[2], sys.argv[3]
bench = int(sys.argv[sys.argv.index("--bench") + 1]) if "--bench" in sys.argv else 0


def skip(why):
    print(f"skipped: {why}")
    sys.exit(77)


if os.geteuid() != 0:
    skip("Postfix needs root to start")
for tool in ("postfix", "swaks"):
    if not shutil.which(tool) and not os.path.exists(f"/usr/sbin/{tool}"):
        skip(f"no {tool}")

work = tempfile.mkdtemp(prefix="stowlet-postfix-")
os.chmod(work, 0o755)
out = os.path.join(work, "out")
os.mkdir(out)
os.chmod(out, 0o1777)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


smtp_port, milter_port = free_port(), free_port()
milter_log = open(os.path.join(work, "milter.log"), "w")
filt = subprocess.Popen([stowlet, "milter", "--socket", f"inet:{milter_port}@127.0.0.1"],
                        stderr=milter_log)


os.makedirs(os.path.join(work, "queue"))
os.makedirs(os.path.join(work, "data"))
shutil.chown(os.path.join(work, "data"), "postfix")


def configure(with_filter):
    milters = f"inet:127.0.0.1:{milter_port}" if with_filter else ""
    with open(os.path.join(work, "main.cf"), "w") as f:
        f.write(f"""compatibility_level = 3.6
queue_directory = {work}/queue
data_directory = {work}/data
maillog_file = /dev/stdout
mail_owner = postfix
setgid_group = postdrop
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
myhostname = stowlet-test.localdomain
mydestination =
relay_domains =
mynetworks = 127.0.0.0/8
smtpd_relay_restrictions = permit_mynetworks, reject
smtpd_recipient_restrictions = permit_mynetworks, reject
default_transport = capture
relay_transport = capture
local_transport = capture
alias_maps =
alias_database =
smtputf8_enable = no
message_size_limit = 104857600
default_process_limit = 16
smtpd_milters = {milters}
milter_default_action = accept
milter_protocol = 6
""")
    with open(os.path.join(work, "master.cf"), "w") as f:
        f.write(f"""127.0.0.1:{smtp_port} inet n - n - 16 smtpd
  -o milter_macro_daemon_name=ORIGINATING
pickup unix n - n 60 1 pickup
cleanup unix n - n - 0 cleanup
qmgr unix n - n 300 1 qmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
verify unix - - n - 1 verify
flush unix n - n 1000? 0 flush
proxymap unix - - n - - proxymap
showq unix n - n - - showq
error unix - - n - - error
retry unix - - n - - error
discard unix - - n - - discard
anvil unix - - n - 1 anvil
scache unix - - n - 1 scache
postlog unix-dgram n - n - 1 postlogd
capture unix - n n - 8 pipe
  flags= user=nobody argv=/bin/sh {work}/deliver.sh
""")
    # Each message to a file of its own, made whole before it gets its name.
    with open(os.path.join(work, "deliver.sh"), "w") as f:
        f.write(f'f={out}/m.$$.$(date +%s%N); cat > "$f.tmp" && mv "$f.tmp" "$f"\n')


def postfix(*args):
    return subprocess.run(["postfix", "-c", work, *args], capture_output=True, text=True)


master = None


def start_postfix(with_filter):
    """Postfix's master in the foreground, a child of this test (its own messages then reach
    the log file: a machine without a system log would swallow them)."""
    global master
    configure(with_filter)
    log = open(os.path.join(work, "maillog"), "ab")
    master = subprocess.Popen(["postfix", "-c", work, "start-fg"], stdout=log,
                              stderr=subprocess.STDOUT)
    log.close()
    for _ in range(200):
        if master.poll() is not None:
            with open(os.path.join(work, "maillog")) as f:
                skip("Postfix would not start here: " + f.read()[-300:])
        try:
            socket.create_connection(("127.0.0.1", smtp_port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    sys.exit("Postfix does not listen")


def stop_postfix():
    global master
    if master is None:
        return
    postfix("stop")
    try:
        master.wait(timeout=30)
    except subprocess.TimeoutExpired:
        master.kill()
        master.wait()
    master = None


def send(path):
    done = subprocess.run(["swaks", "--server", f"127.0.0.1:{smtp_port}", "--from",
                           "a@example.org", "--to", "b@example.net", "--data", path,
                           "--suppress-data", "--hide-all"], capture_output=True)
    if done.returncode != 0:
        raise RuntimeError(f"swaks failed for {path}: {done.stderr.decode(errors='replace')}")


def delivered():
    return sorted(n for n in os.listdir(out) if n.startswith("m.") and not n.endswith(".tmp"))


def wait_for(count, seconds=60):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if len(delivered()) >= count:
            return
        time.sleep(0.02)
    sys.exit(f"{len(delivered())} of {count} messages delivered")


def normalised(data):
    data = data.replace(b"\r\n", b"\n")
    return re.sub(rb"[0-9A-Za-z]{28}", b"BOUNDARY", data)


def split(data):
    """The header and the body; the body without the line ends at its end (SMTP ends every
    message with one)."""
    at = data.find(b"\n\n")
    return data[:at + 1], data[at + 2:].rstrip(b"\n")


def field(header, name):
    m = re.search(rb"(?im)^" + name + rb":[ \t]*((?:.*)(?:\n[ \t].*)*)", header)
    return re.sub(rb"\s+", b" ", m.group(1)).strip() if m else None


failures = []
bench_done = False
try:
    # The filter is up before the server sends it mail.
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", milter_port), timeout=1).close()
            break
        except OSError:
            time.sleep(0.05)
    if bench:
        # The messages: SAMPLE itself, or each message of SAMPLE when it is a folder.
        sources = ([os.path.join(sample, n) for n in sorted(os.listdir(sample)) if n.endswith(".eml")]
                   if os.path.isdir(sample) else [sample])
        paths = []
        for k, source in enumerate(sources):
            with open(source, "rb") as f:
                data = f.read()
            if data.startswith(b"From "):
                data = data[data.find(b"\n") + 1:]
            paths.append(os.path.join(work, f"bench-{k}.eml"))
            with open(paths[-1], "wb") as f:
                f.write(data)
        rates = {}
        for with_filter in (False, True, False, True):
            start_postfix(with_filter)
            before = len(delivered())
            began = time.perf_counter()
            with concurrent.futures.ThreadPoolExecutor(8) as pool:
                list(pool.map(lambda n: send(paths[n % len(paths)]), range(bench)))
            wait_for(before + bench, 300)
            rates.setdefault(with_filter, []).append(bench / (time.perf_counter() - began))
            stop_postfix()
            for old in os.listdir(out):
                os.remove(os.path.join(out, old))
        plain, filtered = max(rates[False]), max(rates[True])
        print(f"postfix {plain:.1f} msg/s, with the filter {filtered:.1f} msg/s, "
              f"ratio {filtered / plain:.2f}")
        bench_done = True

    if bench_done:
        raise SystemExit(0)
    start_postfix(True)
    defaults = os.path.join(work, "defaults.plist")
    names = sorted(n for n in os.listdir(corpus) if n.endswith(".eml")) if os.path.isdir(corpus) else []
    if not names:
        print(f"corpus: skipped, no messages in {corpus}")
    for k, name in enumerate(names):
        path = os.path.join(corpus, name)
        with open(path, "rb") as f:
            original = f.read()
        if original.startswith(b"From "):
            # A mailbox's separator row: mail over SMTP has none.
            original = original[original.find(b"\n") + 1:]
            path = os.path.join(work, name)
            with open(path, "wb") as f:
                f.write(original)
        if not re.match(rb"[!-9;-~]+:", original):
            # No header field first (a row of blanks, say): the server takes the whole
            # message for a body, and so does the filter. It must come through whole.
            send(path)
            wait_for(1)
            with open(os.path.join(out, delivered()[-1]), "rb") as f:
                if normalised(original).strip() not in normalised(f.read()):
                    failures.append(f"{name}: not delivered whole")
            for old in os.listdir(out):
                os.remove(os.path.join(out, old))
            continue
        rewritten = subprocess.run([stowlet, "--defaults", defaults, "rewrite", "-q", path],
                                   capture_output=True, check=True).stdout
        send(path)
        wait_for(1)
        with open(os.path.join(out, delivered()[-1]), "rb") as f:
            got = f.read()
        got_header, got_body = split(normalised(got))
        want_header, want_body = split(normalised(rewritten))
        if got_body != want_body:
            failures.append(f"{name}: the body is not the one rewrite writes")
            for suffix, data in (("got", got), ("want", rewritten)):
                with open(os.path.join(work, f"{name}.{suffix}"), "wb") as f:
                    f.write(data)
        if field(got_header, b"Content-Type") != field(want_header, b"Content-Type"):
            failures.append(f"{name}: Content-Type {field(got_header, b'Content-Type')} "
                            f"!= {field(want_header, b'Content-Type')}")
        if rewritten == original and got_body != split(normalised(original))[1]:
            failures.append(f"{name}: changed, though rewrite leaves it as it is")
        for old in os.listdir(out):
            os.remove(os.path.join(out, old))

    # The load: 500 messages from 8 clients at once, each marked with its number.
    with open(sample, "rb") as f:
        message = f.read()
    paths = []
    for n in range(500):
        path = os.path.join(work, f"load-{n}.eml")
        with open(path, "wb") as f:
            f.write(f"X-Load: {n}\n".encode() + message)
        paths.append(path)
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        list(pool.map(send, paths))
    wait_for(500)
    seen = []
    rebuilt = 0
    for name in delivered():
        with open(os.path.join(out, name), "rb") as f:
            data = f.read()
        m = re.search(rb"(?m)^X-Load: (\d+)$", data)
        seen.append(int(m.group(1)) if m else -1)
        rebuilt += b"multipart/mixed" in split(data)[0]
    if sorted(seen) != list(range(500)):
        failures.append(f"load: {len(seen)} delivered, {len(set(seen))} distinct of 500")
    if rebuilt != 500:
        failures.append(f"load: {rebuilt} of 500 rebuilt")
finally:
    stop_postfix()
    filt.terminate()
    filt.wait(timeout=30)
    milter_log.close()
    if not failures:
        shutil.rmtree(work, ignore_errors=True)

if failures:
    print("\n".join(failures))
    with open(os.path.join(work, "milter.log")) as f:
        print(f.read()[-2000:])
    sys.exit(1)
print(f"postfix: {len(names)} corpus messages and 500 under load, as rewrite writes them")
