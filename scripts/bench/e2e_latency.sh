#!/bin/sh
# Copy-to-mail latency of the real desktop program: the median time from the xclip call to the
# mail accepted by a local SMTP server, over 50 copies of different URLs (confirmation
# "Just do it"), under Xvfb with a tray host. With SECURE=1 the server demands STARTTLS and a
# log-in (a certificate made by openssl for the run, its CA trusted through SSL_CERT_FILE).
#   [SECURE=1] scripts/bench/e2e_latency.sh [BIN_DIR] [COUNT]
# BIN_DIR holds the built ostrel and its data files (default build/dev/bin).
set -eu
here=$(cd "$(dirname "$0")/../.." && pwd)
bin=${1:-${OSTREL_BIN_DIR:-$here/build/dev/bin}}
count=${2:-50}
OSTREL_BIN_DIR=$(cd "$bin" && pwd) PYTHONPATH="$here/tests/support" COUNT=$count SECURE=${SECURE:-0} exec /usr/bin/python3 - <<'PY'
import os, statistics, time
import ostrel_e2e

count = int(os.environ["COUNT"])
secure = os.environ["SECURE"] == "1"
t = ostrel_e2e.TE2E(time_limit=60 + count * 10, secure=secure)
try:
    t.prepare("Confirm=2\r\nCheckHistory=1\r\n")
    t.start()
    times = []
    for i in range(count):
        quits = len(t.smtp.quits)
        at = t.copy("http://bench.example.com/page%03d.html" % i)
        if not t.smtp.wait_mails(i + 1, 10):
            raise SystemExit("copy %d: no mail within 10 s" % i)
        times.append((t.smtp.mails[i].at - at) * 1000)
        t.smtp.wait_quits(quits + 1, 5)  # the connection is over before the next copy
    times.sort()
    print(("STARTTLS+AUTH " if secure else "") + "copies: %d  median: %.1f ms  min: %.1f ms  p90: %.1f ms  max: %.1f ms"
          % (count, statistics.median(times), times[0], times[int(0.9 * (count - 1))], times[-1]))
finally:
    t.close()
PY
