"""A Samba Active Directory domain controller for tests and benchmarks.

Everything lives in one directory of the caller's: the provisioned domain
(its own smb.conf, sam.ldb, keytabs, TLS certificates), a krb5.conf for
clients and a hosts file.  The controller runs only inside private mount,
network and UTS namespaces that the caller enters first (enter_namespaces
re-runs the calling script under unshare), on 127.0.0.2, with the host
name dc1: it reaches nothing and nothing outside reaches it.  It is
started by start() and stopped by stop(), by pid.

  dc = SambaDC(directory)
  dc.provision()            # once per run: some 40 seconds
  dc.load(ldif_path)        # one ldbadd for all entries
  dc.start(); ...; dc.stop()

Samba's own schema gives the RFC 2307 attributes (provisioned with
--use-rfc2307).  No DNS server: clients find the KDC and the host through
krb5.conf and the hosts file this module writes.
"""

import fcntl
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import time

REALM = "SAMDOM.EXAMPLE"
DOMAIN = "SAMDOM"
HOST = "dc1"
FQDN = "dc1.samdom.example"
ADDRESS = "127.0.0.2"
BASE = "DC=samdom,DC=example"
ADMIN_PASSWORD = "Passw0rd.Admin1"
PROGRAMS = ("unshare", "samba", "samba-tool", "ldbadd", "ldbmodify", "ldapsearch", "ip")


def missing_programs():
    """The programs this module needs that are not installed."""
    path = os.environ.get("PATH", "/usr/bin:/bin") + ":/usr/sbin:/sbin"
    return [p for p in PROGRAMS if shutil.which(p, path=path) is None]


def enter_namespaces(marker, script, argv):
    """Re-runs `script` with `argv` in private mount, network and UTS
    namespaces unless the environment variable `marker` says it already
    runs there; returns only inside them."""
    if os.environ.get(marker) == "1":
        return
    env = dict(os.environ, PATH=os.environ.get("PATH", "/usr/bin:/bin") + ":/usr/sbin:/sbin")
    env[marker] = "1"
    r = subprocess.run(["unshare", "-m", "-n", "-u", "--propagation", "private", sys.executable,
                        os.path.abspath(script)] + argv, env=env)
    sys.exit(r.returncode)


def can_unshare():
    return subprocess.run(["unshare", "-m", "-n", "-u", "true"],
                          capture_output=True).returncode == 0


def _bring_up_loopback():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    req = struct.pack("16sh", b"lo", 0)
    flags = struct.unpack("16sh", fcntl.ioctl(s, 0x8913, req))[1]
    fcntl.ioctl(s, 0x8914, struct.pack("16sh", b"lo", flags | 0x1))
    s.close()


def _run(cmd, **kw):
    r = subprocess.run(cmd, capture_output=True, text=True, **kw)
    if r.returncode != 0:
        raise RuntimeError("%s: exit %d\n%s%s" % (" ".join(cmd), r.returncode, r.stdout[-3000:],
                                                  r.stderr[-3000:]))
    return r


class SambaDC:
    def __init__(self, directory):
        self.dir = os.path.abspath(directory)
        self.target = os.path.join(self.dir, "dc")
        self.conf = os.path.join(self.target, "etc", "smb.conf")
        self.sam = os.path.join(self.target, "private", "sam.ldb")
        self.ca_file = os.path.join(self.target, "private", "tls", "ca.pem")
        self.krb5_conf = os.path.join(self.dir, "krb5.conf")
        self.uri = "ldap://" + FQDN
        self.ldaps_uri = "ldaps://" + FQDN
        self.proc = None
        self._network()

    def _network(self):
        """The namespace's network: loopback up, the controller's address,
        its host name, and a hosts file naming it (bind-mounted over
        /etc/hosts in this private mount namespace only)."""
        _bring_up_loopback()
        subprocess.run(["ip", "addr", "add", ADDRESS + "/8", "dev", "lo"], capture_output=True)
        socket.sethostname(HOST)
        os.makedirs(self.dir, exist_ok=True)
        hosts = os.path.join(self.dir, "hosts")
        with open(hosts, "w") as f:
            f.write("127.0.0.1 localhost\n%s %s %s\n" % (ADDRESS, FQDN, HOST))
        _run(["mount", "--bind", hosts, "/etc/hosts"])
        with open(self.krb5_conf, "w") as f:
            f.write("[libdefaults]\n default_realm = %s\n dns_lookup_realm = false\n"
                    " dns_lookup_kdc = false\n rdns = false\n dns_canonicalize_hostname = false\n"
                    "[realms]\n %s = {\n  kdc = %s\n }\n" % (REALM, REALM, ADDRESS))

    def provisioned(self):
        return os.path.exists(self.sam)

    def provision(self):
        """A new domain with RFC 2307 attributes; only the LDAP server and
        the KDC run, and the controller's host gets its ldap/ names
        (which Samba's update service would add at its first start)."""
        empty = os.path.join(self.dir, "empty.conf")
        open(empty, "w").close()
        _run(["samba-tool", "domain", "provision", "--configfile=" + empty,
              "--targetdir=" + self.target, "--realm=" + REALM, "--domain=" + DOMAIN,
              "--server-role=dc", "--dns-backend=NONE", "--use-rfc2307",
              "--backend-store=mdb", "--host-ip=" + ADDRESS, "--host-name=" + HOST,
              "--adminpass=" + ADMIN_PASSWORD,
              "--option=interfaces=" + ADDRESS, "--option=bind interfaces only = yes",
              "--option=server services = ldap, kdc"])
        spn = os.path.join(self.dir, "spn.ldif")
        with open(spn, "w") as f:
            f.write("dn: CN=%s,OU=Domain Controllers,%s\nchangetype: modify\n"
                    "add: servicePrincipalName\nservicePrincipalName: ldap/%s\n"
                    "servicePrincipalName: ldap/%s\n" % (HOST.upper(), BASE, FQDN, HOST))
        self.ldb("ldbmodify", spn)

    def ldb(self, program, ldif):
        """ldbadd or ldbmodify of one LDIF file on the domain's database."""
        return _run([program, "--configfile=" + self.conf, "-H", self.sam, ldif])

    def load(self, ldif):
        self.ldb("ldbadd", ldif)

    def start(self, timeout=60):
        # Its pid file beside the domain, not in the machine's /run/samba:
        # two controllers (a test and a benchmark) must not see each other.
        run = os.path.join(self.dir, "run")
        os.makedirs(run, exist_ok=True)
        self.proc = subprocess.Popen(
            ["samba", "--configfile=" + self.conf, "--foreground", "--no-process-group",
             "--model=single", "--debug-stdout", "--debuglevel=0",
             "--option=pid directory=" + run, "--option=ncalrpc dir=" + run],
            stdout=open(os.path.join(self.dir, "samba.log"), "a"), stderr=subprocess.STDOUT)
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("samba exited with status %d (see %s/samba.log)"
                                   % (self.proc.returncode, self.dir))
            r = subprocess.run(["ldapsearch", "-x", "-LLL", "-H", "ldap://" + ADDRESS, "-b", "",
                                "-s", "base", "defaultNamingContext"], capture_output=True)
            if r.returncode == 0:
                return
            time.sleep(0.3)
        self.stop()
        raise RuntimeError("samba did not answer within %d seconds" % timeout)

    def stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.proc = None

    def export_keytab(self, principal, path):
        """The keys of `principal` (a user's sAMAccountName) into `path`."""
        _run(["samba-tool", "domain", "exportkeytab", path, "--configfile=" + self.conf,
              "--principal=" + principal])
        os.chmod(path, 0o600)

    def client_env(self, **extra):
        """The environment for a Kerberos client of this domain."""
        env = dict(os.environ, KRB5_CONFIG=self.krb5_conf)
        env.update(extra)
        return env
