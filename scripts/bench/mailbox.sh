#!/usr/bin/env bash
# Fetching speed of ostrel-cli fetch beside Python's imaplib, against one Dovecot of the run's
# own (certificates made by openssl for the run), IMAP with TLS on loopback:
#   - 200 replies (about 10 KB each) fetched into an empty program folder, against imaplib
#     logging in, opening the folder and fetching the same 200 mails (BODY.PEEK[]) in one session;
#   - the same imaplib session as a command of its own (python3 started, the session, exit),
#     timed from start to exit as ostrel-cli is;
#   - a fetch with nothing new (the same folder fetched again): the whole command, from start to
#     exit (TLS, log-in, the listing of new mail, log-out);
#   - with OSTREL_BENCH_WRITER_MIB=N (say 1500), also 200 replies, and 3 replies from a folder of
#     their own, each fetched while N MiB written by another program still wait to be written to
#     the same file system (the fetch must not wait for them).
# Each figure is the median of OSTREL_BENCH_RUNS runs (5), each run on a new program folder that
# holds the history of the 200 requests, its data files given before the timing starts.
#
# On ext4 without a journal, making a file scans past every inode deleted in the last one to five
# minutes. The program folders are deleted at the end, yet our times still grow over the runs of
# an invocation and from one invocation to the next (150 to 300 ms; imaplib, which makes no files,
# stays), the profile then showing the inode allocator's check of recently deleted inodes. The
# first runs on a quiet disk are the ones to compare; give the range, not the best run. A
# journaled ext4, as desktops have, makes no such check: TMPDIR=/a/folder/there puts the run's
# folders on it.
#
#   scripts/bench/mailbox.sh [build-folder]     (default: build/bench-release)
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/bench-release}
runs=${OSTREL_BENCH_RUNS:-5}

[ -x /usr/sbin/dovecot ] || { echo "dovecot not found: install dovecot-imapd and dovecot-pop3d (scripts/deps.sh test)" >&2; exit 1; }
if [ ! -x "$build/bin/ostrel-cli" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_GUI=OFF >/dev/null
    cmake --build "$build" -j2 --target ostrel-cli >/dev/null
fi

OSTREL_CLI="$build/bin/ostrel-cli" OSTREL_BENCH_RUNS=$runs OSTREL_BENCH_WRITER_MIB=${OSTREL_BENCH_WRITER_MIB:-0} PYTHONPATH="$root/tests/support" \
    /usr/bin/python3 - <<'PY'
import imaplib, os, shutil, ssl, statistics, subprocess, tempfile, time
from dovecot_peer import TDovecot, USER, PASSWORD
from ostrel_e2e import make_certificates

cli, runs = os.environ["OSTREL_CLI"], int(os.environ["OSTREL_BENCH_RUNS"])
writer_mib = int(os.environ["OSTREL_BENCH_WRITER_MIB"])
work = tempfile.mkdtemp()
peer = None
homes = []
os.chmod(work, 0o755)  # the mail server runs as nobody when started by root
try:
    os.makedirs(os.path.join(work, "certs"))
    ca, cert, key = make_certificates(os.path.join(work, "certs"))
    os.makedirs(os.path.join(work, "dovecot"))
    peer = TDovecot(os.path.join(work, "dovecot"), cert, key)
    filler = "x" * 10000
    for i in range(200):
        peer.deliver(("From: www4mail@example.org\r\nTo: reader@example.net\r\nSubject: Re: http://example.com/%d.txt"
                      "\r\nMessage-ID: <b%d@example.org>\r\nContent-Type: text/plain\r\n\r\nreply %d %s\r\n"
                      % (i, i, i, filler)).encode())
    # Three replies in a folder of their own ("Few", a Maildir++ subfolder).
    few = os.path.join(peer.maildir, ".Few")
    for sub in ("", "cur", "new", "tmp"):
        os.makedirs(os.path.join(few, sub), exist_ok=True)
        os.chown(os.path.join(few, sub), peer.uid, peer.gid)
    for i in range(3):
        path = os.path.join(few, "new", "%d.few%d.bench" % (int(time.time()), i))
        with open(path, "wb") as f:
            f.write(("From: www4mail@example.org\r\nTo: reader@example.net\r\nSubject: Re: http://example.com/%d.txt"
                     "\r\nMessage-ID: <f%d@example.org>\r\nContent-Type: text/plain\r\n\r\nreply %d %s\r\n"
                     % (i, i, i, filler)).encode())
        os.chown(path, peer.uid, peer.gid)

    def ours(folder="INBOX", expected=200, fetches=2, before=None):
        home = tempfile.mkdtemp(dir=work)
        os.makedirs(os.path.join(home, "config", "ostrel"))
        with open(os.path.join(home, "config", "ostrel", "OSTREL.INI"), "w") as f:
            # LocalRoot as the program records it at its first run: a one-time write, not timed.
            f.write("[General]\r\nEmail=reader@example.net\r\nLocalRoot=%s/\r\n[Servers]\r\nSMTP=127.0.0.1:9\r\n"
                    "[Mailbox]\r\nProtocol=IMAP\r\nServer=127.0.0.1:%d\r\nSecurity=TLS\r\nUser=%s\r\nFolder=%s\r\n"
                    % (os.path.join(home, "program"), peer.ports["imaps"], USER, folder))
        env = {"PATH": "/usr/bin:/bin", "HOME": home, "XDG_CONFIG_HOME": os.path.join(home, "config"),
               "OSTREL_HOME": os.path.join(home, "program"), "SSL_CERT_FILE": ca,
               "OSTREL_MAILBOX_PASSWORD": PASSWORD, "DBUS_SESSION_BUS_ADDRESS": "disabled:"}
        # The program folder as a user has it: its data files given at first use (not timed) and
        # the history of the 200 requests the replies answer.
        subprocess.run([cli, "history"], env=env, capture_output=True, check=True)
        with open(os.path.join(home, "program", "History.Dat"), "w") as f:
            f.write("".join("http://example.com/%d.txt via www4mail@example.org on 12/01/26 10:00:00\r\n" % i
                            for i in range(200)))
        if before:
            before()
        times = []
        for _ in range(fetches):
            start = time.perf_counter()
            r = subprocess.run([cli, "fetch"], env=env, capture_output=True, text=True)
            times.append(time.perf_counter() - start)
            if r.returncode != 0:
                raise SystemExit("ostrel-cli fetch failed: " + r.stderr)
            if len(times) == 1 and r.stdout.count("saved: ") != expected:
                raise SystemExit("ostrel-cli fetch saved %d files, not %d" % (r.stdout.count("saved: "), expected))
            if len(times) == 2 and r.stdout:
                raise SystemExit("the second fetch saved something: " + r.stdout)
        # Removed at the end: thousands of files deleted just before the next run's files are
        # made would slow the file system's choice of free inodes for that run alone.
        homes.append(home)
        return times

    def python():
        # Its TLS context is made inside the timing, as ostrel-cli makes its own.
        start = time.perf_counter()
        context = ssl.create_default_context(cafile=ca)
        imap = imaplib.IMAP4_SSL("127.0.0.1", peer.ports["imaps"], ssl_context=context)
        imap.login(USER, PASSWORD)
        imap.select("INBOX", readonly=True)
        typ, data = imap.uid("FETCH", "1:*", "(BODY.PEEK[])")
        got = sum(1 for d in data if isinstance(d, tuple))
        imap.logout()
        elapsed = time.perf_counter() - start
        if got != 200:
            raise SystemExit("imaplib fetched %d mails" % got)
        return elapsed

    # The same session as a command of its own, timed like ostrel-cli: from start to exit.
    script = (
        "import imaplib, ssl, sys\n"
        "imap = imaplib.IMAP4_SSL('127.0.0.1', %d, ssl_context=ssl.create_default_context(cafile=%r))\n"
        "imap.login(%r, %r)\n"
        "imap.select('INBOX', readonly=True)\n"
        "typ, data = imap.uid('FETCH', '1:*', '(BODY.PEEK[])')\n"
        "imap.logout()\n"
        "sys.exit(0 if sum(1 for d in data if isinstance(d, tuple)) == 200 else 1)\n"
        % (peer.ports["imaps"], ca, USER, PASSWORD))

    def python_command():
        start = time.perf_counter()
        r = subprocess.run(["/usr/bin/python3", "-c", script])
        elapsed = time.perf_counter() - start
        if r.returncode != 0:
            raise SystemExit("the imaplib command did not fetch 200 mails")
        return elapsed

    big = os.path.join(work, "unwritten")

    def another_program_writes():
        # Written and not flushed: it waits in memory to be written to the disk.
        subprocess.run(["sync"], check=True)
        chunk = b"\0" * (1 << 20)
        with open(big, "wb") as f:
            for _ in range(writer_mib):
                f.write(chunk)

    def beside_writer(folder, expected):
        try:
            return ours(folder, expected, 1, another_program_writes)[0]
        finally:
            if os.path.exists(big):
                os.unlink(big)

    full, empty, peers, commands, loaded, few_loaded = [], [], [], [], [], []
    for _ in range(runs):
        a, b = ours()
        full.append(a)
        empty.append(b)
        peers.append(python())
        commands.append(python_command())
        if writer_mib:
            loaded.append(beside_writer("INBOX", 200))
            few_loaded.append(beside_writer("Few", 3))
    med = statistics.median
    print("200 replies, IMAP over TLS (median of %d runs, each on a new program folder):" % runs)
    print("  ostrel-cli fetch          %7.1f ms   (runs %.1f .. %.1f)" % (med(full) * 1e3, min(full) * 1e3, max(full) * 1e3))
    print("  imaplib, one session      %7.1f ms   (runs %.1f .. %.1f)" % (med(peers) * 1e3, min(peers) * 1e3, max(peers) * 1e3))
    print("  ratio ours / imaplib      %7.2f" % (med(full) / med(peers)))
    print("  imaplib as a command      %7.1f ms   (runs %.1f .. %.1f; python3 started, the same session, ended)"
          % (med(commands) * 1e3, min(commands) * 1e3, max(commands) * 1e3))
    print("  ratio ours / that command %7.2f" % (med(full) / med(commands)))
    print("a fetch with nothing new    %7.1f ms   (runs %.1f .. %.1f; aim: under 100 ms)"
          % (med(empty) * 1e3, min(empty) * 1e3, max(empty) * 1e3))
    if writer_mib:
        print("while %d MiB of another program wait to be written:" % writer_mib)
        print("  200 replies               %7.1f ms   (runs %.1f .. %.1f)" % (med(loaded) * 1e3, min(loaded) * 1e3, max(loaded) * 1e3))
        print("  3 replies                 %7.1f ms   (runs %.1f .. %.1f)" % (med(few_loaded) * 1e3, min(few_loaded) * 1e3, max(few_loaded) * 1e3))
finally:
    if peer is not None:
        peer.stop()
    shutil.rmtree(work, ignore_errors=True)
PY
