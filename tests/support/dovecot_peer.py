"""A Dovecot of the test's own: IMAP and POP3 on free loopback ports, each plain (with STARTTLS)
and with TLS from the first byte, one user whose mail lies in a Maildir of a temp folder.

Its configuration lives in that folder (dovecot -F -c FILE); the system's Dovecot, if any, is
not touched. Run as root it serves mail as the unprivileged user nobody; otherwise as the user
who runs it, with the log-in processes' chroot off. A failed log-in is answered at once (no
auth-failure delay), so the wrong-password tests do not slow the ones after them.

Used from Python (the end-to-end runs and the benchmark import TDovecot) and from the C++ tests,
which start this file as a program: "dovecot_peer.py FOLDER CERT KEY" writes FOLDER/ports
(imap imaps pop3 pop3s) once every port answers and stops Dovecot at SIGTERM; a fourth
argument "rawlog" turns the traffic log on.

Mails are delivered the way a delivery agent does: written into Maildir/tmp and renamed into
Maildir/new. Flags live in the file names (":2,S" for seen), so a test reads them from there.
"""

import grp
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import time

DOVECOT = "/usr/sbin/dovecot"
USER = "reader"
PASSWORD = "secret-word"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, limit=15.0):
    end = time.time() + limit
    while time.time() < end:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


class TDovecot:
    def __init__(self, folder, cert, key, rawlog=False):
        if not os.path.exists(DOVECOT):
            raise RuntimeError("dovecot not found: install the Debian packages dovecot-imapd and dovecot-pop3d")
        self.folder = os.path.abspath(folder)
        self.ports = {name: free_port() for name in ("imap", "imaps", "pop3", "pop3s")}
        if os.geteuid() == 0:
            owner = pwd.getpwnam("nobody")
            internal = "nobody"
        else:
            owner = pwd.getpwuid(os.geteuid())
            internal = owner.pw_name
        self.uid, self.gid = owner.pw_uid, owner.pw_gid
        # The mail user must reach its home through the test's folder.
        os.chmod(self.folder, 0o755)
        for sub in ("run", "state", "home"):
            os.makedirs(os.path.join(self.folder, sub), exist_ok=True)
        self.home = os.path.join(self.folder, "home", USER)
        self.maildir = os.path.join(self.home, "Maildir")
        for sub in ("tmp", "new", "cur"):
            os.makedirs(os.path.join(self.maildir, sub), exist_ok=True)
        for root, dirs, _ in os.walk(self.home):
            os.chown(root, self.uid, self.gid)
        os.chown(self.home, self.uid, self.gid)
        self.rawlog = os.path.join(self.folder, "rawlog")
        rawlog_conf = ""
        if rawlog:
            os.makedirs(self.rawlog, exist_ok=True)
            os.chown(self.rawlog, self.uid, self.gid)
            rawlog_conf = "protocol imap {\n  rawlog_dir = %s\n}\n" % self.rawlog
        # The server reads its key as the user it runs as.
        self.cert = os.path.join(self.folder, "server.pem")
        self.key = os.path.join(self.folder, "server.key")
        shutil.copy(cert, self.cert)
        shutil.copy(key, self.key)
        with open(os.path.join(self.folder, "passwd"), "w") as f:
            f.write("%s:{PLAIN}%s\n" % (USER, PASSWORD))
        self.log = os.path.join(self.folder, "dovecot.log")
        self.conf = os.path.join(self.folder, "dovecot.conf")
        p = self.ports
        with open(self.conf, "w") as f:
            f.write("""
base_dir = {d}/run
state_dir = {d}/state
log_path = {d}/dovecot.log
protocols = imap pop3
listen = 127.0.0.1
ssl = yes
ssl_cert = <{d}/server.pem
ssl_key = <{d}/server.key
ssl_min_protocol = TLSv1.2
disable_plaintext_auth = no
auth_failure_delay = 0
auth_mechanisms = plain login
default_internal_user = {internal}
default_login_user = {internal}
default_internal_group = {group}
first_valid_uid = 1
mail_location = maildir:~/Maildir
pop3_uidl_format = %08Xu%08Xv
passdb {{
  driver = passwd-file
  args = {d}/passwd
}}
userdb {{
  driver = static
  args = uid={uid} gid={gid} home={d}/home/%u
}}
service imap-login {{
  chroot =
  inet_listener imap {{
    port = {imap}
  }}
  inet_listener imaps {{
    port = {imaps}
    ssl = yes
  }}
}}
service pop3-login {{
  chroot =
  inet_listener pop3 {{
    port = {pop3}
  }}
  inet_listener pop3s {{
    port = {pop3s}
    ssl = yes
  }}
}}
service anvil {{
  chroot =
}}
service stats {{
  chroot =
}}
{rawlog}""".format(d=self.folder, rawlog=rawlog_conf, internal=internal, group=grp.getgrgid(pwd.getpwnam(internal).pw_gid).gr_name,
                       uid=self.uid, gid=self.gid, **p))
        self.process = subprocess.Popen([DOVECOT, "-F", "-c", self.conf],
                                        stdout=subprocess.DEVNULL, stderr=open(self.log + ".err", "ab"))
        for name, port in p.items():
            if not wait_for_port(port):
                self.stop()
                raise RuntimeError("Dovecot did not answer on %s (%d): see %s" % (name, port, self.log))
        self.count = 0

    def deliver(self, content):
        """Puts one mail (bytes, CR LF or LF line ends) into the Maildir; returns its base name."""
        self.count += 1
        base = "%d.M%dP%d.test" % (int(time.time()), self.count, os.getpid())
        tmp = os.path.join(self.maildir, "tmp", base)
        with open(tmp, "wb") as f:
            f.write(content)
        os.chown(tmp, self.uid, self.gid)
        os.rename(tmp, os.path.join(self.maildir, "new", base))
        return base

    def files(self):
        """Every mail's file name in new/ and cur/, flags included, by base name."""
        found = {}
        for sub in ("new", "cur"):
            for name in os.listdir(os.path.join(self.maildir, sub)):
                found[name.split(":")[0]] = sub + "/" + name
        return found

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None


def main():
    folder, cert, key = sys.argv[1:4]
    peer = TDovecot(folder, cert, key, rawlog=sys.argv[4:5] == ["rawlog"])
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    signal.signal(signal.SIGINT, lambda *_: stop.append(1))
    p = peer.ports
    with open(os.path.join(folder, "ports.tmp"), "w") as f:
        f.write("%d %d %d %d %d %d\n" % (p["imap"], p["imaps"], p["pop3"], p["pop3s"], peer.uid, peer.gid))
    os.rename(os.path.join(folder, "ports.tmp"), os.path.join(folder, "ports"))
    while not stop and peer.process.poll() is None:
        time.sleep(0.1)
    peer.stop()


if __name__ == "__main__":
    main()
