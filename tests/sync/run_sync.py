#!/usr/bin/python3
"""vesk-index sync against a real slapd.

Runs as root inside private mount and network namespaces (unshare -m -n,
loopback brought up), so the slapd it starts reaches nothing and nothing
reaches it.  The server has its own cn=config (built with slapadd -n0),
an mdb database and an ldapi:// socket in a temporary directory, and TLS
on 127.0.0.1 with a CA and certificates made here.  The maps live in the
temporary directory too.  slapd is started by this suite and stopped by
it, by pid.

Exit status: 0 all checks passed, 1 a check failed, 77 skipped (the reason
is printed).
"""

import argparse
import fcntl
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.parse

SKIP = 77
SUFFIX = "dc=example,dc=org"
ROOT_DN = "cn=admin," + SUFFIX
ROOT_PW = "secret"
SIZE_LIMIT = 500
MANY = 1200  # users under ou=many: more than the size limit
# root's identity over ldapi:// (SASL EXTERNAL); unlike the root DN it is
# subject to the size limit.
EXTERNAL_DN = "gidNumber=0+uidNumber=0,cn=peercred,cn=external,cn=auth"
EXTERNAL = {"bind": "sasl_external", "bind_dn": "", "bind_password_file": ""}

failures = []


def check(ok, what, detail=""):
    print(("ok    " if ok else "FAIL  ") + what)
    if os.environ.get("VESK_SYNC_VERBOSE") and detail:
        print("      " + detail.replace("\n", "\n      "))
    if not ok:
        failures.append(what)
        if detail:
            print("      " + detail.replace("\n", "\n      "))


def skip(reason):
    print("SKIP: sync suite not run: " + reason)
    sys.exit(SKIP)


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


def bring_up_loopback():
    # ioctl(SIOCGIFFLAGS / SIOCSIFFLAGS) on "lo": no dependency on ip(8).
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    req = struct.pack("16sh", b"lo", 0)
    flags = struct.unpack("16sh", fcntl.ioctl(s, 0x8913, req))[1]
    fcntl.ioctl(s, 0x8914, struct.pack("16sh", b"lo", flags | 0x1))
    s.close()


# ---------------------------------------------------------------------------
# The directory.

def user(name, uid, gid, ou="people", gecos=None, extra=""):
    text = ("dn: uid=%s,ou=%s,%s\nobjectClass: top\nobjectClass: account\n"
            "objectClass: posixAccount\nuid: %s\ncn: %s\nuidNumber: %s\n"
            "gidNumber: %s\nhomeDirectory: /home/%s\nloginShell: /bin/sh\n"
            "userPassword: {CRYPT}$6$salt$hash\n" % (name, ou, SUFFIX, name, name.title(),
                                                       uid, gid, name))
    if gecos is not None:
        text += "gecos: %s\n" % gecos
    return text + extra + "\n"


def posix_group(name, gid, members, ou="groups"):
    text = ("dn: cn=%s,ou=%s,%s\nobjectClass: top\nobjectClass: posixGroup\n"
            "cn: %s\ngidNumber: %d\n" % (name, ou, SUFFIX, name, gid))
    return text + "".join("memberUid: %s\n" % m for m in members) + "\n"


def bis_group(name, gid, members, uids=(), where="ou=bisgroups," + SUFFIX):
    text = ("dn: cn=%s,%s\nobjectClass: top\nobjectClass: groupOfNames\n"
            "objectClass: veskTestGroup\ncn: %s\ngidNumber: %d\n" % (name, where, name, gid))
    return (text + "".join("member: %s\n" % m for m in members) +
            "".join("memberUid: %s\n" % m for m in uids) + "\n")


def ou(name):
    return "dn: ou=%s,%s\nobjectClass: organizationalUnit\nou: %s\n\n" % (name, SUFFIX, name)


BAD_GECOS_DN = "uid=mallory,ou=people," + SUFFIX
NO_UID_DN = "uid=nouid,ou=people," + SUFFIX

DATA = (
    "dn: %s\nobjectClass: dcObject\nobjectClass: organization\ndc: example\no: Example\n\n" % SUFFIX
    + ou("people") + ou("groups") + ou("bisgroups") + ou("many")
    + user("carol", 20003, 20001, gecos="Carol C")
    + user("alice", 20001, 20001, gecos="Alice A,Room 1")
    # No gecos: cn stands in.
    + user("bob", 20002, 20002)
    # Two names: the RDN's is exported (and reported).
    + user("dave", 20004, 20002, gecos="Dave", extra="uid: dave2\n")
    # A gecos that would add fields (a uid of 0) to the line: exported
    # with blanks for its ':', and reported.
    + user("mallory", 20009, 20001, gecos="x:0:0:root:/root")
    + ("dn: %s\nobjectClass: top\nobjectClass: account\nobjectClass: posixAccount\n"
       "uid: nouid\ncn: No Uid\ngidNumber: 20001\nhomeDirectory: /home/nouid\n\n" % NO_UID_DN)
    + posix_group("devs", 20001, ["carol", "alice", "bob", "alice"])
    + posix_group("empty", 20003, [])
    + posix_group("ops", 20002, ["dave"])
    + ou("refs")
    + ("dn: ou=elsewhere,ou=refs,%s\nobjectClass: referral\nobjectClass: extensibleObject\n"
       "ou: elsewhere\nref: ldap://192.0.2.1/ou=elsewhere,%s\n\n" % (SUFFIX, SUFFIX))
    + "".join(user("m%05d" % i, 30000 + i, 30000, ou="many") for i in range(MANY))
    + posix_group("crowd", 30000, ["m%05d" % i for i in range(0, MANY, 7)], ou="many")
)

PEOPLE = "ou=people," + SUFFIX


def dn(kind, name):
    return ("uid=%s," + PEOPLE if kind == "u" else "cn=%s,ou=bisgroups," + SUFFIX) % name


DATA += (
    # ring1 -> ring2 -> ring3 -> ring1: a cycle, each sees all three's users.
    bis_group("ring1", 21001, [dn("u", "alice"), dn("g", "ring2")])
    + bis_group("ring2", 21002, [dn("u", "bob"), dn("g", "ring3")])
    # Spelt differently from the entry's DN; still the same entry.
    + bis_group("ring3", 21003, ["UID=Carol, OU=People, DC=example, DC=org", dn("g", "ring1")])
    # A DN that is no entry: dropped.
    + bis_group("outer", 21004, [dn("g", "ring1"), "uid=ghost," + PEOPLE, BAD_GECOS_DN,
                                 dn("u", "dave")])
    # memberUid names only (migrated from RFC 2307), and both kinds, one
    # member named both ways, another through a nested group's names.
    + bis_group("migrated", 21005, [], ["alice", "bob"])
    + bis_group("mixed", 21006, [dn("u", "dave"), dn("g", "migrated")], ["dave", "carol"])
)

# The main tree of an identity-management suite's directory: accounts
# locked with nsAccountLock, groups holding member DNs and memberUid names.
ACCOUNTS = "cn=accounts," + SUFFIX
IDM_USERS = "cn=users," + ACCOUNTS
IDM_GROUPS = "cn=groups," + ACCOUNTS


def idm_user(name, uid, lock=None):
    extra = "nsAccountLock: %s\n" % lock if lock else ""
    return user(name, uid, 25000, gecos=name.title(), extra=extra).replace(
        "ou=people," + SUFFIX, IDM_USERS, 1)


def idm_group(name, gid, members, uids=()):
    return bis_group(name, gid, members, uids, IDM_GROUPS).replace("veskTestGroup", "posixGroup")


def idm_dn(name):
    return "uid=%s,%s" % (name, IDM_USERS)


DATA += (
    "".join("dn: %s\nobjectClass: organizationalRole\ncn: %s\n\n" % (d, d.split(",")[0][3:])
            for d in (ACCOUNTS, IDM_USERS, IDM_GROUPS))
    + idm_user("ana", 25001, "FALSE") + idm_user("ben", 25002)
    + idm_user("cid", 25003, "TRUE") + idm_user("dot", 25004, "true")
    + idm_group("crew", 25001, [idm_dn("ana"), idm_dn("cid")], ["ben", "cid", "ana"])
    + idm_group("legacy", 25002, [], ["dot", "ben"])
    + idm_group("all", 25003, ["cn=crew," + IDM_GROUPS, "cn=legacy," + IDM_GROUPS])
)
EXPECTED_IDM_PASSWD = (
    "ana:*:25001:25000:Ana:/home/ana:/bin/sh\n"
    "ben:*:25002:25000:Ben:/home/ben:/bin/sh\n"
)
EXPECTED_IDM_GROUP = "crew:*:25001:ana,ben\nlegacy:*:25002:ben\nall:*:25003:ana,ben\n"

EXPECTED_PASSWD = (
    "alice:*:20001:20001:Alice A,Room 1:/home/alice:/bin/sh\n"
    "bob:*:20002:20002:Bob:/home/bob:/bin/sh\n"
    "carol:*:20003:20001:Carol C:/home/carol:/bin/sh\n"
    "dave:*:20004:20002:Dave:/home/dave:/bin/sh\n"
    "mallory:*:20009:20001:x 0 0 root /root:/home/mallory:/bin/sh\n"
)
EXPECTED_GROUP = (
    "devs:*:20001:alice,bob,carol\n"
    "ops:*:20002:dave\n"
    "empty:*:20003:\n"
)
EXPECTED_BIS_GROUP = (
    "ring1:*:21001:alice,bob,carol\n"
    "ring2:*:21002:alice,bob,carol\n"
    "ring3:*:21003:alice,bob,carol\n"
    "outer:*:21004:alice,bob,carol,dave,mallory\n"
    "migrated:*:21005:alice,bob\n"
    "mixed:*:21006:alice,bob,carol,dave\n"
)

TEST_SCHEMA = """\
dn: cn=vesktest,cn=schema,cn=config
objectClass: olcSchemaConfig
cn: vesktest
olcAttributeTypes: ( 1.3.6.1.4.1.99999.7.2 NAME 'nsAccountLock' EQUALITY caseIgnoreMatch
  SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 SINGLE-VALUE )
olcObjectClasses: ( 1.3.6.1.4.1.99999.7.1 NAME 'veskTestGroup' SUP top AUXILIARY
  MUST gidNumber MAY memberUid )

"""


def config_ldif(work, tls):
    text = "dn: cn=config\nobjectClass: olcGlobal\ncn: config\n"
    if tls:
        text += ("olcTLSCACertificateFile: %s/ca.pem\nolcTLSCertificateFile: %s/server.pem\n"
                 "olcTLSCertificateKeyFile: %s/server.key\n" % (work, work, work))
    text += "\ndn: cn=module{0},cn=config\nobjectClass: olcModuleList\ncn: module{0}\n"
    text += "olcModulePath: /usr/lib/ldap\nolcModuleLoad: back_mdb\n\n"
    text += "dn: cn=schema,cn=config\nobjectClass: olcSchemaConfig\ncn: schema\n\n"
    for name in ("core", "cosine", "nis"):
        with open("/etc/ldap/schema/%s.ldif" % name) as f:
            text += f.read().strip() + "\n\n"
    text += TEST_SCHEMA
    text += ("dn: olcDatabase={0}config,cn=config\nobjectClass: olcDatabaseConfig\n"
             "olcDatabase: {0}config\nolcAccess: to * by * none\n\n")
    text += ("dn: olcDatabase={1}mdb,cn=config\nobjectClass: olcDatabaseConfig\n"
             "objectClass: olcMdbConfig\nolcDatabase: {1}mdb\nolcSuffix: %s\n"
             "olcDbDirectory: %s/db\nolcRootDN: %s\nolcRootPW: %s\nolcSizeLimit: %d\n"
             # root over ldapi:// may page past the size limit; anonymous
             # paged searches end after 700 entries in all.
             "olcLimits: {0}dn.exact=\"%s\" size.soft=%d size.hard=%d size.prtotal=unlimited\n"
             "olcLimits: {1}anonymous size.soft=%d size.prtotal=700\n"
             "olcAccess: to attrs=userPassword by anonymous auth by * none\n"
             "olcAccess: to * by * read\n\n" % (SUFFIX, work, ROOT_DN, ROOT_PW, SIZE_LIMIT,
                                                  EXTERNAL_DN, SIZE_LIMIT, SIZE_LIMIT,
                                                  SIZE_LIMIT))
    return text


def make_certificates(work):
    def openssl(*args):
        r = run(["openssl"] + list(args), cwd=work)
        if r.returncode != 0:
            raise RuntimeError("openssl " + " ".join(args) + ": " + r.stderr)
    for ca in ("ca", "otherca"):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                "-subj", "/CN=vesk test %s" % ca, "-keyout", ca + ".key", "-out", ca + ".pem")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
            "-keyout", "server.key", "-out", "server.csr")
    with open(os.path.join(work, "san.cnf"), "w") as f:
        f.write("subjectAltName = IP:127.0.0.1, DNS:localhost\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", "2", "-extfile", "san.cnf", "-out", "server.pem")


class Slapd:
    def __init__(self, work):
        self.work = work
        self.socket = os.path.join(work, "ldapi")
        self.ldapi = "ldapi://" + urllib.parse.quote(self.socket, safe="")
        self.proc = None

    def start(self):
        urls = self.ldapi + " ldaps://127.0.0.1:6636/ ldap://127.0.0.1:3890/"
        self.proc = subprocess.Popen(["slapd", "-F", os.path.join(self.work, "slapd.d"),
                                      "-h", urls, "-d", "0"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        for _ in range(200):
            if os.path.exists(self.socket):
                r = run(["ldapsearch", "-x", "-H", self.ldapi, "-b", SUFFIX, "-s", "base"])
                if r.returncode == 0:
                    return
            if self.proc.poll() is not None:
                raise RuntimeError("slapd exited: " + self.proc.stderr.read().decode())
            time.sleep(0.05)
        raise RuntimeError("slapd did not answer")

    def stop(self, sig=signal.SIGTERM):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(sig)
            self.proc.wait(timeout=30)
        self.proc = None


# ---------------------------------------------------------------------------
# The sync.

class Sync:
    def __init__(self, tool, work, ldapi):
        self.tool = tool
        self.work = work
        self.ldapi = ldapi
        self.maps = os.path.join(work, "maps")
        os.mkdir(self.maps)
        self.passwd = os.path.join(self.maps, "passwd.vesk")
        self.group = os.path.join(self.maps, "group.vesk")
        self.conf = os.path.join(work, "vesk-index.conf")
        self.secret = os.path.join(work, "ldap-password")
        self.state = os.path.join(work, "state")

    def run(self, settings, *options, password=ROOT_PW, mode=0o600, background=False):
        lines = {"uri": self.ldapi, "base": SUFFIX, "user_base": PEOPLE,
                 "group_base": "ou=groups," + SUFFIX, "bind": "simple", "bind_dn": ROOT_DN,
                 "bind_password_file": self.secret, "timeout": "10"}
        lines.update(settings)
        with open(self.conf, "w") as f:
            f.write("[ldap]\n" + "".join("%s = %s\n" % kv for kv in lines.items() if kv[1]))
        with open(self.secret, "w") as f:
            f.write(password + "\n")
        os.chmod(self.secret, mode)
        cmd = [self.tool, "sync", "--config", self.conf, "--passwd", self.passwd,
               "--group", self.group, "--no-wait", "--state-dir", self.state] + list(options)
        if background:
            return subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    text=True)
        return run(cmd)

    def read(self, path):
        with open(path) as f:
            return f.read()

    def snapshot(self):
        """Every file of the maps' directory: name, inode, mtime, content."""
        files = {}
        for name in sorted(os.listdir(self.maps)):
            path = os.path.join(self.maps, name)
            st = os.stat(path)
            with open(path, "rb") as f:
                files[name] = (st.st_ino, st.st_mtime_ns, f.read())
        return files


def expect(r, status, what):
    check(r.returncode == status, "%s: exit status %d" % (what, status),
          "got %d\nstdout: %s\nstderr: %s" % (r.returncode, r.stdout, r.stderr))


def guide_examples():
    """The [ldap] examples of the operators' guide for an identity-management
    suite's directory (those naming idm1.example.org), as dicts."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                        "operators.md")
    examples, block = [], None
    with open(path) as f:
        for line in f:
            if line.rstrip() == "    [ldap]":
                block = {}
            elif block is not None and line.startswith("    ") and "=" in line:
                key, _, value = line.strip().partition("=")
                block[key.strip()] = value.strip()
            elif block is not None:
                if "idm1.example.org" in block.get("uri", ""):
                    examples.append(block)
                block = None
    return examples


def unchanged_after(sync, what, action, status=2, mention=None):
    before = sync.snapshot()
    r = action()
    expect(r, status, what)
    check(sync.snapshot() == before, what + ": every file as it was")
    if mention is not None:
        check(mention in r.stderr, what + ": the message says " + repr(mention), r.stderr)
    return r


def load_directory(work, tls):
    """The server's configuration and this suite's entries, in WORK."""
    os.makedirs(os.path.join(work, "slapd.d"))
    os.mkdir(os.path.join(work, "db"))
    for n, ldif in (("0", config_ldif(work, tls)), ("1", DATA)):
        path = os.path.join(work, "load%s.ldif" % n)
        with open(path, "w") as f:
            f.write(ldif)
        # -s: the broken entries break the schema too.
        r = run(["slapadd", "-q", "-s", "-F", os.path.join(work, "slapd.d"), "-n", n, "-l", path])
        if r.returncode != 0:
            raise RuntimeError("slapadd -n%s: %s" % (n, r.stderr))


def suite(tool, work):
    bring_up_loopback()
    make_certificates(work)
    load_directory(work, True)
    slapd = Slapd(work)
    slapd.start()
    try:
        cases(tool, work, slapd)
    finally:
        slapd.stop()
    responder_cases(tool, work)


# ---------------------------------------------------------------------------
# Directories slapd does not imitate, served by responder.py.

DC_USERS = 1610  # more than a page of 1,000 and than a range of 1,500 values
DC_BIG = ["u%04d" % i for i in range(DC_USERS)]
DC_HUGE = ["u%04d" % i for i in range(3100)]  # three slices


def dc_entries():
    entries = {}
    for i, name in enumerate(DC_BIG):
        entries["cn=%s,ou=people,%s" % (name, SUFFIX)] = {
            "uid": [name], "cn": [name.title()], "uidNumber": [str(40000 + i)],
            "gidNumber": ["40000"], "homeDirectory": ["/home/" + name],
            "loginShell": ["/bin/sh"]}
    entries["cn=big,ou=groups," + SUFFIX] = {
        "cn": ["big"], "gidNumber": ["40000"],
        "member": ["cn=%s,ou=people,%s" % (n, SUFFIX) for n in DC_BIG]}
    entries["cn=huge,ou=groups," + SUFFIX] = {
        "cn": ["huge"], "gidNumber": ["40001"], "memberUid": DC_HUGE}
    return entries


class Responder:
    """responder.py serving ENTRIES on a socket in WORK, started and
    stopped (by pid) by this suite."""

    def __init__(self, work, entries_path, mode, fault=None):
        self.socket = os.path.join(work, "responder")
        self.uri = "ldapi://" + urllib.parse.quote(self.socket, safe="")
        cmd = [sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                            "responder.py"),
               "--socket", self.socket, "--entries", entries_path, "--mode", mode]
        if fault:
            cmd += ["--fault", fault]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True)
        if self.proc.stdout.readline().strip() != "ready":
            self.stop()
            raise RuntimeError("responder.py did not start")

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(timeout=30)
        if os.path.exists(self.socket):
            os.unlink(self.socket)


def group_line(name, gid, members):
    return "%s:*:%d:%s\n" % (name, gid, ",".join(sorted(members)))


def responder_cases(tool, work):
    here = os.path.join(work, "responder-maps")
    os.mkdir(here)
    sync = Sync(tool, here, None)
    entries = os.path.join(here, "entries.json")
    with open(entries, "w") as f:
        json.dump(dc_entries(), f)
    anonymous = {"bind": "none", "bind_dn": "", "bind_password_file": "",
                 "group_base": "ou=groups," + SUFFIX, "page_size": "1500"}
    big = group_line("big", 40000, DC_BIG)
    huge = group_line("huge", 40001, DC_HUGE)

    # As a domain controller answers: pages of at most 1,000 entries and
    # attributes of more than 1,500 values in ranges, unasked.  Every
    # slice is read; in rfc2307bis mode member and memberUid alike.
    with Responder(here, entries, "dc") as dc:
        for schema, expected in (("rfc2307", "big:*:40000:\n" + huge),
                                 ("rfc2307bis", big + huge)):
            r = sync.run(dict(anonymous, uri=dc.uri, schema=schema), "--force")
            expect(r, 0, "ranged values, " + schema)
            check(len(sync.read(sync.passwd).splitlines()) == DC_USERS,
                  "ranged values, %s: all %d users through pages of 1,000" % (schema, DC_USERS))
            check(sync.read(sync.group) == expected,
                  "ranged values, %s: every member of every slice" % schema,
                  sync.read(sync.group)[:300])

    # The member guard: a group that would lose more than --max-drop of
    # its members counts as a removed record (here 1 of 2 records, 50%).
    fewer = os.path.join(here, "fewer.json")
    for kept, status in ((1500, 0), (1400, 1), (10, 1)):
        smaller = dc_entries()
        smaller["cn=big,ou=groups," + SUFFIX]["member"] = smaller[
            "cn=big,ou=groups," + SUFFIX]["member"][:kept]
        with open(fewer, "w") as f:
            json.dump(smaller, f)
        with Responder(here, fewer, "dc") as dc:
            what = "member guard, %d of %d members kept, --max-drop 10" % (kept, DC_USERS)
            run_it = lambda: sync.run(dict(anonymous, uri=dc.uri, schema="rfc2307bis"),
                                      "--max-drop", "10")
            if status == 0:
                r = run_it()
                expect(r, 0, what)
            else:
                r = unchanged_after(sync, what, run_it, status=1, mention="members")
        with Responder(here, entries, "dc") as dc:
            r = sync.run(dict(anonymous, uri=dc.uri, schema="rfc2307bis"), "--force")
            expect(r, 0, what + ": all members again")

    # A range that can't be completed fails the sync; nothing is written.
    bis = dict(anonymous, schema="rfc2307bis")
    for fault, mention in (("gone", "no values from 1500 on"), ("gap", "no values from 1500 on"),
                           ("short", "held 1499 values"), ("malformed", "member;range=0-many"),
                           ("error", "No such object")):
        with Responder(here, entries, "dc", fault) as dc:
            r = unchanged_after(sync, "ranged values, a range %s" % fault,
                                lambda: sync.run(dict(bis, uri=dc.uri)), mention=mention)
            check("ranges that can't be completed" in r.stderr,
                  "ranged values, a range %s: the message says so" % fault, r.stderr)

    # A server that ignores the paged results control: its whole answer
    # with Success is the result; cut by its size limit, it fails.
    with Responder(here, entries, "unpaged") as unpaged:
        r = sync.run(dict(bis, uri=unpaged.uri, page_size="100"), "--force")
        expect(r, 0, "paging ignored")
        check(len(sync.read(sync.passwd).splitlines()) == DC_USERS and
              sync.read(sync.group) == big + huge, "paging ignored: the whole answer")
    # The guide's example for the compatibility tree, which ignores paging.
    compat = {}
    for name, uid in (("ana", 25001), ("ben", 25002), ("cid", 25003)):
        compat["uid=%s,cn=users,cn=compat,%s" % (name, SUFFIX)] = {
            "uid": [name], "uidNumber": [str(uid)], "gidNumber": ["25000"],
            "gecos": [name.title()], "homeDirectory": ["/home/" + name],
            "loginShell": ["/bin/sh"]}
    compat["cn=crew,cn=groups,cn=compat," + SUFFIX] = {
        "cn": ["crew"], "gidNumber": ["25001"], "memberUid": ["cid", "ana", "ben"]}
    compat_path = os.path.join(here, "compat.json")
    with open(compat_path, "w") as f:
        json.dump(compat, f)
    example = guide_examples()[-1]
    with Responder(here, compat_path, "unpaged") as tree:
        r = sync.run(dict(example, uri=tree.uri, bind="none", bind_dn="", bind_password_file="",
                          tls_ca_file=""), "--force")
        expect(r, 0, "the guide's compatibility tree example")
        check(sync.read(sync.group) == "crew:*:25001:ana,ben,cid\n" and
              len(sync.read(sync.passwd).splitlines()) == 3,
              "the guide's compatibility tree example: the maps",
              sync.read(sync.passwd) + sync.read(sync.group))
    with Responder(here, entries, "sizelimit") as cut:
        unchanged_after(sync, "paging ignored, cut by a size limit",
                        lambda: sync.run(dict(bis, uri=cut.uri)), mention="Size limit exceeded")


def cases(tool, work, slapd):
    sync = Sync(tool, work, slapd.ldapi)

    # RFC 2307: exactly the expected maps; the broken entries left out and
    # named; a second sync of the unchanged directory changes no file.
    r = sync.run({})
    expect(r, 3, "rfc2307")
    check(sync.read(sync.passwd) == EXPECTED_PASSWD, "rfc2307: passwd map",
          sync.read(sync.passwd))
    check(sync.read(sync.group) == EXPECTED_GROUP, "rfc2307: group map", sync.read(sync.group))
    for where in (BAD_GECOS_DN, NO_UID_DN, "uid=dave,ou=people"):
        check(where in r.stderr, "rfc2307: reported: " + where, r.stderr)
    check(":0:0:" not in sync.read(sync.passwd), "rfc2307: the smuggled uid 0 is not in the map")
    check(os.path.exists(sync.passwd + ".ixname") and os.path.exists(sync.group + ".ixgid"),
          "rfc2307: installed with indexes")
    st = run([tool, "status", "--passwd", sync.passwd, "--group", sync.group,
              "--state-dir", sync.state, "--format", "json", "--config", sync.conf])
    check('"sync"' in st.stdout and '"success": true' in st.stdout,
          "rfc2307: the run is recorded for vesk-index status", st.stdout + st.stderr)
    unchanged_after(sync, "unchanged directory", lambda: sync.run({}), status=3)

    # --strict refuses; --dry-run and --stage-only install nothing.
    unchanged_after(sync, "--strict", lambda: sync.run({}, "--strict"), status=1)
    bis = {"group_base": "ou=bisgroups," + SUFFIX, "schema": "rfc2307bis",
           "group_filter": "(objectClass=groupOfNames)"}
    r = unchanged_after(sync, "--dry-run", lambda: sync.run(bis, "--dry-run", "--force"),
                        status=3)
    check("dry run" in r.stdout, "--dry-run: prints the summary", r.stdout)

    # RFC 2307bis: member DNs, nested groups with a cycle, a differently
    # spelt DN, and members that are no exported user dropped.
    r = sync.run(bis, "--force")
    expect(r, 3, "rfc2307bis")
    check(sync.read(sync.group) == EXPECTED_BIS_GROUP, "rfc2307bis: group map",
          sync.read(sync.group))
    check("1 members dropped" in r.stdout, "rfc2307bis: dropped members counted", r.stdout)

    # The guide's example for an identity-management suite's main tree, as
    # written but for the server, its CA and the bind: locked accounts
    # left out and no group lists them; member and memberUid read alike.
    examples = guide_examples()
    check(len(examples) == 2, "the guide's two examples for an identity-management directory",
          repr(examples))
    main_tree = dict(examples[0], uri="ldaps://127.0.0.1:6636", bind_dn=ROOT_DN,
                     bind_password_file=sync.secret, tls_ca_file=os.path.join(work, "ca.pem"))
    r = sync.run(main_tree, "--force")
    expect(r, 0, "the guide's main tree example")
    check(sync.read(sync.passwd) == EXPECTED_IDM_PASSWD and
          sync.read(sync.group) == EXPECTED_IDM_GROUP,
          "the guide's main tree example: the maps", sync.read(sync.passwd) +
          sync.read(sync.group))
    check("2 disabled accounts left out" in r.stdout and "3 members dropped" in r.stdout,
          "the guide's main tree example: disabled accounts counted", r.stdout)
    r = sync.run(dict(main_tree, exclude_disabled="no"), "--force")
    check(r.returncode == 0 and len(sync.read(sync.passwd).splitlines()) == 4 and
          "disabled" not in r.stdout, "exclude_disabled = no: locked accounts exported",
          r.stdout + r.stderr)

    r = sync.run(bis, "--stage-only")
    expect(r, 3, "--stage-only")
    check(sync.read(sync.passwd + ".new") == EXPECTED_PASSWD and
          sync.read(sync.group + ".new") == EXPECTED_BIS_GROUP, "--stage-only: MAP.new staged")
    os.unlink(sync.passwd + ".new")
    os.unlink(sync.group + ".new")

    # More entries than the server's size limit: whole through paging, at
    # a page size above the limit too.  Unpaged, the server stops short.
    r = run(["ldapsearch", "-Y", "EXTERNAL", "-H", slapd.ldapi, "-b", "ou=many," + SUFFIX, "uid"])
    check(r.returncode == 4, "size limit: an unpaged search is cut (sizelimit exceeded)",
          "ldapsearch exit %d: %s" % (r.returncode, r.stderr))
    for page in (100, 1000):
        many = {"user_base": "ou=many," + SUFFIX, "group_base": "ou=many," + SUFFIX,
                "page_size": str(page)}
        r = sync.run(dict(many, **EXTERNAL), "--force")
        expect(r, 0, "paging by %s" % page)
        lines = sync.read(sync.passwd).splitlines()
        check(len(lines) == MANY and lines[0].startswith("m00000:") and
              lines[-1].startswith("m%05d:" % (MANY - 1)), "paging by %s: all %d users" %
              (page, MANY), "%d lines" % len(lines))
    crowd = sync.read(sync.group)
    check(crowd == "crowd:*:30000:%s\n" % ",".join("m%05d" % i for i in range(0, MANY, 7)),
          "paging: the group map", crowd[:200])

    # Failures leave every file as it was, with exit status 2.
    unchanged_after(sync, "wrong password", lambda: sync.run(many, password="wrong"),
                    mention="Invalid credentials")
    unchanged_after(sync, "password file others can read",
                    lambda: sync.run(many, mode=0o640), mention="mode 0640")
    unchanged_after(sync, "bad filter", lambda: sync.run(dict(many, user_filter="(uid=")),
                    mention="Bad search filter")
    unchanged_after(sync, "no such base",
                    lambda: sync.run(dict(many, user_base="ou=nowhere," + SUFFIX)),
                    mention="No such object")
    unchanged_after(sync, "a referral", lambda: sync.run(dict(many, user_base="ou=refs," + SUFFIX)),
                    mention="referral")
    unchanged_after(sync, "paged searches cut by the server's limit",
                    lambda: sync.run(dict(many, **dict(EXTERNAL, bind="none"))),
                    mention="Size limit exceeded")
    # Configurations that must not be guessed at.
    for settings, mention in (({"attr_uid": "x"}, "unknown key"),
                              ({"uri": "http://127.0.0.1/"}, "not an ldap://"),
                              ({"schema": "rfc2307x"}, "not rfc2307, rfc2307bis or ad"),
                              (dict(EXTERNAL, bind="none", bind_dn=ROOT_DN), "only for bind = simple"),
                              ({"tls_cert_file": "/nonexistent"}, "needs both"),
                              ({"home_template": "/home/%n"}, "only %u"),
                              ({"page_size": "0"}, "not a number"),
                              ({"uri": "ldap://127.0.0.1:3890", "starttls": "maybe"}, "not yes or no")):
        unchanged_after(sync, "configuration %s" % settings,
                        lambda: sync.run(dict(many, **settings)), mention=mention)

    tls = dict(many, tls_ca_file=os.path.join(work, "ca.pem"))
    for uri, extra in (("ldaps://127.0.0.1:6636", {}), ("ldap://127.0.0.1:3890",
                                                        {"starttls": "yes"})):
        r = sync.run(dict(tls, uri=uri, **extra), "--force")
        expect(r, 0, "TLS " + uri)
        wrong = dict(tls, uri=uri, tls_ca_file=os.path.join(work, "otherca.pem"), **extra)
        unchanged_after(sync, "TLS %s with a wrong CA" % uri, lambda: sync.run(wrong),
                        mention=uri)
    unchanged_after(sync, "ldap:// without starttls",
                    lambda: sync.run(dict(tls, uri="ldap://127.0.0.1:3890")),
                    mention="unprotected")
    # The second URI is used when the first can't be reached.
    r = sync.run(dict(tls, uri="ldaps://127.0.0.1:1 ldaps://127.0.0.1:6636"), "--force")
    expect(r, 0, "second URI")

    # The server stopped in the middle of a sync: one entry per page keeps
    # the sync talking to it; it is frozen once it has sent some thirty of
    # its 1,200 page requests (it writes nothing else before it ends), the
    # server killed, and the sync let go on.
    proc = sync.run(dict(many, page_size="1"), background=True)
    before = sync.snapshot()
    connected = False
    deadline = time.time() + 30
    first = None  # what it wrote before it searched (a sanitizer's runtime writes too)
    while time.time() < deadline and proc.poll() is None and not connected:
        try:
            with open("/proc/%d/io" % proc.pid) as f:
                wrote = int(f.read().split("wchar:")[1].split()[0])
            sockets = sum(os.readlink("/proc/%d/fd/%s" % (proc.pid, fd)).startswith("socket:")
                          for fd in os.listdir("/proc/%d/fd" % proc.pid))
            if sockets and first is None:
                first = wrote
            connected = first is not None and wrote - first > 3000
        except (OSError, IndexError, ValueError):
            pass
        if not connected:
            time.sleep(0.0005)
    os.kill(proc.pid, signal.SIGSTOP)
    slapd.stop(signal.SIGKILL)
    os.kill(proc.pid, signal.SIGCONT)
    out, err = proc.communicate(timeout=60)
    check(connected and proc.returncode == 2, "server stopped mid-sync: exit status 2",
          "connected %s, status %d\n%s" % (connected, proc.returncode, err))
    check(sync.snapshot() == before, "server stopped mid-sync: every file as it was")
    check(slapd.ldapi in err and "searching" in err,
          "server stopped mid-sync: the message names the server and the search", err)


def serve(work):
    """Serves this suite's directory over ldapi:// on WORK/ldapi (no TLS)
    until standard input closes or a signal ends it: for tests that run the
    sync another way, such as its service under systemd."""
    load_directory(work, False)
    slapd = Slapd(work)
    slapd.start()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        print("serving " + slapd.ldapi, flush=True)
        sys.stdin.read()
    finally:
        slapd.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", help="vesk-index")
    parser.add_argument("--serve", metavar="DIR", help="only serve the directory, in DIR")
    args = parser.parse_args()
    if args.serve:
        serve(args.serve)
        return
    if not args.tool:
        parser.error("--tool is required")
    if os.environ.get("VESK_SYNC_NAMESPACE") != "1":
        if os.geteuid() != 0:
            skip("needs root (private namespaces)")
        for program in ("unshare", "slapd", "slapadd", "ldapsearch", "openssl"):
            if shutil.which(program) is None and not os.path.exists("/usr/sbin/" + program):
                skip(program + " is not installed")
        if run(["unshare", "-m", "-n", "true"]).returncode != 0:
            skip("can't make private namespaces (unshare -m -n)")
        env = dict(os.environ, VESK_SYNC_NAMESPACE="1",
                   PATH=os.environ.get("PATH", "/usr/bin:/bin") + ":/usr/sbin:/sbin")
        r = subprocess.run(["unshare", "-m", "-n", "--propagation", "private", sys.executable,
                            os.path.abspath(__file__)] + sys.argv[1:], env=env)
        sys.exit(r.returncode)
    work = tempfile.mkdtemp(prefix="vesk-sync-")
    try:
        suite(os.path.abspath(args.tool), work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("%d check(s) failed" % len(failures))
        sys.exit(1)
    print("all checks passed")


if __name__ == "__main__":
    main()
