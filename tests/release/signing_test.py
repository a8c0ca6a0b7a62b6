#!/usr/bin/env python3
"""make release and make verify-release, with signing material made for the test and thrown
away after it: a test CA, a code-signing certificate, a time-stamping authority for
osslsigncode's own time-stamping, and a SoftHSM2 token holding the signing key. Run by
run.py: "releases" (the releases, their verification, their failures) on the 32-bit build,
whose program a release must reproduce, and "signed_program" (the signed program under
Wine: its healthy run, WinVerifyTrust).
"""
import hashlib
import http.server
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading

import pefile

import bed
import scenarios
from bed import SOURCE
EXE = "ScarvelRepair.exe"
SIGNED_DIST = {EXE, EXE + ".sig", "ScarvelRepair-unattended.cmd", "SHA256SUMS",
               "SHA256SUMS-unsigned", "BUILDINFO", "SHA256SUMS.p7s", "SHA256SUMS.p7s.tsr"}
SIGN_VARIABLES = ("SIGN_CERT", "SIGN_KEY", "SIGN_PKCS11_MODULE", "SIGN_PIN", "SIGN_TSA",
                  "SIGN_TSA_CERTS", "SIGN_TSA_KEY", "SIGN_DIGESTS", "SIGN_TSA_LEGACY",
                  "ALLOW_DIRTY", "SIGNER", "CFLAGS", "CXXFLAGS", "LDFLAGS")
# osslsigncode 2.5 (Debian 12's) has no time-stamping authority of its own, only URLs.
OWN_TSA = b"-TSA-certs" in subprocess.run(["osslsigncode", "sign", "-help"],
                                          capture_output=True).stderr
SOFTHSM_MODULE = "/usr/lib/softhsm/libsofthsm2.so"
# Digits that appear nowhere else in the output.
PIN, WRONG_PIN, SO_PIN = "731946", "482057", "905318"
TRUST_E_BAD_DIGEST, TRUST_E_NOSIGNATURE = 0x80096010, 0x800B0100


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


def vendor_clone(work, material, *chains):
    """The vendor's repository as an auditor clones it, its branch "main": these sources with
    the working tree's changes, the signers of `chains` listed, committed and tagged."""
    clone = os.path.join(work, "vendor")
    run(["git", "clone", "-q", SOURCE, clone])
    git(clone, "checkout", "-q", "-B", "main", git(SOURCE, "rev-parse", "HEAD"))
    changes = run(["git", "-C", SOURCE, "diff", "--binary", "HEAD"]).stdout
    subprocess.run(["git", "-C", clone, "apply", "--allow-empty", "-"], input=changes, check=True)
    with open(os.path.join(clone, "resources", "signers.txt"), "a") as f:
        f.writelines("%s  # Lanthorn\n" % material.fingerprint_of(chain) for chain in chains)
    git(clone, "commit", "-q", "-a", "-m", "The release under test")
    git(clone, "tag", "v" + resource_value("FileVersion"))
    return clone


class Material:
    """Throwaway keys and certificates in a temporary folder, and a SoftHSM2 token; among
    them a code-signing certificate naming a revocation list that cannot be fetched, and one
    that expires in 10 days."""

    def __init__(self, token=True):
        self.dir = tempfile.mkdtemp(prefix="scarvel-signing-")
        self.ca = self.path("ca.pem")
        self.openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                     self.path("ca.key"), "-out", self.ca, "-days", "30", "-subj", "/CN=Test Root CA",
                     "-addext", "basicConstraints=critical,CA:true",
                     "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        self.chain, self.key = self.issue("signer", "/CN=Test Code Signing/O=Lanthorn",
                                          "codeSigning")
        self.tsa_chain, self.tsa_key = self.issue("tsa", "/CN=Test Time Stamping",
                                                  "critical,timeStamping")
        self.server_chain, self.server_key = self.issue("server", "/CN=Test Web Server",
                                                        "serverAuth")
        # Another code-signing certificate of the same CA: someone else's.
        self.other_chain, self.other_key = self.issue("other", "/CN=Other Code Signing/O=Mallow",
                                                      "codeSigning")
        self.tsa_url = self.serve_tsa()
        self.cdp_chain, self.cdp_key = self.issue("cdp", "/CN=Revocable/O=Lanthorn", "codeSigning",
                                                  "crlDistributionPoints=URI:http://127.0.0.1:9/ca.crl\n")
        self.short_chain, self.short_key = self.issue("short", "/CN=Short Code Signing/O=Lanthorn",
                                                      "codeSigning", days=10)
        self.fingerprint = self.fingerprint_of(self.chain)
        self.env = {}
        if token:
            tokens = self.path("tokens")
            os.mkdir(tokens)
            config = self.path("softhsm2.conf")
            with open(config, "w") as f:
                f.write("directories.tokendir = %s\nobjectstore.backend = file\n" % tokens)
            self.env = {"SOFTHSM2_CONF": config}
            softhsm = ["softhsm2-util", "--init-token", "--free", "--label", "release",
                       "--pin", PIN, "--so-pin", SO_PIN]
            run(softhsm, env=dict(os.environ, **self.env))
            run(["softhsm2-util", "--import", self.key, "--token", "release", "--label", "signer",
                 "--id", "01", "--pin", PIN], env=dict(os.environ, **self.env))

    def serve_tsa(self):
        """The test TSA as an RFC 3161 server on this machine (openssl ts): its URL."""
        config = self.path("tsa.cnf")
        with open(config, "w") as f:
            f.write("[tsa]\ndefault_tsa = t\n[t]\nserial = %s\nsigner_digest = sha256\n"
                    "default_policy = 1.3.6.1.4.1.57264.1\ndigests = sha1, sha256\n"
                    "ess_cert_id_alg = sha256\naccuracy = secs:1\n" % self.path("tsa.serial"))
        with open(self.path("tsa.serial"), "w") as f:
            f.write("01\n")
        material = self

        class Reply(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                reply = subprocess.run(
                    ["openssl", "ts", "-reply", "-config", config, "-queryfile", "/dev/stdin",
                     "-signer", material.tsa_chain, "-inkey", material.tsa_key,
                     "-chain", material.ca, "-out", "/dev/stdout"],
                    input=query, capture_output=True).stdout
                self.send_response(200 if reply else 500)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Reply)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return "http://127.0.0.1:%d/" % self.server.server_port

    def crl(self, revoked):
        """A revocation list of the test CA that revokes the certificate file `revoked`."""
        open(self.path("index"), "w").close()
        with open(self.path("ca.cnf"), "w") as f:
            f.write("[ca]\ndefault_ca = c\n[c]\ndatabase = %s\ndefault_md = sha256\n"
                    "default_crl_days = 30\n" % self.path("index"))
        common = ["-config", self.path("ca.cnf"), "-keyfile", self.path("ca.key"), "-cert", self.ca]
        self.openssl("ca", "-revoke", revoked, *common)
        self.openssl("ca", "-gencrl", "-out", self.path("ca.crl"), *common)
        return self.path("ca.crl")

    def fingerprint_of(self, chain):
        return self.openssl_out("x509", "-in", chain, "-noout", "-fingerprint",
                                "-sha256").split("=")[1].strip()

    def openssl_out(self, *args):
        return run(["openssl"] + list(args)).stdout.decode()

    def path(self, name):
        return os.path.join(self.dir, name)

    def openssl(self, *args):
        run(["openssl"] + list(args))

    def issue(self, name, subject, usage, more="", days=30):
        """A certificate of the test CA with this extended key usage: (chain file, key)."""
        key, csr, cert = (self.path(name + suffix) for suffix in (".key", ".csr", ".pem"))
        extensions = self.path(name + ".ext")
        with open(extensions, "w") as f:
            f.write("basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\n"
                    "extendedKeyUsage=%s\n%s" % (usage, more))
        self.openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
                     "-subj", subject)
        self.openssl("x509", "-req", "-in", csr, "-CA", self.ca, "-CAkey", self.path("ca.key"),
                     "-CAcreateserial", "-days", str(days), "-out", cert, "-extfile", extensions)
        chain = self.path(name + "-chain.pem")
        with open(chain, "w") as out:
            for part in (cert, self.ca):
                with open(part) as f:
                    out.write(f.read())
        return chain, key

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
        self.server.shutdown()
        self.server.server_close()
        shutil.rmtree(self.dir, ignore_errors=True)


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


def own_lines(output):
    """The lines the scripts printed, make's own "make: ***" line left out."""
    return [line for line in output.splitlines() if line.strip() and not line.startswith("make: ")]


def verify_release(check, dist, ca=None, fails=(), signer=None, source=SOURCE, crl=None, clock=None):
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


def osslsigncode_verify(check, material, exe, digests):
    result = run(["osslsigncode", "verify", "-CAfile", material.ca, "-TSA-CAfile", material.ca,
                  "-in", exe], check=False)
    said = (result.stdout + result.stderr).decode("utf-8", "replace")
    check.equal(result.returncode, 0, "osslsigncode verify -CAfile: the chain up to the test CA")
    check.equal(re.findall(r"^Message digest algorithm  : (\w+)", said, re.M), digests,
                "the signatures' digests, the primary's first: " + " ".join(digests))
    check.that("Number of verified signatures: %d" % len(digests) in said,
               "%d signatures verified" % len(digests), said)
    check.equal(said.count("Timestamp Server Signature verification: ok"), len(digests),
                "each signature time-stamped")
    check.equal(said.count("Text description: " + resource_value("ProductName")), len(digests),
                "each description: the version resource's product name")


def check_dist(check, dist, signed, reference, material=None, source=SOURCE):
    names = set(os.listdir(dist))
    check.equal(names, SIGNED_DIST if signed else SIGNED_DIST - {EXE + ".sig", "SHA256SUMS.p7s",
                                                                 "SHA256SUMS.p7s.tsr"},
                "the files of dist/")
    sums = run(["sha256sum", "-c", "SHA256SUMS"], cwd=dist, check=False)
    check.equal(sums.returncode, 0, "sha256sum -c SHA256SUMS passes in dist/")
    with open(os.path.join(dist, "SHA256SUMS-unsigned")) as f:
        unsigned = f.read()
    check.equal(unsigned, "%s  %s\n" % (sha256(reference), EXE),
                "SHA256SUMS-unsigned: one line, the SHA-256 of the test bed's own build")
    check.equal(sha256(os.path.join(dist, "ScarvelRepair-unattended.cmd")),
                sha256(os.path.join(SOURCE, "resources", "ScarvelRepair-unattended.cmd")),
                "the runner as in the sources")
    with open(os.path.join(dist, "BUILDINFO")) as f:
        info = f.read()
    head = run(["git", "-C", source, "rev-parse", "HEAD"]).stdout.decode().strip()
    dirty = run(["git", "-C", source, "status", "--porcelain", "--untracked-files=no"]).stdout
    version = resource_value("FileVersion")
    check.that(info.startswith("version: %s\ntag: %s\ncommit: %s %s\n" % (
        version, "none" if dirty else "v" + version, head, "dirty (ALLOW_DIRTY=1)" if dirty else "clean")),
               "BUILDINFO: the version, the tag, the commit, " + ("dirty" if dirty else "clean"), info)
    check.that("ScarvelRepair.exe: %s\nunsigned ScarvelRepair.exe: %s\n"
               % (sha256(os.path.join(dist, EXE)), sha256(reference)) in info,
               "BUILDINFO: both SHA-256s", info)
    compiler = run(["dpkg-query", "-W", "-f", "${Package} ${Version}\n",
                    "g++-mingw-w64-i686-posix", "binutils-mingw-w64-i686", "mingw-w64-i686-dev"])
    check.that(all("package: %s\n" % line in info for line in compiler.stdout.decode().split("\n")
                   if line), "BUILDINFO: the compiler's, binutils' and the runtime's versions", info)
    if material:
        check.that("signer: %s\n" % material.fingerprint in info, "BUILDINFO: the signer", info)


def check_failure(check, what, result, words, dist, secrets=(), exists=False):
    status, output = result
    check.that(status != 0, what + ": non-zero exit")
    lines = own_lines(output)
    check.that(len(lines) == 1 and lines[0].startswith("release: ") and words in lines[0],
               "one line, saying: " + words, output)
    check.equal(os.path.exists(dist), exists, "dist/ " + ("left as it was" if exists else "not made"))
    leftovers = [name for name in os.listdir(os.path.dirname(dist))
                 if name.startswith("." + os.path.basename(dist))]
    check.equal(leftovers, [], "nothing half-written beside it")
    for name, secret in dict(secrets).items():
        check.that(secret not in output, "the %s is not printed" % name)


def flip_byte(source, target):
    """A copy with one byte of the code changed (the signature's digest covers it)."""
    with open(source, "rb") as f:
        data = bytearray(f.read())
    text = pefile.PE(data=bytes(data), fast_load=True).sections[0]
    data[text.PointerToRawData + 64] ^= 0x01
    with open(target, "wb") as f:
        f.write(data)


def resum(dist, files):
    """SHA256SUMS made anew, as one who changed the release would."""
    run(["sh", "-c", "sha256sum %s >SHA256SUMS" % " ".join(files)], cwd=dist)


def other_build_signature(material, work, reference, dist):
    """The auditor's: a fresh build with the signature of a build one byte apart attached
    (attach-signature writes it all the same), and the sums made anew."""
    other_build = os.path.join(work, "other-build.exe")
    flip_byte(reference, other_build)
    run(["osslsigncode", "sign", "-h", "sha256", "-certs", material.chain, "-key", material.key,
         "-in", other_build, "-out", other_build + ".signed"])
    for name in (EXE, EXE + ".sig"):
        os.remove(os.path.join(dist, name))
    run(["osslsigncode", "extract-signature", "-pem", "-in", other_build + ".signed",
         "-out", os.path.join(dist, EXE + ".sig")])
    run(["osslsigncode", "attach-signature", "-sigin", os.path.join(dist, EXE + ".sig"),
         "-in", reference, "-out", os.path.join(dist, EXE)], check=False)
    resum(dist, ["BUILDINFO", "ScarvelRepair-unattended.cmd", EXE, EXE + ".sig", "SHA256SUMS-unsigned"])


def swapped_runner(material, work, reference, dist):
    with open(os.path.join(dist, "ScarvelRepair-unattended.cmd"), "w", newline="") as f:
        f.write("@net user helper Passw0rd /add\r\n@\"%~dp0ScarvelRepair.exe\" <nul\r\n")
    resum(dist, ["BUILDINFO", "ScarvelRepair-unattended.cmd", EXE, EXE + ".sig", "SHA256SUMS-unsigned"])


def other_toolchain(material, work, reference, dist, edits=None):
    """An unsigned release whose program and BUILDINFO say another CMake made it (or with
    other `edits`: (file, old, new))."""
    for name, old, new in edits or (("SHA256SUMS-unsigned", sha256(reference), "0" * 64),
                                    ("BUILDINFO", "package: cmake ", "package: cmake 0.1-0 was ")):
        path = os.path.join(dist, name)
        with open(path) as f:
            text = f.read()
        with open(path, "w") as f:
            f.write(re.sub(old, new, text, count=1, flags=re.M))
    resum(dist, ["BUILDINFO", "ScarvelRepair-unattended.cmd", EXE, "SHA256SUMS-unsigned"])


SIGNED_FAILS = ("SHA256SUMS.p7s is not", "is not the signer")
# The releases an auditor might be handed: (what, the release it starts from, the change,
# with CA=, the checks that fail).
TAMPERED = [
    ("one byte of the shipped program flipped", "keyed",
     lambda m, w, r, d: flip_byte(os.path.join(d, EXE), os.path.join(d, EXE)), True,
     ("not as SHA256SUMS says", "attached is not the shipped", "Authenticode digests", "do not verify")),
    # The bytes alone match: attaching is deterministic. The digests tell the signature wrong.
    ("another build's signature, without CA=", "token", other_build_signature, False,
     ("Authenticode digests",) + SIGNED_FAILS),
    ("the runner swapped", "token", swapped_runner, False,
     ("unattended.cmd is not",) + SIGNED_FAILS),
    ("no SHA256SUMS", "token", lambda m, w, r, d: os.remove(os.path.join(d, "SHA256SUMS")), False,
     ("folder does not hold", "there is no SHA256SUMS", "no file checked") + SIGNED_FAILS),
    ("an extra version.dll, a .local folder", "token",
     lambda m, w, r, d: (shutil.copy(r, os.path.join(d, "version.dll")),
                         os.mkdir(os.path.join(d, EXE + ".local"))), False,
     ("folder does not hold",)),
    ("another toolchain's build", "unsigned", other_toolchain, False, ("SHA256SUMS-unsigned says 0000",)),
    ("BUILDINFO naming a commit outside this history", "unsigned", lambda m, w, r, d: other_toolchain(
        m, w, r, d, [("BUILDINFO", "^commit: [0-9a-f]{40} ", "commit: %s " % ("5ca1ab1e" * 5))]), False,
     ("unconfirmed", "is not in the history", "not rebuilt", "not compared with a build",
      "unattended.cmd is not compared")),
]


def spy_path(work):
    """A PATH whose cmake, openssl and osslsigncode write their environment to
    `work`/seen before they run."""
    spies = os.path.join(work, "spies")
    os.mkdir(spies)
    for name in ("cmake", "openssl", "osslsigncode"):
        with open(os.path.join(spies, name), "w") as f:
            f.write("#!/bin/sh\n{ echo '%s:'; env; } >>'%s'\nexec '%s' \"$@\"\n"
                    % (name, os.path.join(work, "seen"), shutil.which(name)))
        os.chmod(os.path.join(spies, name), 0o755)
    return spies + os.pathsep + os.environ["PATH"]


def releases(build, check):
    """`build`: the 32-bit build, whose program every release must reproduce."""
    material = Material()
    work = tempfile.mkdtemp(prefix="scarvel-dists-")
    reference = build.tool
    tag = "v" + resource_value("FileVersion")
    try:
        vendor = vendor_clone(work, material, material.chain, material.cdp_chain, material.short_chain)

        def release(dist, variables=(), env=(), source=vendor):
            return make("release", dict(variables, DIST=dist), env, source=source)

        check.begin("make release without signing material, flags in the environment")
        dist = os.path.join(work, "unsigned")
        status, output = release(dist, env={"CXXFLAGS": "-O0 -g", "CFLAGS": "-O0",
                                            "LDFLAGS": "-Wl,--insert-timestamp"})
        check.that(status == 0, "exit status 0", output)
        check_dist(check, dist, False, reference, source=vendor)
        with open(os.path.join(dist, "SHA256SUMS")) as f:
            listed = dict(reversed(line.split()) for line in f)
        check.equal(listed.get(EXE), sha256(reference), "SHA256SUMS and SHA256SUMS-unsigned hold "
                    "the same SHA-256 for the program")
        lines = verify_release(check, dist, source=vendor)
        check.that(lines[0] == "ok    version %s, tag %s" % (resource_value("FileVersion"), tag) and any(
            line.startswith("ok    the release is unsigned") for line in lines),
                   "first the version and the tag; a line of its own: unsigned", "\n".join(lines))

        check.begin("make release signed with a key file, SHA-256 only, time-stamped")
        keyed = os.path.join(work, "keyed")
        status, output = release(keyed, dict(material.key_file(), SIGN_DIGESTS="sha256"))
        check.that(status == 0, "exit status 0", output)
        check_dist(check, keyed, True, reference, material, source=vendor)
        osslsigncode_verify(check, material, os.path.join(keyed, EXE), ["SHA256"])
        lines = "\n".join(verify_release(check, keyed, ca=material.ca, source=vendor))
        check.that("resources/signers.txt of HEAD" in lines and "time-stamped" in lines,
                   "the signer listed at HEAD, the sums time-stamped", lines)

        check.begin("make release signed twice with the key on a SoftHSM2 token, PIN in the "
                    "environment, time-stamped by URL")
        token = os.path.join(work, "token")
        status, output = release(token, material.token(),
                                 dict(material.env, SIGN_PIN=PIN, PATH=spy_path(work)))
        check.that(status == 0, "exit status 0", output)
        check.that(PIN not in output, "the PIN is not printed", output)
        with open(os.path.join(work, "seen")) as f:
            seen = f.read()
        check.that(all(name + ":" in seen for name in ("cmake", "openssl", "osslsigncode"))
                   and PIN not in seen and "SIGN_PIN" not in seen,
                   "cmake, openssl and osslsigncode ran without the PIN in their environment")
        check_dist(check, token, True, reference, material, source=vendor)
        osslsigncode_verify(check, material, os.path.join(token, EXE), ["SHA1", "SHA256"])
        verify_release(check, token, ca=material.ca, source=vendor)

        check.begin("make release from the token, PIN in the URI")
        uri = os.path.join(work, "uri")
        status, output = release(uri, material.token(uri_pin=PIN), material.env)
        check.that(status == 0 and PIN not in output, "exit status 0, the PIN not printed", output)
        verify_release(check, uri, source=vendor)

        for what, base, change, ca, fails in TAMPERED:
            check.begin("verify-release: " + what)
            tampered = os.path.join(work, "tampered")
            shutil.rmtree(tampered, ignore_errors=True)
            shutil.copytree(os.path.join(work, base), tampered)
            change(material, work, reference, tampered)
            lines = verify_release(check, tampered, ca=material.ca if ca else None, fails=fails,
                                   source=vendor)
            kept = re.findall(r"kept in (\S+);", "\n".join(lines))
            check.that(all(os.path.isfile(os.path.join(k, EXE)) for k in kept),
                       "the rebuilt program kept where the failure says", "\n".join(lines))
            for k in kept:
                shutil.rmtree(k, ignore_errors=True)
            if change is other_toolchain:
                check.that(any("cmake 3" in line and "0.1-0 was" in line for line in lines),
                           "the package whose version differs, named", "\n".join(lines))
            if base == "keyed":
                check.that("bytes that differ: 1, the first at byte" in "\n".join(lines) and
                           "(osslsigncode: Calculated message digest" in "\n".join(lines),
                           "which bytes differ; osslsigncode's MISMATCH line", "\n".join(lines))

        check.begin("verify-release on main: another signer of the same CA, listed only on a side "
                    "branch, given as SIGNER= of someone else")
        git(vendor, "checkout", "-q", "-b", "side")
        with open(os.path.join(vendor, "resources", "signers.txt"), "a") as f:
            f.write("%s  # Mallow\n" % material.fingerprint_of(material.other_chain))
        git(vendor, "commit", "-q", "-a", "-m", "Trust Mallow")
        side = os.path.join(work, "side")
        status, output = release(side, material.key_file(material.other_chain, material.other_key))
        check.that(status == 0, "make release on the side branch", output)
        git(vendor, "checkout", "-q", "main")
        lines = verify_release(check, side, ca=material.ca, source=vendor, signer=material.fingerprint,
                               fails=("tag none, unconfirmed", "is not in the history", "not rebuilt",
                                      "not compared with a build", "is not listed", "cmd is not compared"))
        check.that(any("commit the line" in line and "or give SIGNER=" in line for line in lines),
                   "the signer's line says how to list it", "\n".join(lines))

        check.begin("verify-release, CA=: a certificate whose revocation list cannot be fetched")
        cdp = os.path.join(work, "cdp")
        check.that(release(cdp, material.key_file(material.cdp_chain, material.cdp_key))[0] == 0,
                   "make release with it")
        lines = verify_release(check, cdp, ca=material.ca, source=vendor)
        check.that(sum("revocation not checked (no CRL=" in line for line in lines) == 2,
                   "the sums' and the signatures' lines: revocation not checked", "\n".join(lines))
        lines = verify_release(check, cdp, ca=material.ca, source=vendor,
                               crl=material.crl(material.path("cdp.pem")),
                               fails=("SHA256SUMS.p7s is not", "do not verify up to"))
        check.that(sum(line.endswith("certificate revoked") for line in lines) == 2,
                   "both failures give the tool's reason: certificate revoked", "\n".join(lines))

        check.begin("verify-release, 12 days on: a certificate that expired after 10")
        short = os.path.join(work, "short")
        check.that(release(short, material.key_file(material.short_chain, material.short_key))[0] == 0,
                   "make release with it")
        verify_release(check, short, ca=material.ca, source=vendor, clock="+12d")
        os.remove(os.path.join(short, "SHA256SUMS.p7s.tsr"))
        verify_release(check, short, ca=material.ca, source=vendor, clock="+12d",
                       fails=("folder does not hold", "SHA256SUMS.p7s has no time stamp"))

        check.begin("make release: wrong PIN for the token")
        failed = os.path.join(work, "wrong-pin")
        result = release(failed, material.token(), dict(material.env, SIGN_PIN=WRONG_PIN))
        check_failure(check, "wrong PIN", result, "PIN", failed, secrets={"PIN given": WRONG_PIN, "token's PIN": PIN})

        for what, variables, words in (
                ("a signing file missing", {"SIGN_KEY": material.path("missing.key")}, "cannot read SIGN_KEY"),
                ("a certificate that is not for code signing",
                 {"SIGN_CERT": material.server_chain, "SIGN_KEY": material.server_key}, "not for code signing"),
                ("no time-stamp", {"SIGN_TSA_CERTS": "", "SIGN_TSA_KEY": "", "SIGN_TSA": ""}, "time-stamped"),
                ("an unknown digest", {"SIGN_DIGESTS": "md5"}, "SIGN_DIGESTS")):
            check.begin("make release: " + what)
            result = release(failed, dict(material.key_file(), **variables))
            check_failure(check, what, result, words, failed)

        check.begin("make release: DIST= a folder that is not a release")
        notes = os.path.join(work, "notes")
        os.mkdir(notes)
        open(os.path.join(notes, "todo.txt"), "w").close()
        result = release(notes)
        check_failure(check, "DIST=notes", result, "other files than a release's", notes, exists=True)
        check.equal(os.listdir(notes), ["todo.txt"], "its file left alone")

        check.begin("make release: uncommitted changes; with ALLOW_DIRTY=1, a release that fails")
        with open(os.path.join(vendor, "README.md"), "a") as f:
            f.write("edited\n")
        result = release(failed)
        check_failure(check, "a dirty tree", result, "uncommitted changes", failed)
        dirty = os.path.join(work, "dirty")
        check.that(release(dirty, {"ALLOW_DIRTY": "1"})[0] == 0, "make release ALLOW_DIRTY=1")
        verify_release(check, dirty, source=vendor, fails=("released from a dirty tree",))
    finally:
        material.close()
        shutil.rmtree(work, ignore_errors=True)


def under_wine(machine, check):
    material = Material(token=False)
    try:
        check.begin("the signed program as a file")
        dist = os.path.join(machine.home, "dist")
        status, output = make("release", dict(material.key_file(), DIST=dist))
        if not check.that(status == 0, "make release signed with a key file", output):
            return
        signed = os.path.join(dist, EXE)
        checker = os.path.join(SOURCE, "tests", "artefacts", "check_image.py")
        for args in (["image", "--arch", "x86", signed],
                     ["imports", signed, os.path.join(SOURCE, "tests", "artefacts", "xp-sp3-imports.txt")]):
            result = run([sys.executable, checker] + args, check=False)
            check.that(result.returncode == 0, "check_image.py %s passes on it" % args[0],
                       result.stdout.decode("utf-8", "replace")[-3000:])
        check.that(os.path.getsize(signed) > os.path.getsize(machine.build.tool),
                   "signed: %d bytes, unsigned %d" % (os.path.getsize(signed),
                                                      os.path.getsize(machine.build.tool)))

        scenarios.healthy_untouched(machine, check, program=signed)

        check.begin("WinVerifyTrust under Wine")
        flipped = os.path.join(machine.home, "flipped.exe")
        flip_byte(signed, flipped)
        files = {"signed": (signed, 0), "one byte changed": (flipped, TRUST_E_BAD_DIGEST),
                 "unsigned": (machine.build.tool, TRUST_E_NOSIGNATURE)}
        out = os.path.join(machine.home, "trust.txt")
        machine.wine([os.path.join(machine.build.dir, "tests", "release", "trust_check.exe")]
                     + [bed.windows_path(path) for path, _ in files.values()], stdout=out)
        with open(out, encoding="utf-8", errors="replace") as f:
            results = [int(line.split()[0], 16) for line in f if line.strip()]
        for (name, (_, expected)), got in zip(files.items(), results + [None] * len(files)):
            check.equal(got, expected, "%s: 0x%08X" % (name, expected))
    finally:
        material.close()


# Run by run.py: the signed program on a machine of its own, the releases on the build alone.
SCENARIOS = {"signed_program": under_wine}
CHECKS = {"releases": releases}
