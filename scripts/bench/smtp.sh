#!/usr/bin/env bash
# Sending speed of our SMTP client next to Python's smtplib, against the same servers in the
# same run: 1000 request mails with one connection each (mails per second) and one 20 MiB mail
# (MB/s) against smtp-sink; against an aiosmtpd that demands STARTTLS and AUTH (certificates
# made by openssl for the run), 200 request mails with one connection each, and a queue run of
# 100 mails over one session. Medians of 5 runs each.
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
tls=$(mktemp -d)
secure_port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
trap 'kill "$sink" "${secure:-}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$out" "$tls"' EXIT
(
    cd "$tls"
    ec="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
    openssl req -x509 $ec -keyout ca.key -out ca.pem -days 30 -subj "/CN=Bench CA" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>/dev/null
    openssl req $ec -keyout server.key -out server.csr -subj "/CN=localhost" 2>/dev/null
    printf 'subjectAltName=IP:127.0.0.1\n' >server.ext
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 30 \
        -extfile server.ext 2>/dev/null
)
cat >"$tls/server.py" <<'PY'
import signal, ssl, sys
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword
class Sink:
    async def handle_DATA(self, server, session, envelope):
        return "250 OK"
def authenticate(server, session, envelope, mechanism, data):
    return AuthResult(success=isinstance(data, LoginPassword) and data.password == b"bench-pw", handled=False)
context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
context.load_cert_chain(sys.argv[2] + "/server.pem", sys.argv[2] + "/server.key")
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGINT})
c = Controller(Sink(), hostname="127.0.0.1", port=int(sys.argv[1]), tls_context=context, require_starttls=True,
               authenticator=authenticate, auth_required=True, auth_require_tls=True)
c.start()
signal.sigwait({signal.SIGTERM, signal.SIGINT})
c.stop()
PY
/usr/bin/python3 "$tls/server.py" "$secure_port" "$tls" >/dev/null 2>&1 &
secure=$!
for p in "$port" "$secure_port"; do
    for _ in $(seq 50); do
        /usr/bin/python3 -c "import socket; socket.create_connection(('127.0.0.1',$p)).close()" 2>/dev/null && break
        sleep 0.1
    done
done

OSTREL_BENCH_SMTP="127.0.0.1:$port" OSTREL_BENCH_SECURE_SMTP="127.0.0.1:$secure_port" OSTREL_BENCH_USER=bench \
    OSTREL_BENCH_PASSWORD=bench-pw SSL_CERT_FILE="$tls/ca.pem" "$bench" --benchmark_format=json --benchmark_out="$out" \
    --benchmark_out_format=json >/dev/null

/usr/bin/python3 - "$port" "$out" "$runs" "$secure_port" "$tls/ca.pem" <<'PY'
import json, smtplib, ssl, statistics, sys, time

port, out, runs, secure_port, ca = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
context = ssl.create_default_context(cafile=ca)

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

def request_message():
    return ("From:      <user@example.org>\r\nTo:       <getweb@example.net>\r\n"
            "Subject:  request\r\nMime-Version: 1.0\r\n"
            "Content-Type: text/plain; charset=\"us-ascii\"\r\n"
            "Content-Transfer-Encoding: 7bit\r\n\r\nGET http://www.example.com/pub/files/archive-2026.zip\r\n")

def secure_session():
    s = smtplib.SMTP("127.0.0.1", secure_port)
    s.ehlo()
    s.starttls(context=context)
    s.ehlo()
    s.login("bench", "bench-pw")
    return s

def secure_mails():
    start = time.perf_counter()
    for _ in range(200):
        s = secure_session()
        s.sendmail("user@example.org", ["getweb@example.net"], request_message())
        s.quit()
    return 200 / (time.perf_counter() - start)

def secure_queue():
    start = time.perf_counter()
    s = secure_session()
    for _ in range(100):
        s.sendmail("user@example.org", ["getweb@example.net"], request_message())
    s.quit()
    return 100 / (time.perf_counter() - start)

py_mails = statistics.median(request_mails() for _ in range(runs))
py_secure = statistics.median(secure_mails() for _ in range(runs))
py_queue = statistics.median(secure_queue() for _ in range(runs))
py_mbs = statistics.median(large_mail() for _ in range(runs))

ours_mails = ours_mbs = ours_secure = ours_queue = None
for b in json.load(open(out))["benchmarks"]:
    if b.get("aggregate_name") != "median":
        continue
    if b["run_name"].startswith("BM_RequestMails"):
        ours_mails = b["items_per_second"]
    elif b["run_name"].startswith("BM_LargeMail"):
        ours_mbs = b["bytes_per_second"] / 1e6
    elif b["run_name"].startswith("BM_SecureRequestMails"):
        ours_secure = b["items_per_second"]
    elif b["run_name"].startswith("BM_SecureQueueRun"):
        ours_queue = b["items_per_second"]

print(f"{'':28}{'ostrel':>12}{'smtplib':>12}{'ratio':>8}")
print(f"{'request mails per second':28}{ours_mails:12.0f}{py_mails:12.0f}{ours_mails / py_mails:8.2f}")
print(f"{'20 MiB mail, MB/s':28}{ours_mbs:12.1f}{py_mbs:12.1f}{ours_mbs / py_mbs:8.2f}")
print(f"{'STARTTLS+AUTH mails/s':28}{ours_secure:12.0f}{py_secure:12.0f}{ours_secure / py_secure:8.2f}")
print(f"{'queue run, one session/s':28}{ours_queue:12.0f}{py_queue:12.0f}{ours_queue / py_queue:8.2f}")
PY
