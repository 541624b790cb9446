#!/usr/bin/python3
"""SSH keys from the directory: sshd lets a directory user in with the key
the directory holds, through authorized-keys, and nobody else.

In the namespaces and overlays of host.py: slapd (started and stopped here,
by pid, on an ldapi:// socket, with the key schema of ssh-key-schema.ldif)
holds users with sshPublicKey values; `vesk-index sync` with ssh_keys = yes
installs the maps and the keys map; Debian's sshd with its packaged
configuration plus the two AuthorizedKeysCommand lines, run as the
unprivileged user the package's sysusers entry makes.

- alice logs in with the key from the directory, with no key file on the
  host; after the key is replaced in the directory and synced again, the
  old key no longer works and the new one does.
- a key with command= (not allowed) is not served, nor works;
- a key of a user the policy leaves out (uid 0) is never served;
- keys of directory users named as local accounts (deploy, who may sudo,
  and lucy) never let anyone in as those accounts.

Exit status: 0 passed, 1 a check failed, 77 skipped.
"""

import argparse
import os
import shutil
import subprocess
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from host import Host, WORK, run, must, write  # noqa: E402

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))
SUFFIX = "dc=example,dc=org"
PEOPLE = "ou=people," + SUFFIX
KEYS_MAP = "/etc/sshkeys.vesk"
COMMAND = WORK + "/libexec/authorized-keys"


class Checks:
    def __init__(self):
        self.passed, self.failed = 0, []

    def check(self, ok, what, detail=""):
        if ok:
            self.passed += 1
        else:
            self.failed.append(what + (": " + detail.strip()[-600:] if detail else ""))


class Slapd:
    """slapd on an ldapi:// socket in WORK, with its own cn=config."""

    def __init__(self):
        self.dir = WORK + "/slapd"
        self.socket = self.dir + "/ldapi"
        self.uri = "ldapi://" + urllib.parse.quote(self.socket, safe="")
        os.makedirs(self.dir + "/db")
        os.makedirs(self.dir + "/slapd.d")
        text = ("dn: cn=config\nobjectClass: olcGlobal\ncn: config\n\n"
                "dn: cn=module{0},cn=config\nobjectClass: olcModuleList\ncn: module{0}\n"
                "olcModulePath: /usr/lib/ldap\nolcModuleLoad: back_mdb\n\n"
                "dn: cn=schema,cn=config\nobjectClass: olcSchemaConfig\ncn: schema\n\n")
        for name in ("core", "cosine", "nis"):
            with open("/etc/ldap/schema/%s.ldif" % name) as f:
                text += f.read().strip() + "\n\n"
        with open(os.path.join(HERE, "ssh-key-schema.ldif")) as f:
            text += f.read().strip() + "\n\n"
        text += ("dn: olcDatabase={0}config,cn=config\nobjectClass: olcDatabaseConfig\n"
                 "olcDatabase: {0}config\nolcAccess: to * by * none\n\n"
                 "dn: olcDatabase={1}mdb,cn=config\nobjectClass: olcDatabaseConfig\n"
                 "objectClass: olcMdbConfig\nolcDatabase: {1}mdb\nolcSuffix: %s\n"
                 "olcDbDirectory: %s/db\nolcRootDN: cn=admin,%s\nolcRootPW: secret\nolcSizeLimit: unlimited\nolcDbMaxSize: 2147483648\n"
                 "olcAccess: to * by * read\n\n" % (SUFFIX, self.dir, SUFFIX))
        write(self.dir + "/config.ldif", text)
        must(["slapadd", "-n0", "-F", self.dir + "/slapd.d", "-l", self.dir + "/config.ldif"])
        self.proc = None

    def load(self, ldif):
        write(self.dir + "/data.ldif", ldif)
        must(["slapadd", "-F", self.dir + "/slapd.d", "-b", SUFFIX, "-l", self.dir + "/data.ldif"])

    def start(self):
        self.proc = subprocess.Popen(["slapd", "-F", self.dir + "/slapd.d", "-h", self.uri, "-d", "0"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(300):
            if os.path.exists(self.socket) and run(["ldapsearch", "-x", "-H", self.uri, "-b", SUFFIX,
                                                    "-s", "base"])[0] == 0:
                return
            if self.proc.poll() is not None:
                raise RuntimeError("slapd exited with status %d" % self.proc.returncode)
            time.sleep(0.05)
        raise RuntimeError("slapd did not answer")

    def modify(self, ldif):
        return run(["ldapmodify", "-x", "-H", self.uri, "-D", "cn=admin," + SUFFIX, "-w", "secret"],
                   stdin=ldif)

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=30)
        self.proc = None


def user(name, uid, keys):
    return ("dn: uid=%s,%s\nobjectClass: top\nobjectClass: account\nobjectClass: posixAccount\n"
            "objectClass: ldapPublicKey\nuid: %s\ncn: %s\nuidNumber: %d\ngidNumber: 20001\n"
            "homeDirectory: /home/%s\nloginShell: /bin/sh\n%s\n"
            % (name, PEOPLE, name, name, uid, name, "".join("sshPublicKey: %s\n" % k for k in keys)))


def make_key(name):
    path = WORK + "/key-" + name
    must(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", name, "-f", path])
    with open(path + ".pub") as f:
        return path, f.read().strip()


def login(sshd, key, user):
    return run(["ssh", "-i", key, "-p", str(sshd.port), "-F", "/dev/null",
                "-o", "BatchMode=yes", "-o", "IdentitiesOnly=yes", "-o", "StrictHostKeyChecking=no",
                "-o", "UserKnownHostsFile=/dev/null", "-o", "LogLevel=ERROR",
                "-o", "ConnectTimeout=10", "-l", user, "127.0.0.1", "id -un"])


def sync(tool):
    return run([tool, "sync", "--state-dir", WORK + "/state", "--allow-gid", "20001"], timeout=120)


def inside(args):
    host = Host(args.module_dir, args.index_tool)
    host.setup()
    c = Checks()
    # The command where sshd accepts it: a path owned by root that no one
    # else may write, as /usr/libexec is.
    os.makedirs(os.path.dirname(COMMAND), mode=0o755)
    shutil.copy(args.authorized_keys, COMMAND)
    os.chmod(COMMAND, 0o755)
    # The command's user, from the package's own sysusers entry.
    must(["systemd-sysusers", args.sysusers])
    c.check(run(["id", "-u", "vesk-keys"])[0] == 0, "sysusers makes vesk-keys")
    for name in ("lucy", "deploy"):
        host.add_local_user(name)
    host.add_sudoers_rule("deploy", "deploy ALL=(ALL) NOPASSWD:ALL")

    alice_key, alice_pub = make_key("alice")
    alice2_key, alice2_pub = make_key("alice2")
    cmd_key, cmd_pub = make_key("cmd")
    toor_key, toor_pub = make_key("toor")
    deploy_key, deploy_pub = make_key("deploy")
    lucy_key, lucy_pub = make_key("lucy")

    slapd = Slapd()
    slapd.load("dn: %s\nobjectClass: dcObject\nobjectClass: organization\ndc: example\no: Example\n\n"
               "dn: %s\nobjectClass: organizationalUnit\nou: people\n\n"
               "dn: ou=groups,%s\nobjectClass: organizationalUnit\nou: groups\n\n"
               "dn: cn=keyusers,ou=groups,%s\nobjectClass: posixGroup\ncn: keyusers\ngidNumber: 20001\n\n"
               % (SUFFIX, PEOPLE, SUFFIX, SUFFIX)
               + user("alice", 20001, [alice_pub, 'command="/bin/true" ' + cmd_pub])
               + user("toor", 0, [toor_pub])
               + user("deploy", 20005, [deploy_pub])
               + user("lucy", 20006, [lucy_pub])
               # Users without keys, so that the three left out stay below
               # install's --max-drop.
               + "".join(user(n, 20010 + i, []) for i, n in enumerate(("bob", "carol", "dave", "erin"))))
    slapd.start()
    sshd = None
    try:
        write("/etc/vesk-index.conf",
              "[ldap]\nuri = %s\nbase = %s\nuser_base = %s\ngroup_base = ou=groups,%s\n"
              "bind = none\nssh_keys = yes\n" % (slapd.uri, SUFFIX, PEOPLE, SUFFIX))
        status, out, err = sync(args.sync_tool)
        c.check(status == 3, "sync installs the maps with the policy's refusals (status 3)",
                "%d %s %s" % (status, out, err))
        keys = open(KEYS_MAP).read() if os.path.exists(KEYS_MAP) else ""
        c.check(alice_pub in keys, "alice's key is in the keys map", keys)
        for pub, what in ((cmd_pub, "command= key"), (toor_pub, "uid 0 user's key"),
                          (deploy_pub, "key of a local account's name (deploy)"),
                          (lucy_pub, "key of a local account's name (lucy)")):
            c.check(pub.split()[1] not in keys, what + " is left out of the keys map", keys)
        c.check("authorized_keys" not in " ".join(os.listdir("/home")) and
                not os.path.exists("/home/alice/.ssh"), "no key file for alice on the host")

        sshd = host.start_sshd(["AuthorizedKeysCommand %s %%u %%U" % COMMAND,
                                "AuthorizedKeysCommandUser vesk-keys"])
        status, out, err = login(sshd, alice_key, "alice")
        c.check(status == 0 and out == "alice\n", "alice logs in with the directory's key", out + err)
        for key, name, what in ((cmd_key, "alice", "the command= key"),
                                (toor_key, "toor", "the left-out user's key"),
                                (toor_key, "root", "the left-out user's key, as root"),
                                (deploy_key, "deploy", "a directory key for local deploy"),
                                (lucy_key, "lucy", "a directory key for local lucy")):
            status, out, err = login(sshd, key, name)
            c.check(status != 0 and out == "", "%s lets no one in as %s" % (what, name), out + err)
        # The local accounts still log in with their own key files.
        status, out, _ = host.try_login(sshd, "lucy")
        c.check(status == 0 and out == "lucy\n", "local lucy still logs in with her own key file")
        # What sshd would get for the local names, asked as sshd asks.
        for name in ("deploy", "lucy", "root"):
            uid = must(["id", "-u", name]).strip()
            status, out, _ = host.as_user(int(must(["id", "-u", "vesk-keys"])),
                                          int(must(["id", "-g", "vesk-keys"])), [COMMAND, name, uid])
            c.check(status == 0 and out == "", "authorized-keys serves nothing for local " + name, out)

        # The key is replaced in the directory: after the next sync the old
        # one stops working and the new one works.
        r = slapd.modify("dn: uid=alice,%s\nchangetype: modify\nreplace: sshPublicKey\n"
                         "sshPublicKey: %s\n" % (PEOPLE, alice2_pub))
        c.check(r[0] == 0, "ldapmodify replaces alice's key", r[2])
        status, out, err = sync(args.sync_tool)
        c.check(status in (0, 3), "the next sync installs the changed keys map", out + err)
        status, out, err = login(sshd, alice_key, "alice")
        c.check(status != 0 and out == "", "the removed key stops working after the sync", out + err)
        status, out, err = login(sshd, alice2_key, "alice")
        c.check(status == 0 and out == "alice\n", "the new key works after the sync", out + err)
    finally:
        if sshd is not None:
            sshd.stop()
        slapd.stop()
    for f in c.failed:
        print("FAIL " + f)
    if c.failed and args.verbose and sshd is not None:
        print(sshd.log_text()[-4000:])
    print("login keys: %d checks passed, %d failed" % (c.passed, len(c.failed)))
    return 1 if c.failed else 0


def skip(reason):
    print("SKIP: keys login test not run: " + reason)
    sys.exit(SKIP)


def main():
    ap = argparse.ArgumentParser()
    for a in ("--module-dir", "--index-tool", "--sync-tool", "--authorized-keys", "--sysusers"):
        ap.add_argument(a, required=True)
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
    for tool in ("unshare", "setpriv", "ssh", "ssh-keygen", "useradd", "slapd", "slapadd",
                 "ldapmodify", "systemd-sysusers", "sudo"):
        if shutil.which(tool) is None and not os.path.exists("/usr/sbin/" + tool):
            skip("%s is not installed (scripts/deps installs it)" % tool)
    if not os.path.exists("/usr/sbin/sshd"):
        skip("sshd is not installed (scripts/deps installs openssh-server)")
    if run(["unshare", "--mount", "--net", "--uts", "--pid", "--fork", "true"])[0] != 0:
        skip("unshare of mount, network, UTS and PID namespaces is not permitted here")
    argv = ["unshare", "--mount", "--net", "--uts", "--pid", "--fork", "--propagation", "private",
            sys.executable, os.path.abspath(__file__), "--inside"]
    for a in ("module_dir", "index_tool", "sync_tool", "authorized_keys", "sysusers"):
        argv += ["--" + a.replace("_", "-"), os.path.abspath(getattr(args, a))]
    if args.verbose:
        argv.append("--verbose")
    os.execvp("unshare", argv)


if __name__ == "__main__":
    main()
