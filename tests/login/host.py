"""A stock Debian host in private namespaces, for tests/login.

The caller is already inside private mount, network, UTS and PID namespaces
(run_login.py re-executes itself under unshare).  Host.setup() then lays
overlays over /etc and /var and a tmpfs over /run, /home and /tmp, so every
file the programs write lands in memory and the real system is untouched.
/etc is the machine's own, as the packages installed it: the test changes
only what a site running nss-vesk changes (nsswitch.conf), plus what each
scenario says it adds (a local user, a sudoers.d rule, an access.conf rule).
The built module is laid over the library directory, so setuid programs
(su, sudo, newgrp), which ignore LD_LIBRARY_PATH, load it like any other.

Helpers meant for more scenarios: start_sshd() with extra configuration
lines, try_login() with a key, as_user() for a command run under another
uid, install_maps() through `vesk-index install`.
"""

import os
import shutil
import socket
import subprocess
import time

ENV = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL": "C", "HOME": "/root"}
WORK = "/run/vesk-login"
PASSWD_MAP = "/etc/passwd.vesk"
GROUP_MAP = "/etc/group.vesk"


def run(argv, stdin=None, timeout=30, env=None):
    """Runs argv; returns (exit status, stdout, stderr) as text."""
    try:
        p = subprocess.run(argv, input=stdin, capture_output=True, text=True,
                           timeout=timeout, env=env or ENV, errors="replace")
        return p.returncode, p.stdout, p.stderr
    except subprocess.TimeoutExpired:
        return 124, "", "timed out after %ds" % timeout


def must(argv, **kw):
    status, out, err = run(argv, **kw)
    if status != 0:
        raise RuntimeError("%s: exit status %d: %s" % (" ".join(argv), status, err.strip()))
    return out


def write(path, text, mode=0o644):
    with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.write(text)
    os.chmod(path, mode)


class Sshd:
    """One sshd started by the test, listening on 127.0.0.1:port."""

    def __init__(self, port, extra_lines):
        self.port = port
        self.log = "%s/sshd-%d.log" % (WORK, port)
        # Debian's sshd_config includes sshd_config.d/*.conf before its own
        # lines, and the first value given for a keyword wins: the extra
        # lines take precedence over the packaged defaults.
        write("/etc/ssh/sshd_config.d/50-vesk-test.conf", "".join(l + "\n" for l in extra_lines))
        self.proc = subprocess.Popen(
            ["/usr/sbin/sshd", "-D", "-E", self.log, "-p", str(port), "-o", "ListenAddress=127.0.0.1"],
            env=ENV, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("sshd exited with status %d: %s" % (self.proc.returncode, self.log_text()))
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise RuntimeError("sshd did not listen on port %d" % port)

    def log_text(self):
        try:
            with open(self.log, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def stop(self):
        """Stops this sshd by its pid and waits for it."""
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Host:
    def __init__(self, module_dir, index_tool):
        self.module_dir = module_dir
        self.index_tool = index_tool
        self.key = WORK + "/id_ed25519"
        self.next_port = 2200

    # --- the namespaces' file systems -------------------------------------

    def setup(self):
        must(["mount", "--make-rprivate", "/"])
        must(["mount", "-t", "proc", "proc", "/proc"])
        must(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", "/run"])
        os.makedirs(WORK)
        for d in ("/etc", "/var"):
            up, wk = WORK + "/upper" + d, WORK + "/work" + d
            os.makedirs(up)
            os.makedirs(wk)
            must(["mount", "-t", "overlay", "overlay", "-o",
                  "lowerdir=%s,upperdir=%s,workdir=%s" % (d, up, wk), d])
        libdir = self.library_dir()
        up, wk = WORK + "/upper-lib", WORK + "/work-lib"
        os.makedirs(up)
        os.makedirs(wk)
        shutil.copy(os.path.join(self.module_dir, "libnss_vesk.so.2"), up)
        must(["mount", "-t", "overlay", "overlay", "-o",
              "lowerdir=%s,upperdir=%s,workdir=%s" % (libdir, up, wk), libdir])
        for d in ("/home", "/tmp"):
            must(["mount", "-t", "tmpfs", "-o", "mode=1777" if d == "/tmp" else "mode=0755", "tmpfs", d])
        os.makedirs("/run/sshd", mode=0o755)
        must(["ip", "link", "set", "lo", "up"])
        must(["hostname", "vesk-login"])
        with open("/etc/hosts", "a") as f:
            f.write("127.0.1.1\tvesk-login\n")
        self.stock_configuration()
        must(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", self.key])

    @staticmethod
    def library_dir():
        arch = must(["gcc", "-print-multiarch"]).strip() if shutil.which("gcc") else "x86_64-linux-gnu"
        return "/usr/lib/" + arch

    def stock_configuration(self):
        # The configuration as the packages install it: sshd_config is
        # generated from the packaged template; the rest is checked against
        # the packages' conffile sums so a changed machine is reported.
        shutil.copy("/usr/share/openssh/sshd_config", "/etc/ssh/sshd_config")
        if not os.path.exists("/etc/ssh/ssh_host_ed25519_key"):
            must(["ssh-keygen", "-A"])
        self.changed_conffiles = []
        for package in ("sudo", "openssh-server", "libpam-runtime", "libpam-modules", "login"):
            out = must(["dpkg-query", "-W", "-f", "${Conffiles}\n", package])
            for line in out.splitlines():
                fields = line.split()
                if len(fields) < 2 or fields[-1] == "obsolete" or not os.path.exists(fields[0]):
                    continue
                path, digest = fields[0], fields[1]
                got = must(["md5sum", path]).split()[0]
                if got != digest:
                    self.changed_conffiles.append(path)
        for name in os.listdir("/etc"):  # no maps but the test's own
            if name.startswith(("passwd.vesk", "group.vesk")):
                os.unlink("/etc/" + name)
        # The one change a site running nss-vesk makes.
        lines = []
        with open("/etc/nsswitch.conf") as f:
            for line in f:
                if line.startswith(("passwd:", "group:")):
                    line = line.split(":")[0] + ":         files vesk\n"
                lines.append(line)
        write("/etc/nsswitch.conf", "".join(lines))

    # --- local accounts and rules --------------------------------------------

    def add_local_user(self, name):
        """A local account made by Debian's own useradd (with a home and,
        as useradd gives every new user, subordinate id ranges)."""
        must(["useradd", "-m", "-s", "/bin/sh", name])
        must(["usermod", "-p", "*", name])
        self.authorize_key(name)

    def set_local_group_members(self, group, members):
        """Rewrites a local group's member list in /etc/group and
        /etc/gshadow, as an administrator's edit (or a removed account)
        leaves it, even naming accounts that do not exist."""
        for path, member_field in (("/etc/group", 3), ("/etc/gshadow", 3)):
            if not os.path.exists(path):
                continue
            out = []
            with open(path) as f:
                for line in f:
                    fields = line.rstrip("\n").split(":")
                    if fields[0] == group and len(fields) > member_field:
                        fields[member_field] = ",".join(members)
                    out.append(":".join(fields) + "\n")
            st = os.stat(path)
            write(path, "".join(out), st.st_mode & 0o7777)

    def add_sudoers_rule(self, name, rule):
        path = "/etc/sudoers.d/" + name
        write(path, rule + "\n", 0o440)
        must(["visudo", "-c", "-q", "-f", path])

    def enable_pam_access(self, rules):
        """Turns on the pam_access line Debian's /etc/pam.d/sshd ships
        commented out, with `rules` as /etc/security/access.conf."""
        with open("/etc/pam.d/sshd") as f:
            text = f.read()
        text = text.replace("# account  required     pam_access.so", "account  required     pam_access.so")
        write("/etc/pam.d/sshd", text)
        write("/etc/security/access.conf", "".join(r + "\n" for r in rules))

    def authorize_key(self, name, uid=None, gid=None):
        """Puts the test's key into /home/NAME/.ssh/authorized_keys, owned
        by the account (or by the numeric uid of one not yet served)."""
        home = "/home/" + name
        ssh = home + "/.ssh"
        os.makedirs(ssh, exist_ok=True)
        shutil.copy(self.key + ".pub", ssh + "/authorized_keys")
        if uid is None:
            uid, gid = int(must(["id", "-u", name])), int(must(["id", "-g", name]))
        for path, mode in ((home, 0o755), (ssh, 0o700), (ssh + "/authorized_keys", 0o600)):
            os.chown(path, uid, gid)
            os.chmod(path, mode)

    # --- maps -------------------------------------------------------------

    def install_maps(self, passwd, group):
        """Stages both maps and runs `vesk-index install`; returns its
        (exit status, stdout, stderr)."""
        write(PASSWD_MAP + ".new", passwd)
        write(GROUP_MAP + ".new", group)
        return run([self.index_tool, "install"])

    # --- programs ---------------------------------------------------------

    def start_sshd(self, extra_lines=()):
        """Starts sshd with the packaged configuration and `extra_lines`
        in front of it, on a port of its own; the caller stops it."""
        self.next_port += 1
        return Sshd(self.next_port, list(extra_lines))

    def try_login(self, sshd, user, command="id -un"):
        """Logs in as `user` with the test's key and runs `command`;
        returns (exit status, stdout, stderr) of the ssh client."""
        return run(["ssh", "-i", self.key, "-p", str(sshd.port), "-F", "/dev/null",
                    "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=no",
                    "-o", "UserKnownHostsFile=/dev/null", "-o", "LogLevel=ERROR",
                    "-o", "ConnectTimeout=10", "-l", user, "127.0.0.1", command])

    @staticmethod
    def as_user(uid, gid, argv, stdin=None, init_groups=False):
        """Runs argv as uid/gid through setpriv, the way a local user would
        run it: no capabilities, no inherited groups (or the account's own
        with init_groups, which needs the uid to resolve)."""
        groups = ["--init-groups"] if init_groups else ["--clear-groups"]
        return run(["setpriv", "--reuid=%d" % uid, "--regid=%d" % gid] + groups + ["--"] + argv,
                   stdin=stdin)
