#!/usr/bin/env bash
# Sending speed of our SMTP client next to Python's smtplib, against the same smtp-sink in the
# same run: 1000 request mails with one connection each (mails per second) and one 20 MiB mail
# (MB/s). Medians of 5 runs each.
#
#   scripts/bench/smtp.sh [build-folder]     (default: build/bench-release)
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/bench-release}
runs=5

if [ ! -x /usr/sbin/smtp-sink ]; then
    echo "smtp-sink not found: install the Debian package postfix (scripts/deps.sh test)" >&2
    exit 1
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_GUI=OFF -DOSTREL_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target smtp_bench >/dev/null
bench=$(find "$build" -type f -name smtp_bench -perm -u+x | head -n 1)

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
user_opt=()
[ "$(id -u)" -eq 0 ] && user_opt=(-u nobody)
/usr/sbin/smtp-sink "${user_opt[@]}" "127.0.0.1:$port" 256 >/dev/null 2>&1 &
sink=$!
out=$(mktemp)
trap 'kill "$sink" 2>/dev/null || true; wait "$sink" 2>/dev/null || true; rm -f "$out"' EXIT
for _ in $(seq 50); do
    /usr/bin/python3 -c "import socket; socket.create_connection(('127.0.0.1',$port)).close()" 2>/dev/null && break
    sleep 0.1
done

OSTREL_BENCH_SMTP="127.0.0.1:$port" "$bench" --benchmark_format=json --benchmark_out="$out" \
    --benchmark_out_format=json >/dev/null

/usr/bin/python3 - "$port" "$out" "$runs" <<'PY'
import json, smtplib, statistics, sys, time

port, out, runs = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])

def request_mails():
    body = "GET http://www.example.com/pub/files/archive-2026.zip"
    start = time.perf_counter()
    for _ in range(1000):
        msg = ("From:      <user@example.org>\r\nTo:       <getweb@example.net>\r\n"
               "Subject:  request\r\nMime-Version: 1.0\r\n"
               "Content-Type: text/plain; charset=\"us-ascii\"\r\n"
               "Content-Transfer-Encoding: 7bit\r\n\r\n" + body + "\r\n")
        s = smtplib.SMTP("127.0.0.1", port)
        s.helo()
        s.sendmail("user@example.org", ["getweb@example.net"], msg)
        s.quit()
    return 1000 / (time.perf_counter() - start)

def large_mail():
    size = 20 << 20
    line = "x" * 76
    start = time.perf_counter()
    lines = [line] * ((size + 77) // 78)
    msg = ("From:      <user@example.org>\r\nTo:       <getweb@example.net>\r\n"
           "Subject:  request\r\n\r\n" + "\r\n".join(lines) + "\r\n").encode("ascii")
    s = smtplib.SMTP("127.0.0.1", port)
    s.helo()
    s.sendmail("user@example.org", ["getweb@example.net"], msg)
    s.quit()
    return size / (time.perf_counter() - start) / 1e6

py_mails = statistics.median(request_mails() for _ in range(runs))
py_mbs = statistics.median(large_mail() for _ in range(runs))

ours_mails = ours_mbs = None
for b in json.load(open(out))["benchmarks"]:
    if b.get("aggregate_name") != "median":
        continue
    if b["run_name"].startswith("BM_RequestMails"):
        ours_mails = b["items_per_second"]
    elif b["run_name"].startswith("BM_LargeMail"):
        ours_mbs = b["bytes_per_second"] / 1e6

print(f"{'':28}{'ostrel':>12}{'smtplib':>12}{'ratio':>8}")
print(f"{'request mails per second':28}{ours_mails:12.0f}{py_mails:12.0f}{ours_mails / py_mails:8.2f}")
print(f"{'20 MiB mail, MB/s':28}{ours_mbs:12.1f}{py_mbs:12.1f}{ours_mbs / py_mbs:8.2f}")
PY
