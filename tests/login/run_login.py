#!/usr/bin/python3
"""Login on a stock host: the right users log in, and no map grants privilege.

In private mount, network, UTS and PID namespaces over overlays of /etc and
/var (host.py), with `passwd: files vesk` and `group: files vesk`, the real
programs with the configuration Debian's packages install: sshd (UsePAM
yes, started here on a loopback port and stopped by pid), su through
pam_unix, sudo with Debian's sudoers and a NOPASSWD rule for a local user in
/etc/sudoers.d, pam_access with a rule naming root, newgrp, id, chown.

A map user logs in with a key and a local user still does.  Then each
hostile record of HOSTILE is staged beside a sound map and put in place
with `vesk-index install`: it must be left out, and no program may grant
it (or the map user it names as a member) anything.  Attacks run as a
non-root user through setpriv.

Exit status: 0 passed, 1 a check failed, 77 skipped (the reason printed).
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from host import Host, PASSWD_MAP, GROUP_MAP, run  # noqa: E402

SKIP = 77

# The sound map: alice logs in; mallory is a plain map user whom hostile
# groups name as a member.
SOUND_PASSWD = ("alice:*:20001:20001:Alice Example:/home/alice:/bin/sh\n"
                "mallory:*:20003:20003:Mallory:/home/mallory:/bin/sh\n")
SOUND_GROUP = ("alice:*:20001:\n"
               "devs:*:20002:alice\n"
               "mallory:*:20003:\n")
ALICE_ID = "uid=20001(alice) gid=20001(alice) groups=20001(alice),20002(devs)\n"
MALLORY = (20003, 20003)

# Local accounts the scenarios rely on: lucy logs in over ssh, deploy has
# the NOPASSWD rule of the kind cloud images write, and sudo's member list
# still names olduser, an account removed long ago.
LOCAL_USERS = ("lucy", "deploy")
NOPASSWD_RULE = "deploy ALL=(ALL) NOPASSWD:ALL"
STALE_MEMBER = "olduser"
ACCESS_RULES = ("+:root:ALL", "+:alice lucy:ALL", "-:ALL:ALL")


class Hostile:
    """A record a map must never deliver.  `user` (name, uid, gid) is the
    account an attacker would use, `group` a group name to try with newgrp
    and sudo; `passwd`/`group_lines` are staged after the sound map."""

    def __init__(self, label, passwd="", group_lines="", user=None, group=None):
        self.label, self.passwd, self.group_lines = label, passwd, group_lines
        self.user, self.group = user, group


def user_case(label, name, uid, gid=20003, gecos=""):
    return Hostile(label, passwd="%s:*:%d:%d:%s:/home/%s:/bin/sh\n" % (name, uid, gid, gecos, name),
                   user=(name, uid, gid))


def group_case(label, name, gid, members="mallory"):
    return Hostile(label, group_lines="%s:*:%d:%s\n" % (name, gid, members), group=name)


HOSTILE = [
    user_case("uid 0 under another name", "toor", 0, 0),
    user_case("a local user's name", "root", 20010),
    user_case("a local user's uid", "lucky", 1000),
    user_case("compat line naming a user", "+mallory", 0, 0),
    user_case("compat exclusion", "-lucy", 20011),
    group_case("a local group's name", "sudo", 20012),
    group_case("a local group's gid", "sudoers", 27),
    group_case("compat group line", "+sudo", 20013),
    user_case("primary group sudo", "gidsudo", 20014, 27),
    # Names that differ from local ones only in letter case: stock sudo and
    # pam_access compare names ignoring case.
    user_case("ROOT", "ROOT", 20020),
    user_case("Root", "Root", 20021),
    group_case("SUDO listing a map user", "SUDO", 20022),
    user_case("a case variant of the NOPASSWD name", "Deploy", 20023),
    group_case("a case variant of a local group", "Lucy", 20024),
    # A name a local group still lists: the stale membership of a removed
    # account must not pass to a new map user.
    user_case("a stale member of sudo", STALE_MEMBER, 20025),
    # Names packages create later.
    user_case("reserved name postgres", "postgres", 20026),
    group_case("reserved name docker", "docker", 20027),
    group_case("reserved name wheel", "wheel", 20028),
    group_case("reserved name admin", "admin", 20029),
    # Look-alikes and invisible characters.
    user_case("Cyrillic o", "ro\u043et", 20030),
    user_case("zero-width space", "root\u200b", 20031),
    user_case("no-break space", "root\u00a0", 20032),
    # Shell metacharacters.
    user_case("backquotes", "`id`", 20033),
    user_case("command substitution", "$(reboot)", 20034),
    user_case("semicolon", "a;b", 20035),
    # systemd's ranges.
    user_case("systemd dynamic user range", "dyn", 61200),
    user_case("systemd container range", "ctr", 600000),
    group_case("container range gid", "ctrg", 600001),
    # A gecos that rewrites the terminal.
    user_case("terminal escape in the gecos", "esc", 20036, gecos="\x1b]0;owned\x07\x1b[2J"),
]


def subordinate_cases():
    """A uid and a gid inside a local user's subordinate ranges (useradd
    gave lucy hers)."""
    cases = []
    for path, make in (("/etc/subuid", lambda first: user_case("subordinate uid", "subu", first + 500)),
                       ("/etc/subgid", lambda first: group_case("subordinate gid", "subg", first + 500))):
        with open(path) as f:
            for line in f:
                fields = line.strip().split(":")
                if fields[0] == "lucy":
                    cases.append(make(int(fields[1])))
    return cases


class Suite:
    def __init__(self, host):
        self.host = host
        self.passed = 0
        self.failed = []
        self.scenario = ""

    def check(self, label, ok, detail=""):
        if ok:
            self.passed += 1
        else:
            self.failed.append("[%s] %s%s" % (self.scenario, label, ": " + detail.strip() if detail else ""))

    def expect(self, label, result, status=0, out=None):
        """Checks (status, stdout, stderr) of a program."""
        got_status, got_out, err = result
        ok = got_status == status and (out is None or got_out == out)
        self.check(label, ok, "exit %d, stdout %r, stderr %r" % (got_status, got_out, err[-300:]))

    def refused(self, label, result):
        """The program must fail (any non-zero status)."""
        self.check(label, result[0] != 0, "exit 0, stdout %r" % result[1])


def sound_host(s, sshd):
    host = s.host
    s.scenario = "sound map"
    status, out, err = host.install_maps(SOUND_PASSWD, SOUND_GROUP)
    s.check("install takes the sound map", status == 0, err)
    host.authorize_key("alice")
    s.expect("id of a map user", run(["id", "alice"]), out=ALICE_ID)
    s.expect("a map user logs in with a key", host.try_login(sshd, "alice"), out="alice\n")
    s.expect("a local user still logs in", host.try_login(sshd, "lucy"), out="lucy\n")
    s.refused("pam_access turns away a user it does not list", host.try_login(sshd, "mallory"))
    s.expect("su to a map user through pam_unix", run(["su", "-s", "/bin/sh", "alice", "-c", "id -un"]),
             out="alice\n")
    lucy = (int(run(["id", "-u", "lucy"])[1]), int(run(["id", "-g", "lucy"])[1]))
    s.expect("su from a local user to a map user needs a password",
             host.as_user(*lucy, ["su", "alice", "-c", "id -un"]), status=1, out="")
    cloud = (int(run(["id", "-u", "deploy"])[1]), int(run(["id", "-g", "deploy"])[1]))
    s.expect("the NOPASSWD rule works for its local user",
             host.as_user(*cloud, ["sudo", "-n", "id", "-u"], init_groups=True), out="0\n")
    s.refused("sudo grants a map user nothing", host.as_user(20001, 20001, ["sudo", "-n", "id", "-u"],
                                                              init_groups=True))
    s.expect("newgrp to a map group the map user is in",
             host.as_user(20001, 20001, ["newgrp", "devs"], stdin="id -gn\n", init_groups=True), out="devs\n")
    f = "/tmp/owned"
    open(f, "w").close()
    s.expect("chown name:name to a map user", run(["chown", "alice:alice", f]))
    s.expect("the file belongs to the map user", run(["stat", "-c", "%U:%G", f]), out="alice:alice\n")


def compat_by_hand(s, sshd):
    """Compat lines in maps put in place by hand, bypassing install: the
    module itself must not answer for them."""
    s.scenario = "compat lines put in place by hand"
    host = s.host
    with open(PASSWD_MAP, "w") as f:
        f.write("+mallory::0:0:Mallory:/root:/bin/sh\n-x:*:20099:20099::/home/x:/bin/sh\n" + SOUND_PASSWD)
    with open(GROUP_MAP, "w") as f:
        f.write("+wheel:*:20098:alice\n-sudo::27:alice\n" + SOUND_GROUP)
    run([host.index_tool, "build"])  # reports the lines as problems, writes the indexes
    host.authorize_key("+mallory", 0, 0)
    for argv in (["getent", "-s", "vesk", "passwd", "+mallory"], ["getent", "-s", "vesk", "passwd", "0"],
                 ["getent", "-s", "vesk", "passwd", "20099"], ["getent", "-s", "vesk", "group", "+wheel"],
                 ["getent", "-s", "vesk", "group", "27"], ["id", "+mallory"]):
        s.refused(" ".join(argv), run(argv))
    every = run(["getent", "-s", "vesk", "passwd"])[1] + run(["getent", "-s", "vesk", "group"])[1]
    s.check("enumeration passes over compat lines", "+" not in every and "-" not in every, every)
    s.expect("initgroups passes over compat groups", run(["id", "alice"]), out=ALICE_ID)
    s.refused("no login as a compat name", host.try_login(sshd, "+mallory"))


def hostile_records(s, sshd, cases):
    host = s.host
    target = "/tmp/target"
    open(target, "w").close()
    for case in cases:
        s.scenario = case.label
        status, out, err = host.install_maps(SOUND_PASSWD + case.passwd, SOUND_GROUP + case.group_lines)
        with open(PASSWD_MAP, encoding="utf-8", errors="replace") as f:
            passwd = f.read()
        with open(GROUP_MAP, encoding="utf-8", errors="replace") as f:
            group = f.read()
        s.check("install puts the sound records in place", passwd == SOUND_PASSWD and group == SOUND_GROUP,
                "exit %d: %s" % (status, err))
        s.check("install reports what it left out", "left out" in err, err)
        # Whatever the policy said, each program is tried as an attacker
        # would: by the name where no local account holds it, by the uid
        # where none has it (a local account's own name or uid is its own).
        if case.user is not None:
            name, uid, gid = case.user
            s.refused("getent -s vesk passwd", run(["getent", "-s", "vesk", "passwd", name]))
            s.refused("getent -s vesk passwd uid", run(["getent", "-s", "vesk", "passwd", str(uid)]))
            if run(["getent", "-s", "files", "passwd", name])[0] != 0:
                host.authorize_key(name, uid, gid)
                s.refused("ssh login", host.try_login(sshd, name))
                s.refused("su as root", run(["su", "-s", "/bin/sh", name, "-c", "id -u"]))
                s.refused("chown name:name", run(["chown", "%s:%s" % (name, name), target]))
                sudo = run(["sudo", "-l", "-U", name])
                s.check("sudo -l -U lists nothing", "(ALL" not in sudo[1], sudo[1])
        if case.user is not None and run(["getent", "-s", "files", "passwd", str(case.user[1])])[0] != 0:
            sudo = host.as_user(uid, gid, ["sudo", "-n", "id", "-u"])
            s.check("sudo -n as its uid grants nothing", sudo[1] != "0\n", sudo[1])
            grp = host.as_user(uid, gid, ["newgrp", "sudo"], stdin="id -G\n")
            s.check("newgrp sudo as its uid grants nothing", "27" not in grp[1].split(), grp[1])
        if case.group is not None:
            s.refused("getent -s vesk group", run(["getent", "-s", "vesk", "group", case.group]))
            sudo = run(["sudo", "-l", "-U", "mallory"])
            s.check("sudo -l -U for its member lists nothing", "(ALL" not in sudo[1], sudo[1])
            grp = host.as_user(*MALLORY, ["newgrp", case.group], stdin="id -G\n", init_groups=True)
            s.refused("newgrp into it as its member", grp)
            s.expect("its member's groups are the sound map's", run(["id", "-G", "mallory"]), out="20003\n")
    os.unlink(target)


def privileged_allow_gid(s):
    """allow_gid naming a group that grants privilege: install refuses to
    run at all, and the maps stay as they were."""
    s.scenario = "allow_gid = 27"
    with open(PASSWD_MAP, encoding="utf-8", errors="replace") as f:
        before = f.read()
    with open("/etc/vesk-index.conf", "w") as f:
        f.write("[policy]\nallow_gid = 27\n")
    status, out, err = s.host.install_maps(SOUND_PASSWD + "sudoer:*:20040:27::/home/sudoer:/bin/sh\n",
                                           SOUND_GROUP)
    os.unlink("/etc/vesk-index.conf")
    s.check("install fails", status == 2, "exit %d: %s" % (status, err))
    s.check("the message names the group", "sudo" in err, err)
    with open(PASSWD_MAP, encoding="utf-8", errors="replace") as f:
        s.check("the map is unchanged", f.read() == before)
    s.refused("the user is not served", run(["getent", "-s", "vesk", "passwd", "sudoer"]))
    for staged in (PASSWD_MAP + ".new", GROUP_MAP + ".new"):
        if os.path.exists(staged):
            os.unlink(staged)


def local_memberships(s):
    """A map user the map in service holds keeps a local group an
    administrator gave it; a new one whom the group lists is left out,
    unless accept_new_local_members = yes."""
    s.scenario = "local group memberships"
    host = s.host
    carol = "carol:*:20050:20003::/home/carol:/bin/sh\n"
    dan = "dan:*:20051:20003::/home/dan:/bin/sh\n"
    run(["groupadd", "-g", "1500", "devops"])
    status, out, err = host.install_maps(SOUND_PASSWD + carol, SOUND_GROUP)
    s.check("carol is installed", status == 0, err)
    host.set_local_group_members("devops", ["carol", "dan"])  # usermod -aG for directory users
    status, out, err = host.install_maps(SOUND_PASSWD + carol + dan, SOUND_GROUP)
    s.check("dan, new and listed, is left out", status == 3 and "\"devops\"" in err, err)
    s.expect("carol keeps her local group", run(["id", "-Gn", "carol"]), out="mallory devops\n")
    s.refused("dan is not served", run(["getent", "-s", "vesk", "passwd", "dan"]))
    with open("/etc/vesk-index.conf", "w") as f:
        f.write("[policy]\naccept_new_local_members = yes\n")
    status, out, err = host.install_maps(SOUND_PASSWD + carol + dan, SOUND_GROUP)
    os.unlink("/etc/vesk-index.conf")
    s.check("accept_new_local_members = yes takes dan", status == 0, err)
    s.expect("dan gets the group", run(["id", "-Gn", "dan"]), out="mallory devops\n")


def inside(args):
    host = Host(args.module_dir, args.index_tool)
    host.setup()
    for name in LOCAL_USERS:
        host.add_local_user(name)
    host.set_local_group_members("sudo", [STALE_MEMBER])
    host.add_sudoers_rule("deploy", NOPASSWD_RULE)
    host.enable_pam_access(ACCESS_RULES)
    s = Suite(host)
    sshd = host.start_sshd()
    try:
        sound_host(s, sshd)
        compat_by_hand(s, sshd)
        hostile_records(s, sshd, HOSTILE + subordinate_cases())
        privileged_allow_gid(s)
        local_memberships(s)
    finally:
        sshd.stop()
    if host.changed_conffiles:
        print("note: configuration files differing from the packages': " + " ".join(host.changed_conffiles))
    for f in s.failed:
        print("FAIL " + f)
    if s.failed and args.verbose:
        print(sshd.log_text()[-4000:])
    print("login: %d checks passed, %d failed" % (s.passed, len(s.failed)))
    return 1 if s.failed else 0


def skip(reason):
    print("SKIP: login test not run: " + reason)
    sys.exit(SKIP)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--module-dir", required=True)
    ap.add_argument("--index-tool", required=True)
    ap.add_argument("--sanitized", action="store_true")
    ap.add_argument("--verbose", action="store_true")
    ap.add_argument("--inside", action="store_true")
    args = ap.parse_args()
    if args.inside:
        sys.exit(inside(args))
    if args.sanitized:
        skip("real programs cannot load a sanitizer build's module")
    if os.geteuid() != 0:
        skip("needs root")
    for tool in ("unshare", "setpriv", "sudo", "su", "newgrp", "ssh", "ssh-keygen", "useradd", "getent"):
        if run(["which", tool])[0] != 0:
            skip("%s is not installed (scripts/deps installs it)" % tool)
    if not os.path.exists("/usr/sbin/sshd"):
        skip("sshd is not installed (scripts/deps installs openssh-server)")
    if run(["unshare", "--mount", "--net", "--uts", "--pid", "--fork", "true"])[0] != 0:
        skip("unshare of mount, network, UTS and PID namespaces is not permitted here")
    argv = ["unshare", "--mount", "--net", "--uts", "--pid", "--fork", "--propagation", "private",
            sys.executable, os.path.abspath(__file__), "--inside",
            "--module-dir", os.path.abspath(args.module_dir), "--index-tool", os.path.abspath(args.index_tool)]
    if args.verbose:
        argv.append("--verbose")
    os.execvp("unshare", argv)


if __name__ == "__main__":
    main()
