#!/usr/bin/python3
"""vesk-index sync against a real Samba Active Directory domain controller.

The domain is provisioned once per run (tests/support/samba_dc.py) in
private mount, network and UTS namespaces, its entries loaded with one
ldbadd, and the controller started and stopped by this suite, by pid.
The sync binds with GSSAPI from a keytab over ldap:// (Samba signs and
seals) unless a case says otherwise.

Exit status: 0 all checks passed, 1 a check failed, 77 skipped.
"""

import argparse
import ctypes
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import samba_dc  # noqa: E402

SKIP = 77
B = samba_dc.BASE
REALM = samba_dc.REALM
failures = []


def check(ok, what, detail=""):
    print(("ok    " if ok else "FAIL  ") + what)
    if not ok:
        failures.append(what)
        if detail:
            print("      " + detail.replace("\n", "\n      "))


def skip(reason):
    print("SKIP: AD sync suite not run: " + reason)
    sys.exit(SKIP)


def b64pw(pw):
    import base64
    return base64.b64encode(('"%s"' % pw).encode("utf-16-le")).decode()


def user(cn, ou, sam, uid=None, gid=10000, display=None, uac=544, extra=""):
    text = ("dn: CN=%s,%s,%s\nobjectClass: user\nsAMAccountName: %s\nuserAccountControl: %d\n"
            % (cn, ou, B, sam, uac))
    if uid is not None:
        text += ("uidNumber: %d\ngidNumber: %d\nunixHomeDirectory: /home/%s\n"
                 "loginShell: /bin/bash\n" % (uid, gid, sam.lower().replace(" ", "_")))
    if display is not None:
        text += "displayName: %s\n" % display
    return text + extra + "\n"


def group(cn, sam, gid=None, members=()):
    text = "dn: CN=%s,OU=groups,%s\nobjectClass: group\nsAMAccountName: %s\n" % (cn, B, sam)
    if gid is not None:
        text += "gidNumber: %d\n" % gid
    return text + "".join("member: %s\n" % m for m in members) + "\n"


def udn(cn, ou):
    return "CN=%s,%s,%s" % (cn, ou, B)


STAFF, CONTRACTORS = "OU=staff", "OU=contractors"
GDN = "CN=%s,OU=groups," + B
DATA = (
    "".join("dn: OU=%s,%s\nobjectClass: organizationalUnit\n\n" % (o, B)
            for o in ("staff", "contractors", "groups"))
    + user("vesksync", "CN=Users", "vesksync",
           extra="userPrincipalName: vesksync@%s\nunicodePwd:: %s\n"
           % (REALM, b64pw("Sync.Passw0rd1")))
    + user("Alice Smith", STAFF, "alice", 10001, display="Alice Smith")
    + user("Bob Upper", STAFF, "BobUpper", 10002, display="Bob Upper")
    + user("Carol", CONTRACTORS, "carol", 10003, display="Carol C")
    # A ':' in the display name: kept, with a blank in its place.
    + user("Dave", CONTRACTORS, "dave", 10004, display="Dave: Admin")
    + user("Erin Blank", CONTRACTORS, "Erin Blank", 10005, display="Erin B")
    # No uidNumber: only id mapping exports it.
    + user("No Uid", STAFF, "nouid", display="No Uid")
    # Disabled (ACCOUNTDISABLE): left aside by the preset.
    + user("Frank", STAFF, "frank", 10006, uac=546, display="Frank")
    # Two names that are one after blanks are replaced: both left out.
    + user("Clash One", STAFF, "x y", 10007) + user("Clash Two", STAFF, "x_y", 10008)
    # Nesting through groups without a gidNumber, with a cycle back.
    + group("innermost", "innermost", members=[udn("Bob Upper", STAFF)])
    + group("inner", "inner", members=[udn("Carol", CONTRACTORS), udn("Dave", CONTRACTORS),
                                       GDN % "innermost"])
    + group("Web Admins", "Web Admins", 10010, [udn("Alice Smith", STAFF), GDN % "inner"])
    + group("devs", "devs", 10011, [udn("Erin Blank", CONTRACTORS), udn("Frank", STAFF)])
)
CYCLE = ("dn: %s\nchangetype: modify\nadd: member\nmember: %s\n"
         % (GDN % "innermost", GDN % "Web Admins"))

EXPECTED_PASSWD = (
    "alice:*:10001:10000:Alice Smith:/home/alice:/bin/bash\n"
    "bobupper:*:10002:10000:Bob Upper:/home/bobupper:/bin/bash\n"
    "carol:*:10003:10000:Carol C:/home/carol:/bin/bash\n"
    "dave:*:10004:10000:Dave  Admin:/home/dave:/bin/bash\n"
    "erin_blank:*:10005:10000:Erin B:/home/erin_blank:/bin/bash\n"
)
EXPECTED_GROUP = (
    "web_admins:*:10010:alice,bobupper,carol,dave\n"
    "devs:*:10011:erin_blank\n"
)


def run(cmd, env=None):
    return subprocess.run(cmd, capture_output=True, text=True, env=env)


class Suite:
    def __init__(self, tool, work, dc):
        self.tool, self.work, self.dc = tool, work, dc
        self.keytab = os.path.join(work, "sync.keytab")
        self.n = 0

    def sync(self, ldap, *options, env=None):
        """One dry run of the sync with [ldap] = `ldap`; (status, passwd,
        group, output)."""
        self.n += 1
        d = os.path.join(self.work, "run%d" % self.n)
        os.mkdir(d)
        conf = os.path.join(d, "vesk-index.conf")
        with open(conf, "w") as f:
            f.write("[policy]\nmin_uid = 1000\nmin_gid = 1000\n[ldap]\n")
            for k, v in ldap.items():
                if v is not None:
                    f.write("%s = %s\n" % (k, v))
        maps = [os.path.join(d, m) for m in ("passwd", "group")]
        r = run([self.tool, "sync", "--stage-only", "--config", conf, "--passwd", maps[0],
                 "--group", maps[1], "--state-dir", d] + list(options),
                env=env or self.dc.client_env())
        out = []
        for m in maps:
            try:
                out.append(open(m + ".new").read())
            except FileNotFoundError:
                out.append(None)
        return r.returncode, out[0], out[1], r.stdout + r.stderr

    def base_config(self, **over):
        c = {"uri": self.dc.uri, "base": B, "schema": "ad", "bind": "sasl_gssapi",
             "keytab": self.keytab, "referrals": "ignore"}
        c.update(over)
        return c


def sorted_lines(text):
    return sorted((text or "").splitlines())


def expected_ids(dc, work, sids, lower=200000, upper=2000200000, size=200000):
    """Each SID's id by libsss_idmap itself, through ctypes."""
    lib = ctypes.CDLL("libsss_idmap.so.0")

    class Range(ctypes.Structure):
        _fields_ = [("min", ctypes.c_uint32), ("max", ctypes.c_uint32)]
    P, S, U = ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint32
    for name, args in (("sss_idmap_init", [P, P, P, P]), ("sss_idmap_ctx_set_autorid", [P, ctypes.c_bool]),
                       ("sss_idmap_ctx_set_lower", [P, U]), ("sss_idmap_ctx_set_upper", [P, U]),
                       ("sss_idmap_ctx_set_rangesize", [P, U]),
                       ("sss_idmap_ctx_set_extra_slice_init", [P, ctypes.c_int]),
                       ("sss_idmap_calculate_range", [P, S, P, ctypes.POINTER(Range)]),
                       ("sss_idmap_add_auto_domain_ex", [P, S, S, ctypes.POINTER(Range), S, U,
                                                         ctypes.c_bool, P, P]),
                       ("sss_idmap_sid_to_unix", [P, S, P])):
        getattr(lib, name).argtypes = args
    ctx = ctypes.c_void_p()
    assert lib.sss_idmap_init(None, None, None, ctypes.byref(ctx)) == 0
    lib.sss_idmap_ctx_set_autorid(ctx, ctypes.c_bool(False))
    lib.sss_idmap_ctx_set_lower(ctx, ctypes.c_uint32(lower))
    lib.sss_idmap_ctx_set_upper(ctx, ctypes.c_uint32(upper))
    lib.sss_idmap_ctx_set_rangesize(ctx, ctypes.c_uint32(size))
    lib.sss_idmap_ctx_set_extra_slice_init(ctx, ctypes.c_int(10))
    out, added = {}, set()
    for sid in sids:
        dom = sid.rsplit("-", 1)[0]
        if dom not in added:
            rng, slice_ = Range(), ctypes.c_uint32(0xFFFFFFFF)
            assert lib.sss_idmap_calculate_range(ctx, dom.encode(), ctypes.byref(slice_),
                                                 ctypes.byref(rng)) == 0
            assert lib.sss_idmap_add_auto_domain_ex(ctx, dom.encode(), dom.encode(),
                                                    ctypes.byref(rng), None, 0,
                                                    ctypes.c_bool(False), None, None) == 0
            added.add(dom)
        value = ctypes.c_uint32()
        assert lib.sss_idmap_sid_to_unix(ctx, sid.encode(), ctypes.byref(value)) == 0
        out[sid] = value.value
    return out


def directory_sids(dc, filter_):
    """sAMAccountName -> (objectSid, primaryGroupID) as the database has them."""
    r = run(["ldbsearch", "--configfile=" + dc.conf, "-H", dc.sam, "-b", B, filter_,
             "sAMAccountName", "objectSid", "primaryGroupID"])
    out = {}
    for rec in r.stdout.split("# record")[1:]:
        f = dict(re.findall(r"^(\w+): (.*)$", rec, re.M))
        if "sAMAccountName" in f and "objectSid" in f:
            out[f["sAMAccountName"]] = (f["objectSid"], f.get("primaryGroupID"))
    return out


def cases(s):
    dc = s.dc
    # The whole domain from its root, keytab bind over ldap:// with
    # SASL's security layer.
    st, pw, gr, out = s.sync(s.base_config())
    check(st == 3 and pw is not None, "keytab bind over ldap://, whole domain: staged", out)
    check(sorted_lines(pw) == sorted_lines(EXPECTED_PASSWD),
          "passwd: several OUs, names lowered, blanks replaced, ':' cleaned, no uidNumber "
          "and disabled left aside", pw or out)
    check(sorted_lines(gr) == sorted_lines(EXPECTED_GROUP),
          "group: nested through groups without a gidNumber, cycle ended, names as the "
          "users'", gr or out)
    check("Dave: Admin" in out and "x_y" in out and "1 disabled" in out,
          "the cleaned gecos, the colliding names and the disabled account are reported", out)

    # Without referrals = ignore, the DC's reference to its configuration
    # partition fails the sync; with it, the note names what was left aside.
    st, pw, gr, out = s.sync(s.base_config(referrals=None))
    check(st == 2 and "referral" in out and pw is None,
          "a continuation reference fails the sync without referrals = ignore", out)

    # Several bases, and the filter's and preset's keys overridden.
    st, pw, gr, out = s.sync(s.base_config(
        base=None, user_base="%s,%s;%s,%s" % (STAFF, B, CONTRACTORS, B),
        group_base="OU=groups," + B, lowercase_names="no", replace_blank="no"))
    check(st == 3 and "BobUpper:*:10002" in (pw or "") and "Erin Blank" in out
          and "erin_blank" not in (pw or ""),
          "two user bases; lowercase_names and replace_blank overridden", out + (pw or ""))

    # SASL layer only with GSSAPI: a plain simple bind on ldap:// is refused.
    st, pw, gr, out = s.sync({"uri": dc.uri, "base": B, "schema": "ad", "bind": "simple",
                              "bind_dn": "cn=x", "bind_password_file": "/nonexistent"})
    check(st == 2 and "unprotected" in out, "ldap:// without TLS or GSSAPI refused", out)

    # Errors named: a principal the keytab lacks, a keytab that isn't
    # there, a certificate that fails verification.
    st, pw, gr, out = s.sync(s.base_config(principal="nobody@" + REALM))
    check(st == 2 and "nobody@" + REALM in out and "keytab" in out,
          "a principal the keytab lacks is named", out)
    missing = os.path.join(s.work, "missing.keytab")
    st, pw, gr, out = s.sync(s.base_config(keytab=missing))
    check(st == 2 and missing in out, "a missing keytab is named", out)
    other_ca = os.path.join(s.work, "other-ca.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=other", "-keyout", other_ca + ".key", "-out", other_ca],
                   capture_output=True, check=True)
    st, pw, gr, out = s.sync(s.base_config(uri=dc.ldaps_uri, tls_ca_file=other_ca))
    check(st == 2 and "certificate" in out.lower(),
          "a certificate that fails verification says so", out)
    # (Samba takes GSSAPI over TLS neither with a security layer nor
    # without one: a simple bind there.)
    password = os.path.join(s.work, "password")
    with open(password, "w") as f:
        f.write("Sync.Passw0rd1\n")
    os.chmod(password, 0o600)
    st, pw, gr, out = s.sync({"uri": dc.ldaps_uri, "tls_ca_file": dc.ca_file, "base": B,
                              "schema": "ad", "referrals": "ignore", "bind": "simple",
                              "bind_dn": "vesksync@" + REALM, "bind_password_file": password})
    check(st == 3 and sorted_lines(pw) == sorted_lines(EXPECTED_PASSWD),
          "ldaps:// with the DC's CA and a simple bind", out)

    # Id mapping: every person and every group, ids as libsss_idmap gives
    # them for the same (non-default) ranges.
    ranges = {"idmap_range_min": "100000", "idmap_range_max": "1000100000",
              "idmap_range_size": "300000"}
    st, pw, gr, out = s.sync(s.base_config(id_mapping="yes", **ranges), "--min-uid", "0",
                             "--min-gid", "0")
    users = directory_sids(dc, "(&(objectClass=user)(objectCategory=person))")
    groups = directory_sids(dc, "(objectClass=group)")
    dom = next(iter(users.values()))[0].rsplit("-", 1)[0]
    sids = [v[0] for v in list(users.values()) + list(groups.values())
            if v[0].startswith("S-1-5-21-")]
    sids += ["%s-%s" % (dom, v[1]) for v in users.values() if v[1]]
    ids = expected_ids(dc, s.work, sids, 100000, 1000100000, 300000)
    want = set()
    for name, (sid, pgid) in users.items():
        if name in ("frank", "x y", "x_y") or "$" in name:
            continue
        if name == "Guest" or name == "krbtgt":
            continue  # disabled by the domain itself
        want.add("%s:%d:%d" % (name.lower().replace(" ", "_"), ids[sid],
                               ids["%s-%s" % (dom, pgid)]))
    got = set(":".join(l.split(":")[i] for i in (0, 2, 3)) for l in (pw or "").splitlines())
    check(st == 3 and got == want, "id mapping: uids and primary gids as libsss_idmap's",
          "want %s\ngot  %s\n%s" % (sorted(want), sorted(got), out))
    # Built-in groups (S-1-5-32-...) map to no id: read for nesting only.
    gwant = {"%s:%d" % (n.lower().replace(" ", "_"), ids[v[0]]) for n, v in groups.items()
             if v[0].startswith("S-1-5-21-")}
    ggot = {":".join(l.split(":")[i] for i in (0, 2)) for l in (gr or "").splitlines()}
    check(ggot == gwant, "id mapping: every group's gid as libsss_idmap's",
          "missing %s\nextra %s" % (sorted(gwant - ggot), sorted(ggot - gwant)))
    check("nouid:" in (pw or "") and "domain_users:" in (gr or ""),
          "id mapping: users without uidNumber and groups without gidNumber exported")


def config_errors(tool, work):
    """Configurations refused before any server is asked."""
    table = [
        ("overlapping bases", {"user_base": "OU=a,%s;%s" % (B, B), "group_base": B}, "overlap"),
        ("id_mapping without schema = ad", {"schema": "rfc2307bis", "id_mapping": "yes"},
         "schema = ad"),
        ("keytab without sasl_gssapi", {"bind": "none", "keytab": "/x"}, "sasl_gssapi"),
        ("a range with no room", {"id_mapping": "yes", "idmap_range_min": "5",
                                  "idmap_range_max": "6"}, "no room"),
        ("replace_blank of two characters", {"replace_blank": "__"}, "one printable"),
        ("ranges without id_mapping", {"idmap_range_size": "10"}, "id_mapping"),
        ("attr_uid_number with id_mapping", {"id_mapping": "yes", "attr_uid_number": "x"},
         "objectSid"),
    ]
    for what, over, text in table:
        c = {"uri": "ldaps://127.0.0.1", "base": B, "schema": "ad"}
        c.update(over)
        conf = os.path.join(work, "bad.conf")
        with open(conf, "w") as f:
            f.write("[ldap]\n" + "".join("%s = %s\n" % kv for kv in c.items()))
        r = run([tool, "sync", "--dry-run", "--config", conf])
        check(r.returncode == 2 and text in r.stderr, "refused: " + what, r.stderr)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--tool", required=True)
    args = p.parse_args()
    if os.environ.get("VESK_SYNC_AD_NS") != "1":
        if os.geteuid() != 0:
            skip("needs root (private namespaces)")
        if samba_dc.missing_programs():
            skip("not installed: " + " ".join(samba_dc.missing_programs()))
        if not samba_dc.can_unshare():
            skip("can't make private namespaces (unshare -m -n -u)")
    samba_dc.enter_namespaces("VESK_SYNC_AD_NS", __file__, sys.argv[1:])
    tool = os.path.abspath(args.tool)
    work = tempfile.mkdtemp(prefix="vesk-sync-ad-")
    dc = samba_dc.SambaDC(os.path.join(work, "domain"))
    try:
        config_errors(tool, work)
        dc.provision()
        ldif = os.path.join(work, "data.ldif")
        with open(ldif, "w") as f:
            f.write(DATA)
        dc.load(ldif)
        with open(ldif, "w") as f:
            f.write(CYCLE)
        dc.ldb("ldbmodify", ldif)
        dc.start()
        s = Suite(tool, work, dc)
        dc.export_keytab("vesksync@" + REALM, s.keytab)
        cases(s)
    finally:
        dc.stop()
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("%d check(s) failed" % len(failures))
        sys.exit(1)
    print("all checks passed")


if __name__ == "__main__":
    main()
