#!/usr/bin/python3
"""Integration suite: the module inside real programs.

Runs getent, id, ls, stat, chown and Python's pwd/grp modules against test
maps at the module's compiled-in paths, through glibc's whole name-service
path.  Needs root: it works in a private mount namespace (unshare -m) where a
copy of /etc, holding the test maps, their indexes and an nsswitch.conf with
"passwd: files vesk" and "group: files vesk", is bind-mounted over /etc.  The
real /etc is never touched.  The built module is found via LD_LIBRARY_PATH.

With vesk-index and Debian's nscd at hand, the last scenario puts nscd in
front of the module (a private /run for its socket, private caches, the
namespace's own PID namespace so the daemon can't outlive the suite) and
checks that `vesk-index build` and `install` make it drop what it cached.

Exit status: 0 all checks passed, 1 a check failed, 77 skipped (the reason
is printed).
"""

import argparse
import difflib
import os
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77

PASSWD_MAP = """\
carol:*:20003:20003:Carol Example:/home/carol:/bin/bash
alice:*:20001:20001:Alice Example:/home/alice:/bin/bash
bob:*:20002:20001:Bob Example:/home/bob:/bin/sh
bigid:*:3000000000:3000000001:Large Id:/home/bigid:/bin/sh
dave:*:100000:20010::/home/dave:/usr/sbin/nologin
"""

GROUP_MAP = """\
devs:*:20001:alice,bob
carol:*:20003:
ops:*:20010:alice,carol,dave
bigg:*:3000000001:bigid,bob
""" + "crowd:*:20030:%s,alice\n" % ",".join("member%04d" % i for i in range(400))
# crowd's line (some 4.4 kB) outgrows the buffers glibc starts with, so the
# programs see the module ask for a larger buffer and retry.

# A user and a group that only a later version of the maps holds.
ERIN = "erin:*:20005:20020:Erin Example:/home/erin:/bin/sh\n"
ERINS = "erins:*:20020:erin\n"

# A group of the system's own group file with a member from the map, so that
# `id` combines supplementary groups of both sources.
FILES_GROUP = "vkfiles:x:29999:alice\n"

PASSWD = "/etc/passwd.vesk"
GROUP = "/etc/group.vesk"
INDEXES = [PASSWD + ".ixname", PASSWD + ".ixuid", GROUP + ".ixname", GROUP + ".ixgid"]


def skip(reason):
    print("SKIP: integration suite not run: " + reason)
    sys.exit(SKIP)


# ---------------------------------------------------------------------------
# Index files, written in the documented format: fixed-length records of
# key, NUL, decimal offset, NUL filler and newline, sorted as strcmp sorts
# the keys; ids keyed as "%d" of the 32-bit value.

def id_key(text):
    value = int(text) & 0xFFFFFFFF
    if value >= 1 << 31:
        value -= 1 << 32
    return str(value).encode()


def map_entries(content, key_field):
    entries = []
    offset = 0
    for line in content.encode().splitlines(keepends=True):
        fields = line.rstrip(b"\n").split(b":")
        if len(fields) >= 3:
            key = fields[0] if key_field == 0 else id_key(fields[2].decode())
            entries.append((key, offset))
        offset += len(line)
    return entries


def index_bytes(entries):
    entries = sorted(entries, key=lambda e: e[0])  # bytes order is strcmp order
    length = max(len(k) + len(str(o)) + 3 for k, o in entries)
    out = bytearray()
    for key, offset in entries:
        record = key + b"\0" + str(offset).encode()
        out += record + b"\0" * (length - 1 - len(record)) + b"\n"
    return bytes(out)


def write_atomically(path, data):
    """Writes a new file beside `path` and renames it over `path`."""
    tmp = path + ".new"
    with open(tmp, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)
    os.rename(tmp, path)


class Indexer:
    def __init__(self, tool):
        self.tool = tool

    def build(self):
        """Builds all four indexes of the maps at their default paths."""
        if self.tool:
            run = subprocess.run([self.tool, "build"], capture_output=True, text=True)
            if run.returncode != 0:
                raise RuntimeError("vesk-index build failed: " + run.stderr)
            return
        for path, id_suffix in ((PASSWD, ".ixuid"), (GROUP, ".ixgid")):
            with open(path) as f:
                content = f.read()
            write_atomically(path + ".ixname", index_bytes(map_entries(content, 0)))
            write_atomically(path + id_suffix, index_bytes(map_entries(content, 2)))


# ---------------------------------------------------------------------------
# Checks: run a program, compare its output and exit status with the
# expected ones.

class Suite:
    def __init__(self, module_dir):
        self.env = {
            "PATH": "/usr/sbin:/usr/bin:/sbin:/bin",
            "LC_ALL": "C",
            "LD_LIBRARY_PATH": module_dir,
        }
        self.passed = 0
        self.failed = []
        self.scenario = ""

    def check(self, argv, expected, status=0, label=None):
        run = subprocess.run(argv, capture_output=True, text=True, env=self.env)
        out = run.stdout
        name = "[%s] %s" % (self.scenario, label or " ".join(argv))
        if out == expected and run.returncode == status:
            self.passed += 1
            return
        report = ["FAIL %s" % name]
        if run.returncode != status:
            report.append("  exit status %d, expected %d" % (run.returncode, status))
        if out != expected:
            report += ["  " + l.rstrip("\n") for l in difflib.unified_diff(
                expected.splitlines(keepends=True), out.splitlines(keepends=True),
                "expected", "actual")]
        if run.stderr:
            report.append("  stderr: " + run.stderr.strip())
        print("\n".join(report))
        self.failed.append(name)

    def quiet_run(self, argv, label):
        """argv must succeed without a word on stderr (what it reports on
        stdout is its own business)."""
        run = subprocess.run(argv, capture_output=True, text=True, env=self.env)
        name = "[%s] %s" % (self.scenario, label)
        if run.returncode == 0 and run.stderr == "":
            self.passed += 1
            return
        print("FAIL %s\n  exit status %d, stdout %r, stderr %r"
              % (name, run.returncode, run.stdout, run.stderr))
        self.failed.append(name)

    def python(self, label, body, expected):
        self.check([PYTHON, "-c", "import grp, pwd\n" + PY_HELPERS + body], expected,
                   label="python3 " + label)


PYTHON = "/usr/bin/python3"

PY_HELPERS = """\
def pw(p): print(':'.join(map(str, p)))
def gr(g): print(':'.join([g.gr_name, g.gr_passwd, str(g.gr_gid), ','.join(g.gr_mem)]))
def missing(f, k):
    try:
        f(k)
    except KeyError:
        print('KeyError', k)
"""


def lines(text, *names):
    """The lines of a map text whose first field is one of `names`."""
    by_name = {l.split(":")[0]: l for l in text.splitlines(keepends=True)}
    return "".join(by_name[n] for n in names)


def system_lines(path):
    """Records of a system file as getent prints them (comments dropped)."""
    with open(path) as f:
        return "".join(l for l in f if l.strip() and not l.startswith("#"))


# ---------------------------------------------------------------------------
# The checks themselves.  `pmap` and `gmap` are the map texts in force.

def keyed_checks(s, pmap, gmap):
    s.check(["getent", "passwd", "alice"], lines(pmap, "alice"))
    s.check(["getent", "passwd", "20002"], lines(pmap, "bob"))
    s.check(["getent", "passwd", "3000000000"], lines(pmap, "bigid"))
    s.check(["getent", "passwd", "carol", "100000"], lines(pmap, "carol", "dave"))
    s.check(["getent", "passwd", "root"], lines(system_lines("/etc/passwd"), "root"))
    s.check(["getent", "passwd", "nosuchuser"], "", status=2)
    s.check(["getent", "passwd", "20099"], "", status=2)
    s.check(["getent", "passwd", "Alice"], "", status=2)
    s.check(["getent", "group", "ops"], lines(gmap, "ops"))
    s.check(["getent", "group", "20001"], lines(gmap, "devs"))
    s.check(["getent", "group", "3000000001"], lines(gmap, "bigg"))
    s.check(["getent", "group", "crowd", "20030"], lines(gmap, "crowd", "crowd"))
    s.check(["getent", "group", "nosuchgroup"], "", status=2)
    s.check(["getent", "group", "20098"], "", status=2)
    # Only the module, as configured on the command line.
    s.check(["getent", "-s", "vesk", "passwd", "bob"], lines(pmap, "bob"))
    s.check(["getent", "-s", "vesk", "passwd", "20003"], lines(pmap, "carol"))
    s.check(["getent", "-s", "vesk", "passwd", "root"], "", status=2)
    s.check(["getent", "-s", "vesk", "group", "carol"], lines(gmap, "carol"))
    s.check(["getent", "-s", "vesk", "group", "20010"], lines(gmap, "ops"))
    s.check(["getent", "-s", "vesk", "group", "root"], "", status=2)

    s.check(["id", "alice"],
            "uid=20001(alice) gid=20001(devs) groups=20001(devs),29999(vkfiles),20010(ops),"
            "20030(crowd)\n")
    s.check(["id", "bob"], "uid=20002(bob) gid=20001(devs) groups=20001(devs),3000000001(bigg)\n")
    s.check(["id", "3000000000"],
            "uid=3000000000(bigid) gid=3000000001(bigg) groups=3000000001(bigg)\n")
    s.check(["id", "dave"], "uid=100000(dave) gid=20010(ops) groups=20010(ops)\n")
    s.check(["id", "root"], "uid=0(root) gid=0(root) groups=0(root)\n")
    s.check(["id", "nosuchuser"], "", status=1)

    s.python("pwd/grp lookups", """
pw(pwd.getpwnam('alice'))
pw(pwd.getpwuid(3000000000))
pw(pwd.getpwnam('root'))
gr(grp.getgrnam('ops'))
gr(grp.getgrgid(3000000001))
gr(grp.getgrnam('crowd'))
missing(pwd.getpwnam, 'nosuchuser')
missing(grp.getgrgid, 20098)
print('lookups')""",
             lines(pmap, "alice", "bigid") + lines(system_lines("/etc/passwd"), "root")
             + lines(gmap, "ops", "bigg", "crowd") + "KeyError nosuchuser\nKeyError 20098\nlookups\n")


def enumeration_checks(s, pmap, gmap):
    files_passwd = system_lines("/etc/passwd")
    files_group = system_lines("/etc/group")
    s.check(["getent", "passwd"], files_passwd + pmap)
    s.check(["getent", "group"], files_group + gmap)
    s.check(["getent", "-s", "vesk", "passwd"], pmap)
    s.check(["getent", "-s", "vesk", "group"], gmap)
    s.python("getpwall/getgrall", """
for p in pwd.getpwall(): pw(p)
for g in grp.getgrall(): gr(g)
print('getpwall getgrall')""", files_passwd + pmap + files_group + gmap + "getpwall getgrall\n")


def ownership_checks(s, work):
    d = os.path.join(work, "owned")
    shutil.rmtree(d, ignore_errors=True)
    os.mkdir(d)
    owners = {"a": (20001, 20010), "b": (3000000000, 3000000001), "c": (20099, 20098),
              "d": (0, 20003), "e": (0, 0), "f": (0, 0), "g": (0, 0)}
    for name, (uid, gid) in owners.items():
        path = os.path.join(d, name)
        open(path, "w").close()
        os.chmod(path, 0o644)
        os.chown(path, uid, gid)
    s.check(["ls", "-l", "--time-style=+", d + "/a", d + "/b", d + "/c", d + "/d"],
            "-rw-r--r-- 1 alice ops   0  %s/a\n"
            "-rw-r--r-- 1 bigid bigg  0  %s/b\n"
            "-rw-r--r-- 1 20099 20098 0  %s/c\n"
            "-rw-r--r-- 1 root  carol 0  %s/d\n" % (d, d, d, d))
    s.check(["stat", "-c", "%U %G", d + "/a", d + "/b", d + "/c", d + "/d"],
            "alice ops\nbigid bigg\nUNKNOWN UNKNOWN\nroot carol\n")
    s.check(["chown", "carol:devs", d + "/e"], "")
    s.check(["chown", "bob:", d + "/f"], "")
    s.check(["chown", "bigid:bigg", d + "/g"], "")
    s.check(["stat", "-c", "%u %g %U %G", d + "/e", d + "/f", d + "/g"],
            "20003 20001 carol devs\n20002 20001 bob devs\n3000000000 3000000001 bigid bigg\n")
    s.check(["chown", "nosuchuser", d + "/e"], "", status=1)


# ---------------------------------------------------------------------------
# Scenarios.  Each sets up /etc (the private copy) and runs its checks.

def install_maps(pmap, gmap):
    write_atomically(PASSWD, pmap)
    write_atomically(GROUP, gmap)


def remove_indexes():
    for path in INDEXES:
        if os.path.exists(path):
            os.unlink(path)


def set_mtime(path, seconds):
    os.utime(path, (seconds, seconds))


def same_second_checks(s, scenario, indexer):
    """The map changed within the second its indexes were written: the
    indexes count as fresh, so keys they lack are not found (no scan), while
    enumeration, which reads the map, shows them.  That they are not found
    also proves that the lookups went through the indexes."""
    s.scenario = scenario
    install_maps(PASSWD_MAP, GROUP_MAP)
    indexer.build()
    pmap = PASSWD_MAP + ERIN
    gmap = GROUP_MAP + ERINS
    install_maps(pmap, gmap)
    now = int(os.stat(PASSWD + ".ixname").st_mtime)
    for path in INDEXES + [PASSWD, GROUP]:
        set_mtime(path, now)
    s.check(["getent", "passwd", "erin"], "", status=2)
    s.check(["getent", "passwd", "20005"], "", status=2)
    s.check(["getent", "group", "erins"], "", status=2)
    s.check(["getent", "group", "20020"], "", status=2)
    s.check(["id", "erin"], "", status=1)
    s.check(["getent", "-s", "vesk", "passwd"], pmap)
    s.check(["getent", "-s", "vesk", "group"], gmap)
    # Every other key is found through the same indexes.
    keyed_checks(s, pmap, gmap)
    # After the next rebuild the new entries are found.
    set_mtime(PASSWD, now + 1)
    set_mtime(GROUP, now + 1)
    indexer.build()
    for path in INDEXES:
        set_mtime(path, now + 1)
    s.check(["getent", "passwd", "erin", "20005"], ERIN + ERIN)
    s.check(["getent", "group", "erins", "20020"], ERINS + ERINS)


NSCD = "/usr/sbin/nscd"
NSCD_SOCKET = "/run/nscd/socket"

# The maps as the nscd scenario changes them: v2 changes bob's and devs'
# lines and adds erin and erins; v3 changes carol's and ops' lines and
# removes erin and erins again.
PASSWD_V2 = PASSWD_MAP.replace("Bob Example:/home/bob:/bin/sh", "Bob Example:/home/bob:/bin/bash") + ERIN
GROUP_V2 = GROUP_MAP.replace("devs:*:20001:alice,bob", "devs:*:20001:alice,bob,erin") + ERINS
PASSWD_V3 = PASSWD_MAP.replace("Carol Example", "Carol Changed")
GROUP_V3 = GROUP_MAP.replace("ops:*:20010:alice,carol,dave", "ops:*:20010:alice,dave")


def private_nscd_dirs():
    """A private /run (nscd's socket and pid file) and private persistent
    caches, so the daemon shares nothing with the machine's."""
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", "/run"], check=True)
    os.mkdir("/run/nscd")
    for d in ("/var/cache/nscd", "/var/db/nscd"):
        if os.path.isdir(d):
            subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", d], check=True)


def start_nscd(env):
    """Debian's nscd with its own configuration (the /etc copy's nscd.conf),
    in the foreground; returns once it listens."""
    daemon = subprocess.Popen([NSCD, "-F"], env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    for _ in range(200):
        if os.path.exists(NSCD_SOCKET) or daemon.poll() is not None:
            break
        time.sleep(0.05)
    if not os.path.exists(NSCD_SOCKET):
        stop_nscd(daemon, env)
        raise RuntimeError("nscd did not start")
    return daemon


def stop_nscd(daemon, env):
    subprocess.run([NSCD, "-K"], env=env, capture_output=True)
    try:
        daemon.wait(timeout=10)
    except subprocess.TimeoutExpired:
        daemon.kill()
        daemon.wait()


def nscd_lookups(s, pmap, gmap):
    """What getent and id answer, through nscd, for the lines that change."""
    s.check(["getent", "passwd", "bob"], lines(pmap, "bob"))
    s.check(["getent", "passwd", "carol"], lines(pmap, "carol"))
    s.check(["getent", "passwd", "erin"], lines(pmap, "erin") if "erin:" in pmap else "",
            status=0 if "erin:" in pmap else 2)
    s.check(["getent", "group", "devs"], lines(gmap, "devs"))
    s.check(["getent", "group", "20010"], lines(gmap, "ops"))
    s.check(["getent", "group", "erins"], lines(gmap, "erins") if "erins:" in gmap else "",
            status=0 if "erins:" in gmap else 2)
    s.check(["id", "-G", "carol"], "20003 20010\n" if ",carol" in lines(gmap, "ops") else "20003\n")


def nscd_checks(s, tool):
    """nscd caches the module's answers; `vesk-index build` and `install`
    make it drop them, so the next lookup sees the new maps at once."""
    s.scenario = "nscd"
    install_maps(PASSWD_MAP, GROUP_MAP)
    Indexer(tool).build()
    private_nscd_dirs()
    daemon = start_nscd(s.env)
    try:
        nscd_lookups(s, PASSWD_MAP, GROUP_MAP)
        # The maps changed without the tool: nscd answers from its cache.
        # (This is what makes the checks below prove anything.)
        s.scenario = "nscd, maps changed by hand"
        install_maps(PASSWD_V2, GROUP_V2)
        Indexer("").build()
        nscd_lookups(s, PASSWD_MAP, GROUP_MAP)
        s.scenario = "nscd, vesk-index build"
        s.quiet_run([tool, "build"], "vesk-index build")
        nscd_lookups(s, PASSWD_V2, GROUP_V2)
        s.scenario = "nscd, vesk-index install"
        write_atomically(PASSWD + ".new", PASSWD_V3)
        write_atomically(GROUP + ".new", GROUP_V3)
        s.quiet_run([tool, "install", "--max-drop", "50"], "vesk-index install")
        s.check(["test", "-e", PASSWD + ".new", "-o", "-e", GROUP + ".new"], "", status=1,
                label="staged maps renamed into place")
        nscd_lookups(s, PASSWD_V3, GROUP_V3)
        # An install killed after putting the maps in place leaves them
        # staged as well, and nscd untold: the rerun that completes it
        # changes no map but tells nscd.
        s.scenario = "nscd, interrupted install completed"
        install_maps(PASSWD_V2, GROUP_V2)
        Indexer("").build()
        write_atomically(PASSWD + ".new", PASSWD_V2)
        write_atomically(GROUP + ".new", GROUP_V2)
        nscd_lookups(s, PASSWD_V3, GROUP_V3)
        s.quiet_run([tool, "install"], "vesk-index install completing an install")
        nscd_lookups(s, PASSWD_V2, GROUP_V2)
    finally:
        stop_nscd(daemon, s.env)

    # No daemon listens: its socket left behind, then no socket at all.
    # The tool does its work and says nothing of nscd.
    s.scenario = "nscd stopped"
    s.quiet_run([tool, "build"], "vesk-index build, the socket left behind")
    if os.path.exists(NSCD_SOCKET):
        os.unlink(NSCD_SOCKET)
    s.quiet_run([tool, "build"], "vesk-index build, no socket")
    write_atomically(PASSWD + ".new", PASSWD_V2)
    s.quiet_run([tool, "install"], "vesk-index install, no socket")
    s.check(["getent", "passwd", "erin"], ERIN)


# Records that would grant privilege on a host: uid 0, an empty password, a
# local account's uid and name, a local privileged group's gid and name.
HOSTILE_PASSWD = PASSWD_MAP + """\
evil:*:0:0::/root:/bin/bash
toor::20050:20001::/root:/bin/sh
daemon2:*:1:20001::/:/bin/sh
root:*:20051:20001::/root:/bin/sh
sudoer:*:20052:27::/:/bin/sh
"""
HOSTILE_GROUP = GROUP_MAP + "sudo:*:20060:bob\nwheel:*:27:bob\nadm2:*:4:bob\n"


def policy_checks(s, tool):
    """vesk-index install leaves out what would grant privilege: none of it
    reaches a program, and a map user gains no local group."""
    s.scenario = "content policy"
    write_atomically(PASSWD + ".new", HOSTILE_PASSWD)
    write_atomically(GROUP + ".new", HOSTILE_GROUP)
    run = subprocess.run([tool, "install"], capture_output=True, text=True, env=s.env)
    if run.returncode == 3 and run.stderr.count(": left out: ") == 8:
        s.passed += 1
    else:
        print("FAIL [%s] install: status %d, stderr %r" % (s.scenario, run.returncode, run.stderr))
        s.failed.append("[content policy] install")
    for user in ("evil", "toor", "daemon2", "sudoer"):
        s.check(["getent", "passwd", user], "", status=2)
    s.check(["getent", "passwd", "root"], lines(system_lines("/etc/passwd"), "root"))
    s.check(["getent", "passwd", "20051"], "", status=2)
    s.check(["getent", "group", "wheel"], "", status=2)
    s.check(["getent", "group", "27"], lines(system_lines("/etc/group"), "sudo"))
    s.check(["getent", "group", "sudo"], lines(system_lines("/etc/group"), "sudo"))
    s.check(["id", "bob"], "uid=20002(bob) gid=20001(devs) groups=20001(devs),3000000001(bigg)\n")


def run_scenarios(s, work, indexer, probe):
    s.scenario = "fresh index"
    install_maps(PASSWD_MAP, GROUP_MAP)
    indexer.build()
    keyed_checks(s, PASSWD_MAP, GROUP_MAP)
    enumeration_checks(s, PASSWD_MAP, GROUP_MAP)
    ownership_checks(s, work)

    # A program that resolved users, left its enumerations open and executed
    # a child: the parent holds the maps open, the child holds nothing.
    s.scenario = "exec"
    s.check([probe, "alice", "20002", "ops", "20010", "carol", "devs"],
            "parent %s\nparent %s\nchild done\n" % (GROUP, PASSWD))

    s.scenario = "no index"
    remove_indexes()
    keyed_checks(s, PASSWD_MAP, GROUP_MAP)
    enumeration_checks(s, PASSWD_MAP, GROUP_MAP)
    ownership_checks(s, work)

    # Indexes of an older map; the new map holds a user and a group the
    # indexes lack, in another order.  The module must scan.
    s.scenario = "stale index"
    install_maps(PASSWD_MAP, GROUP_MAP)
    indexer.build()
    old = int(os.stat(PASSWD + ".ixname").st_mtime) - 10
    for path in INDEXES:
        set_mtime(path, old)
    pmap = ERIN + PASSWD_MAP
    gmap = GROUP_MAP + ERINS
    install_maps(pmap, gmap)
    set_mtime(PASSWD, old + 1)
    set_mtime(GROUP, old + 1)
    keyed_checks(s, pmap, gmap)
    enumeration_checks(s, pmap, gmap)
    s.check(["getent", "passwd", "erin"], ERIN)
    s.check(["getent", "passwd", "20005"], ERIN)
    s.check(["getent", "group", "erins"], ERINS)
    s.check(["getent", "group", "20020"], ERINS)
    s.check(["id", "erin"], "uid=20005(erin) gid=20020(erins) groups=20020(erins)\n")

    same_second_checks(s, "same second", indexer)
    if indexer.tool:
        # The same with indexes written by this suite from the documented
        # format, so the module is held to the format, not only to the tool.
        same_second_checks(s, "documented format", Indexer(""))

    # No maps (indexes still there): the module is unavailable, files
    # answers alone.
    s.scenario = "no map"
    install_maps(PASSWD_MAP, GROUP_MAP)
    indexer.build()
    os.unlink(PASSWD)
    os.unlink(GROUP)
    s.check(["getent", "passwd", "root"], lines(system_lines("/etc/passwd"), "root"))
    s.check(["getent", "passwd", "0"], lines(system_lines("/etc/passwd"), "root"))
    s.check(["getent", "group", "root"], lines(system_lines("/etc/group"), "root"))
    s.check(["getent", "passwd", "alice"], "", status=2)
    s.check(["getent", "passwd", "20001"], "", status=2)
    s.check(["getent", "group", "ops"], "", status=2)
    s.check(["getent", "group", "20010"], "", status=2)
    s.check(["getent", "-s", "vesk", "passwd", "alice"], "", status=2)
    s.check(["getent", "passwd"], system_lines("/etc/passwd"))
    s.check(["getent", "group"], system_lines("/etc/group"))
    s.check(["id", "root"], "uid=0(root) gid=0(root) groups=0(root)\n")
    s.check(["id", "alice"], "", status=1)
    s.check(["stat", "-c", "%U %G", os.path.join(work, "owned", "a")], "UNKNOWN UNKNOWN\n")
    s.python("pwd lookups and getpwall", """
pw(pwd.getpwnam('root'))
missing(pwd.getpwnam, 'alice')
missing(pwd.getpwuid, 20001)
for p in pwd.getpwall(): pw(p)""",
             lines(system_lines("/etc/passwd"), "root") + "KeyError alice\nKeyError 20001\n"
             + system_lines("/etc/passwd"))


# ---------------------------------------------------------------------------
# Setting up the private /etc, inside the new mount namespace.

def prepare_etc(work):
    etc = os.path.join(work, "etc")
    subprocess.run(["cp", "-a", "/etc", etc], check=True)
    conf = os.path.join(etc, "nsswitch.conf")
    kept = []
    if os.path.exists(conf):
        with open(conf) as f:
            kept = [l for l in f if not l.split(":")[0].strip() in ("passwd", "group")]
    with open(conf, "w") as f:
        f.write("passwd: files vesk\ngroup: files vesk\n" + "".join(kept))
    with open(os.path.join(etc, "group"), "a") as f:
        f.write(FILES_GROUP)
    subprocess.run(["mount", "--bind", etc, "/etc"], check=True)
    # A running name-service cache daemon would answer in place of the
    # module; hide its socket.
    for d in ("/run/nscd", "/var/run/nscd"):
        if os.path.isdir(d) and not os.path.islink(d):
            subprocess.run(["mount", "-t", "tmpfs", "tmpfs", d], check=True)


def inside(args):
    prepare_etc(args.work)
    s = Suite(args.module_dir)
    run_scenarios(s, args.work, Indexer(args.index_tool), args.probe)
    if args.no_nscd or not args.index_tool:
        print("SKIP: nscd scenario: " + (args.no_nscd or "no vesk-index"))
    elif not os.access(NSCD, os.X_OK):
        print("SKIP: nscd scenario: %s is not installed (scripts/deps installs it)" % NSCD)
    else:
        nscd_checks(s, args.index_tool)
    if args.index_tool:
        policy_checks(s, args.index_tool)
    print("%d checks passed, %d failed" % (s.passed, len(s.failed)))
    return 1 if s.failed else 0


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--module-dir", required=True)
    p.add_argument("--probe", required=True)
    p.add_argument("--index-tool", default="")
    p.add_argument("--sanitized", action="store_true")
    p.add_argument("--inside", dest="work", default="")
    p.add_argument("--no-nscd", default="")
    args = p.parse_args()
    if args.work:
        return inside(args)

    if args.sanitized:
        skip("this is a sanitizer build; real programs can't load a module built with "
             "a sanitizer runtime (run it in the release build)")
    if os.geteuid() != 0:
        skip("needs root (a private mount namespace with a copy of /etc)")
    for tool in ("unshare", "mount", "getent", "id", "ls", "stat", "chown", "cp"):
        if shutil.which(tool) is None:
            skip("%s is not installed" % tool)
    if not os.access(PYTHON, os.X_OK):
        skip(PYTHON + " is not installed")
    if subprocess.run(["unshare", "-m", "--propagation", "private", "mount", "--bind", "/etc",
                       "/etc"], capture_output=True).returncode != 0:
        skip("a private mount namespace (unshare -m, mount --bind) is not permitted here")
    module = os.path.join(args.module_dir, "libnss_vesk.so.2")
    if not os.path.exists(module):
        print("module not built: " + module)
        return 1

    work = tempfile.mkdtemp(prefix="vesk-integration-")
    try:
        # A PID namespace too, whose first process is the suite: whatever
        # ends it ends the nscd it started.  Without one, no nscd.
        pid_ns = ["-p", "--kill-child"]
        if subprocess.run(["unshare", "-m"] + pid_ns + ["true"], capture_output=True).returncode:
            pid_ns = []
        cmd = ["unshare", "-m"] + pid_ns + ["--propagation", "private", sys.executable,
               os.path.abspath(__file__), "--inside", work,
               "--module-dir", os.path.abspath(args.module_dir), "--probe", args.probe]
        if args.index_tool:
            cmd += ["--index-tool", args.index_tool]
        if not pid_ns:
            cmd += ["--no-nscd", "a PID namespace (unshare -p) is not permitted here"]
        return subprocess.run(cmd).returncode
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
