#!/bin/sh
# Ostrel at rest, beside the smallest tray program built the same way (tests/bench/tray_peer.cpp),
# in one run under Xvfb with a tray host: the time from starting the process to ready (Ostrel:
# its start-up has written "Log trimmed"; the peer: its event loop runs) and the resident memory
# (VmRSS) three seconds after ready. Medians and ranges over RUNS alternating starts of each;
# Ostrel starts as it does every day after the first, on a program folder and settings that are
# there already (the first start, which seeds the folder, is not counted).
#   scripts/bench/idle.sh [RUNS]
# Builds both, optimised, in build/bench.
set -eu
here=$(cd "$(dirname "$0")/../.." && pwd)
runs=${1:-9}
cmake -S "$here" -B "$here/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_TESTS=ON \
    -DOSTREL_BENCH=ON >/dev/null
cmake --build "$here/build/bench" -j"$(nproc)" --target ostrel tray_peer ostrel_data >/dev/null
OSTREL_BIN_DIR="$here/build/bench/bin" PEER="$here/build/bench/bench/tray_peer" RUNS=$runs \
    PYTHONPATH="$here/tests/support" exec /usr/bin/python3 - <<'PY'
import os, statistics, subprocess, time
import ostrel_e2e

runs = int(os.environ["RUNS"])
t = ostrel_e2e.TE2E(time_limit=60 + runs * 30)


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def measure(argv, ready, env):
    start = time.monotonic()
    p = subprocess.Popen(argv, env=env, cwd=t.path("work"), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        while not ready():
            if p.poll() is not None:
                raise SystemExit("%s ended at start" % argv[0])
            if time.monotonic() - start > 20:
                raise SystemExit("%s was not ready within 20 s" % argv[0])
            time.sleep(0.001)
        took = (time.monotonic() - start) * 1000
        time.sleep(3)
        return took, rss_kib(p.pid) / 1024.0
    finally:
        p.terminate()
        p.wait(10)


try:
    results = {"ostrel": [], "peer": []}
    icon = os.path.join(ostrel_e2e.BIN_DIR, "icons", "ostrel-bright-22.png")
    t.prepare()
    log = t.path("program", "DebugLog.Txt")

    def ostrel_ready():
        try:
            with open(log, "rb") as f:
                return b"Log trimmed" in f.read()
        except FileNotFoundError:
            return False
    for i in range(runs + 1):
        if os.path.exists(log):
            os.remove(log)
        took = measure([t.program], ostrel_ready, t.env())
        if i == 0:
            continue  # the first start seeds the program folder
        results["ostrel"].append(took)

        marker = t.path("work", "peer-ready")
        if os.path.exists(marker):
            os.remove(marker)
        env = dict(t.env(), TRAY_PEER_READY=marker)
        results["peer"].append(measure([os.environ["PEER"], icon], lambda: os.path.exists(marker), env))

    def line(name):
        ms = [r[0] for r in results[name]]
        mb = [r[1] for r in results[name]]
        return ("%-7s start to ready: median %6.1f ms (%.1f to %.1f)   RSS: median %5.1f MB (%.1f to %.1f)"
                % (name, statistics.median(ms), min(ms), max(ms), statistics.median(mb), min(mb), max(mb)))
    print("runs: %d, each program started alternately under Xvfb with trayer" % runs)
    print(line("ostrel"))
    print(line("peer"))
    o, p = results["ostrel"], results["peer"]
    print("ratio ostrel/peer: start %.2f, RSS %.2f"
          % (statistics.median([r[0] for r in o]) / statistics.median([r[0] for r in p]),
             statistics.median([r[1] for r in o]) / statistics.median([r[1] for r in p])))
finally:
    t.close()
PY
