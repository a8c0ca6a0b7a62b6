"""What the release tests share: the signing material, made once per run of CTest by the
fixture "release_material" into the build (tests/release/material) and removed by
"release_material_removed" (a test CA, a code-signing certificate, a time-stamping authority
for osslsigncode's own time-stamping, a SoftHSM2 token holding the signing key, the
certificates of the failures, and the vendor's clone every release is made from), and the
make release and make verify-release of a person, whose lines the tests read.
"""
import hashlib
import http.server
import os
import re
import shutil
import subprocess
import tempfile
import threading

import pefile

from bed import SOURCE
EXE = "ScarvelRepair.exe"
# The check that ships beside it, built, signed and checked alike.
CHECK_EXE = "ScarvelCheck.exe"
SIGN_VARIABLES = ("SIGN_CERT", "SIGN_KEY", "SIGN_PKCS11_MODULE", "SIGN_PIN", "SIGN_TSA",
                  "SIGN_TSA_CERTS", "SIGN_TSA_KEY", "SIGN_DIGESTS", "SIGN_TSA_LEGACY",
                  "ALLOW_DIRTY", "SIGNER", "CFLAGS", "CXXFLAGS", "LDFLAGS")
# osslsigncode 2.5 (Debian 12's) has no time-stamping authority of its own, only URLs.
OWN_TSA = b"-TSA-certs" in subprocess.run(["osslsigncode", "sign", "-help"],
                                          capture_output=True).stderr
SOFTHSM_MODULE = "/usr/lib/softhsm/libsofthsm2.so"
# Digits that appear nowhere else in the output.
PIN, WRONG_PIN, SO_PIN = "731946", "482057", "905318"


def run(args, env=None, cwd=None, check=True):
    return subprocess.run(args, env=env, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=300, check=check)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def resource_value(name):
    with open(os.path.join(SOURCE, "resources", "resources.rc"), encoding="utf-8") as f:
        return re.search(r'VALUE "%s", "([^"]*)"' % name, f.read()).group(1)


def git(folder, *args):
    return run(["git", "-C", folder, "-c", "user.name=Test", "-c", "user.email=test@example.invalid"]
               + list(args)).stdout.decode().strip()


def softhsm_env(folder):
    """SoftHSM2's configuration in `folder`, naming the tokens in its tokens/; the
    environment that points SoftHSM2 at it."""
    config = os.path.join(folder, "softhsm2.conf")
    with open(config, "w") as f:
        f.write("directories.tokendir = %s\nobjectstore.backend = file\n"
                % os.path.join(folder, "tokens"))
    return {"SOFTHSM2_CONF": config}


def folder_of(build):
    return os.path.join(build.dir, "tests", "release", "material")


class Material:
    """The throwaway keys and certificates of folder `dir`, and its SoftHSM2 token; among
    them a code-signing certificate naming a revocation list that cannot be fetched, one
    that expires in 10 days, and a one-day self-signed one, its root trusted nowhere, whose
    only usage is a web server's. The time-stamping authority answers by URL from this
    process once asked for it."""
    # name: (subject, extended key usage, more extensions, days)
    ISSUED = {"signer": ("/CN=Test Code Signing/O=Lanthorn", "codeSigning", "", 30),
              "tsa": ("/CN=Test Time Stamping", "critical,timeStamping", "", 30),
              "server": ("/CN=Test Web Server", "serverAuth", "", 30),
              # Another code-signing certificate of the same CA: someone else's.
              "other": ("/CN=Other Code Signing/O=Mallow", "codeSigning", "", 30),
              "cdp": ("/CN=Revocable/O=Lanthorn", "codeSigning",
                      "crlDistributionPoints=URI:http://127.0.0.1:9/ca.crl\n", 30),
              "short": ("/CN=Short Code Signing/O=Lanthorn", "codeSigning", "", 10)}

    def __init__(self, folder):
        self.dir = folder
        self.ca = self.path("ca.pem")
        for name in self.ISSUED:
            chain, key = self.path(name + "-chain.pem"), self.path(name + ".key")
            setattr(self, "chain" if name == "signer" else name + "_chain", chain)
            setattr(self, "key" if name == "signer" else name + "_key", key)
        self.selfsigned_cert, self.selfsigned_key = self.path("selfsigned.pem"), self.path("selfsigned.key")
        self.env = {"SOFTHSM2_CONF": self.path("softhsm2.conf")}
        self.vendor = self.path("vendor")
        self.server = None

    @classmethod
    def make(cls, folder):
        os.makedirs(folder)
        self = cls(folder)
        self.openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                     self.path("ca.key"), "-out", self.ca, "-days", "30", "-subj", "/CN=Test Root CA",
                     "-addext", "basicConstraints=critical,CA:true",
                     "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        for name, (subject, usage, more, days) in self.ISSUED.items():
            self.issue(name, subject, usage, more, days)
        self.openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.selfsigned_key,
                     "-out", self.selfsigned_cert, "-days", "1", "-subj", "/CN=Self Signed/O=Lanthorn",
                     "-addext", "extendedKeyUsage=serverAuth")
        os.mkdir(self.path("releases"))
        tokens = self.path("tokens")
        os.mkdir(tokens)
        softhsm_env(self.dir)
        softhsm = ["softhsm2-util", "--init-token", "--free", "--label", "release",
                   "--pin", PIN, "--so-pin", SO_PIN]
        run(softhsm, env=dict(os.environ, **self.env))
        run(["softhsm2-util", "--import", self.key, "--token", "release", "--label", "signer",
             "--id", "01", "--pin", PIN], env=dict(os.environ, **self.env))
        return self

    @property
    def fingerprint(self):
        return self.fingerprint_of(self.chain)

    @property
    def tsa_url(self):
        """The test TSA as an RFC 3161 server on this machine (openssl ts): its URL."""
        if not self.server:
            self.server = TimeStampServer(self)
        return "http://127.0.0.1:%d/" % self.server.server_port

    def release(self, name):
        """Where the case `name` makes the release that other cases start from."""
        return os.path.join(self.dir, "releases", name)

    def token_copy(self, folder):
        """The environment of a copy of the token in `folder`, for a case that changes it."""
        shutil.copytree(self.path("tokens"), os.path.join(folder, "tokens"))
        return softhsm_env(folder)

    def crl(self, revoked, folder):
        """A revocation list of the test CA, written in `folder`, that revokes the
        certificate file `revoked`."""
        open(os.path.join(folder, "index"), "w").close()
        with open(os.path.join(folder, "ca.cnf"), "w") as f:
            f.write("[ca]\ndefault_ca = c\n[c]\ndatabase = %s\ndefault_md = sha256\n"
                    "default_crl_days = 30\n" % os.path.join(folder, "index"))
        common = ["-config", os.path.join(folder, "ca.cnf"), "-keyfile", self.path("ca.key"),
                  "-cert", self.ca]
        self.openssl("ca", "-revoke", revoked, *common)
        self.openssl("ca", "-gencrl", "-out", os.path.join(folder, "ca.crl"), *common)
        return os.path.join(folder, "ca.crl")

    def fingerprint_of(self, chain):
        return run(["openssl", "x509", "-in", chain, "-noout", "-fingerprint",
                    "-sha256"]).stdout.decode().split("=")[1].strip()

    def path(self, name):
        return os.path.join(self.dir, name)

    def openssl(self, *args):
        run(["openssl"] + list(args))

    def issue(self, name, subject, usage, more, days):
        """A certificate of the test CA with this extended key usage, and its chain file."""
        key, csr, cert = (self.path(name + suffix) for suffix in (".key", ".csr", ".pem"))
        extensions = self.path(name + ".ext")
        with open(extensions, "w") as f:
            f.write("basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\n"
                    "extendedKeyUsage=%s\n%s" % (usage, more))
        self.openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
                     "-subj", subject)
        self.openssl("x509", "-req", "-in", csr, "-CA", self.ca, "-CAkey", self.path("ca.key"),
                     "-CAcreateserial", "-days", str(days), "-out", cert, "-extfile", extensions)
        with open(self.path(name + "-chain.pem"), "w") as out:
            for part in (cert, self.ca):
                with open(part) as f:
                    out.write(f.read())

    def key_file(self, chain=None, key=None):
        tsa = ({"SIGN_TSA_CERTS": self.tsa_chain, "SIGN_TSA_KEY": self.tsa_key} if OWN_TSA
               else {"SIGN_TSA": self.tsa_url})
        return dict(tsa, SIGN_CERT=chain or self.chain, SIGN_KEY=key or self.key)

    def token(self, uri_pin=None):
        uri = "pkcs11:token=release;object=signer;type=private"
        if uri_pin:
            uri += "?pin-value=" + uri_pin
        return {"SIGN_CERT": self.chain, "SIGN_KEY": uri, "SIGN_PKCS11_MODULE": SOFTHSM_MODULE,
                "SIGN_TSA": self.tsa_url}

    def close(self):
        if self.server:
            self.server.close()


class TimeStampServer(http.server.ThreadingHTTPServer):
    """The authority of `material` answering RFC 3161 requests on a port of its own, its
    serial numbers in a folder of this process."""

    def __init__(self, material):
        self.dir = tempfile.mkdtemp(prefix="scarvel-tsa-")
        config = os.path.join(self.dir, "tsa.cnf")
        with open(config, "w") as f:
            f.write("[tsa]\ndefault_tsa = t\n[t]\nserial = %s\nsigner_digest = sha256\n"
                    "default_policy = 1.3.6.1.4.1.57264.1\ndigests = sha1, sha256\n"
                    "ess_cert_id_alg = sha256\naccuracy = secs:1\n" % os.path.join(self.dir, "serial"))
        with open(os.path.join(self.dir, "serial"), "w") as f:
            f.write("01\n")
        reply = ["openssl", "ts", "-reply", "-config", config, "-queryfile", "/dev/stdin",
                 "-signer", material.tsa_chain, "-inkey", material.tsa_key,
                 "-chain", material.ca, "-out", "/dev/stdout"]

        class Reply(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                answer = subprocess.run(reply, input=query, capture_output=True).stdout
                self.send_response(200 if answer else 500)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(answer)))
                self.end_headers()
                self.wfile.write(answer)

            def log_message(self, *args):
                pass

        super().__init__(("127.0.0.1", 0), Reply)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def close(self):
        self.shutdown()
        self.server_close()
        shutil.rmtree(self.dir, ignore_errors=True)


def vendor_clone(material, *chains):
    """The vendor's repository as an auditor clones it, its branch "main": these sources with
    the working tree's changes, the signers of `chains` listed, committed and tagged."""
    clone = material.vendor
    run(["git", "clone", "-q", SOURCE, clone])
    git(clone, "checkout", "-q", "-B", "main", git(SOURCE, "rev-parse", "HEAD"))
    changes = run(["git", "-C", SOURCE, "diff", "--binary", "HEAD"]).stdout
    subprocess.run(["git", "-C", clone, "apply", "--allow-empty", "-"], input=changes, check=True)
    with open(os.path.join(clone, "resources", "signers.txt"), "a") as f:
        f.writelines("%s  # Lanthorn\n" % material.fingerprint_of(chain) for chain in chains)
    git(clone, "commit", "-q", "-a", "-m", "The release under test")
    git(clone, "tag", "v" + resource_value("FileVersion"))


def make(target, variables=(), env=(), source=SOURCE, clock=None):
    """make TARGET VAR=value... in the source tree, as a person types it; `env`: the
    environment's additions (where a PIN belongs); `clock`: faketime's offset, "+12d".
    Returns (status, output)."""
    environment = {k: v for k, v in os.environ.items()
                   if k not in SIGN_VARIABLES + ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    environment.update(env)
    args = (["faketime", "-f", clock] if clock else []) + [
        "make", "-s", "--no-print-directory", "-C", source, target]
    # The working tree of the tests may have changes; BUILDINFO must say so.
    variables = dict({"ALLOW_DIRTY": "1"} if target == "release" and source == SOURCE else {},
                     **dict(variables))
    args += ["%s=%s" % item for item in variables.items()]
    result = run(args, env=environment, check=False)
    return result.returncode, (result.stdout + result.stderr).decode("utf-8", "replace")


def release(material, dist, variables=(), env=(), source=None):
    """make release DIST=dist in the vendor's clone, or in `source`."""
    return make("release", dict(variables, DIST=dist), env, source=source or material.vendor)


def flip_byte(source, target):
    """A copy with one byte of the code changed (the signature's digest covers it)."""
    with open(source, "rb") as f:
        data = bytearray(f.read())
    text = pefile.PE(data=bytes(data), fast_load=True).sections[0]
    data[text.PointerToRawData + 64] ^= 0x01
    with open(target, "wb") as f:
        f.write(data)


def own_lines(output):
    """The lines the scripts printed, make's own "make: ***" line left out."""
    return [line for line in output.splitlines() if line.strip() and not line.startswith("make: ")]


def verify_release(check, dist, source, ca=None, fails=(), signer=None, crl=None, clock=None):
    """make verify-release in `source` (the vendor's clone); `fails`: the words of the checks
    that must fail, all others ok; `signer`: a signed release's SIGNER=."""
    variables = {"DIST": dist}
    for name, value in (("CA", ca), ("SIGNER", signer), ("CRL", crl)):
        if value:
            variables[name] = value
    status, output = make("verify-release", variables, source=source, clock=clock)
    lines = own_lines(output)
    signed = os.path.exists(os.path.join(dist, EXE + ".sig"))
    expected = 12 if signed and ca else 11 if signed else 9
    check.equal(len(lines), expected, "one verdict line for each of %d checks" % expected)
    failed = [line for line in lines if line.startswith("FAIL")]
    for words in fails:
        check.that(any(words in line for line in failed), "FAIL for: " + words, output)
    check.that(len(failed) == len(fails), "no other check fails", output)
    check.that(all(line.startswith(("ok    ", "FAIL  ")) for line in lines), "each line a verdict", output)
    check.equal(status != 0, bool(fails), "exit status " + ("non-zero" if fails else "0"))
    return lines


def entry(cases):
    """run.py's entry for one of `cases` ({name: (what, function(build, check, material,
    work))}), run with the fixture's material and a scratch folder of its own."""
    def run_case(build, check, name):
        what, case = cases[name]
        check.begin(what)
        material = Material(folder_of(build))
        if not check.that(os.path.isdir(material.vendor), "the material of release_material"):
            return
        work = tempfile.mkdtemp(prefix="scarvel-%s-" % name)
        try:
            case(build, check, material, work)
        finally:
            material.close()
            shutil.rmtree(work, ignore_errors=True)
    return run_case


def setup(build, check, *registered):
    """The fixture: the material made anew, and every case named among the CTest entries
    that `registered` lists."""
    import make_release_test
    import verify_release_test
    check.begin("the release tests' material")
    shutil.rmtree(folder_of(build), ignore_errors=True)
    material = Material.make(folder_of(build))
    vendor_clone(material, material.chain, material.cdp_chain, material.short_chain)
    check.that(os.path.isfile(os.path.join(material.vendor, "release", "make-release")),
               "the vendor's clone, with its release scripts")
    cases = ["release_make_" + name for name in make_release_test.CASES] + [
        "release_verify_" + name for name in verify_release_test.CASES]
    check.equal(sorted(registered), sorted(cases), "each case of the release tests, a CTest entry")


def cleanup(build, check):
    shutil.rmtree(folder_of(build), ignore_errors=True)
    check.that(not os.path.exists(folder_of(build)), "the release tests' material removed")


CHECKS = {"release_material": setup, "release_material_removed": cleanup}
