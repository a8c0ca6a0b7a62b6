#!/usr/bin/env python3
"""make release and make verify-release, with signing material made for the test and thrown
away after it: a test CA, a code-signing certificate, a time-stamping authority for
osslsigncode's own time-stamping, and a SoftHSM2 token holding the signing key. Run by
run.py: "releases" (the releases, their verification, their failures) on the 32-bit build,
whose program a release must reproduce, and "signed_program" (the signed program under
Wine: its healthy run, WinVerifyTrust).
"""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile

import pefile

import bed
import scenarios
from bed import SOURCE
EXE = "ScarvelRepair.exe"
SIGNED_DIST = {EXE, EXE + ".sig", "ScarvelRepair-unattended.cmd", "SHA256SUMS",
               "SHA256SUMS-unsigned"}
SIGN_VARIABLES = ("SIGN_CERT", "SIGN_KEY", "SIGN_PKCS11_MODULE", "SIGN_PIN", "SIGN_TSA",
                  "SIGN_TSA_CERTS", "SIGN_TSA_KEY")
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


def product_name():
    with open(os.path.join(SOURCE, "resources", "resources.rc"), encoding="utf-8") as f:
        return re.search(r'VALUE "ProductName", "([^"]*)"', f.read()).group(1)


class Material:
    """Throwaway keys and certificates in a temporary folder, and a SoftHSM2 token."""

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

    def path(self, name):
        return os.path.join(self.dir, name)

    def openssl(self, *args):
        run(["openssl"] + list(args))

    def issue(self, name, subject, usage):
        """A certificate of the test CA with this extended key usage: (chain file, key)."""
        key, csr, cert = (self.path(name + suffix) for suffix in (".key", ".csr", ".pem"))
        extensions = self.path(name + ".ext")
        with open(extensions, "w") as f:
            f.write("basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\n"
                    "extendedKeyUsage=%s\n" % usage)
        self.openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
                     "-subj", subject)
        self.openssl("x509", "-req", "-in", csr, "-CA", self.ca, "-CAkey", self.path("ca.key"),
                     "-CAcreateserial", "-days", "30", "-out", cert, "-extfile", extensions)
        chain = self.path(name + "-chain.pem")
        with open(chain, "w") as out:
            for part in (cert, self.ca):
                with open(part) as f:
                    out.write(f.read())
        return chain, key

    def key_file(self):
        return {"SIGN_CERT": self.chain, "SIGN_KEY": self.key,
                "SIGN_TSA_CERTS": self.tsa_chain, "SIGN_TSA_KEY": self.tsa_key}

    def token(self, uri_pin=None):
        uri = "pkcs11:token=release;object=signer;type=private"
        if uri_pin:
            uri += "?pin-value=" + uri_pin
        return {"SIGN_CERT": self.chain, "SIGN_KEY": uri, "SIGN_PKCS11_MODULE": SOFTHSM_MODULE}

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


def make(target, variables=(), env=()):
    """make TARGET VAR=value... in the source tree, as a person types it; `env`: the
    environment's additions (where a PIN belongs). Returns (status, output)."""
    environment = {k: v for k, v in os.environ.items()
                   if k not in SIGN_VARIABLES + ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    environment.update(env)
    args = ["make", "-s", "--no-print-directory", "-C", SOURCE, target]
    args += ["%s=%s" % item for item in dict(variables).items()]
    result = run(args, env=environment, check=False)
    return result.returncode, (result.stdout + result.stderr).decode("utf-8", "replace")


def own_lines(output):
    """The lines the scripts printed, make's own "make: ***" line left out."""
    return [line for line in output.splitlines() if line.strip() and not line.startswith("make: ")]


def verify_release(check, dist, ca=None, fails=()):
    """make verify-release; `fails`: the words of the checks that must fail, all others ok."""
    variables = {"DIST": dist}
    if ca:
        variables["CA"] = ca
    status, output = make("verify-release", variables)
    lines = own_lines(output)
    expected = 3 + (1 if ca else 0)
    check.equal(len(lines), expected, "one verdict line for each of %d checks" % expected)
    failed = [line for line in lines if line.startswith("FAIL")]
    for words in fails:
        check.that(any(words in line for line in failed), "FAIL for: " + words, output)
    check.equal(len(failed), len(fails), "no other check fails")
    check.that(all(line.startswith(("ok    ", "FAIL  ")) for line in lines), "each line a verdict", output)
    check.equal(status != 0, bool(fails), "exit status " + ("non-zero" if fails else "0"))
    return lines


def osslsigncode_verify(check, material, exe, timestamped):
    result = run(["osslsigncode", "verify", "-CAfile", material.ca, "-TSA-CAfile", material.ca,
                  "-in", exe], check=False)
    said = (result.stdout + result.stderr).decode("utf-8", "replace")
    check.equal(result.returncode, 0, "osslsigncode verify -CAfile: the chain up to the test CA")
    check.that("Message digest algorithm  : SHA256" in said, "SHA-256", said)
    check.that("Text description: " + product_name() in said,
               "description: the version resource's product name", said)
    if timestamped:
        check.that("Timestamp Server Signature verification: ok" in said, "time-stamped", said)


def check_dist(check, dist, signed, reference):
    names = set(os.listdir(dist))
    check.equal(names, SIGNED_DIST if signed else SIGNED_DIST - {EXE + ".sig"}, "the files of dist/")
    sums = run(["sha256sum", "-c", "SHA256SUMS"], cwd=dist, check=False)
    check.equal(sums.returncode, 0, "sha256sum -c SHA256SUMS passes in dist/")
    with open(os.path.join(dist, "SHA256SUMS-unsigned")) as f:
        unsigned = f.read()
    check.equal(unsigned, "%s  %s\n" % (sha256(reference), EXE),
                "SHA256SUMS-unsigned: one line, the SHA-256 of the test bed's own build")
    check.equal(sha256(os.path.join(dist, "ScarvelRepair-unattended.cmd")),
                sha256(os.path.join(SOURCE, "resources", "ScarvelRepair-unattended.cmd")),
                "the runner as in the sources")


def check_failure(check, what, result, words, dist, secrets=()):
    status, output = result
    check.that(status != 0, what + ": non-zero exit")
    lines = own_lines(output)
    check.that(len(lines) == 1 and lines[0].startswith("release: ") and words in lines[0],
               "one line, saying: " + words, output)
    check.that(not os.path.exists(dist), "no dist/")
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


def releases(build, check):
    """`build`: the 32-bit build, whose program every release must reproduce."""
    material = Material()
    work = tempfile.mkdtemp(prefix="scarvel-dists-")
    reference = build.tool
    try:
        check.begin("make release without signing material")
        dist = os.path.join(work, "unsigned")
        status, output = make("release", {"DIST": dist})
        check.that(status == 0, "exit status 0", output)
        check_dist(check, dist, False, reference)
        with open(os.path.join(dist, "SHA256SUMS")) as f:
            listed = dict(reversed(line.split()) for line in f)
        check.equal(listed.get(EXE), sha256(reference), "SHA256SUMS and SHA256SUMS-unsigned hold "
                    "the same SHA-256 for the program")
        verify_release(check, dist)

        check.begin("make release signed with a key file, time-stamped")
        keyed = os.path.join(work, "keyed")
        status, output = make("release", dict(material.key_file(), DIST=keyed))
        check.that(status == 0, "exit status 0", output)
        check_dist(check, keyed, True, reference)
        osslsigncode_verify(check, material, os.path.join(keyed, EXE), True)
        verify_release(check, keyed, ca=material.ca)

        check.begin("make release signed with the key on a SoftHSM2 token, PIN in the URI")
        token = os.path.join(work, "token")
        status, output = make("release", dict(material.token(uri_pin=PIN), DIST=token), material.env)
        check.that(status == 0, "exit status 0", output)
        check.that(PIN not in output, "the PIN is not printed", output)
        check_dist(check, token, True, reference)
        osslsigncode_verify(check, material, os.path.join(token, EXE), False)
        verify_release(check, token, ca=material.ca)

        check.begin("verify-release: one byte of the shipped program flipped")
        flipped = os.path.join(work, "flipped")
        shutil.copytree(keyed, flipped)
        flip_byte(os.path.join(keyed, EXE), os.path.join(flipped, EXE))
        verify_release(check, flipped, ca=material.ca,
                       fails=("SHA256SUMS", "attached is not the shipped", "does not verify"))

        check.begin("verify-release: a signature made for another build")
        other = os.path.join(work, "other")
        shutil.copytree(keyed, other)
        other_build = os.path.join(work, "other-build.exe")
        flip_byte(reference, other_build)
        run(["osslsigncode", "sign", "-h", "sha256", "-certs", material.chain, "-key", material.key,
             "-in", other_build, "-out", other_build + ".signed"])
        os.remove(os.path.join(other, EXE + ".sig"))
        run(["osslsigncode", "extract-signature", "-pem", "-in", other_build + ".signed",
             "-out", os.path.join(other, EXE + ".sig")])
        # Sums made anew: only the signature betrays it.
        run(["sh", "-c", "sha256sum ScarvelRepair-unattended.cmd ScarvelRepair.exe "
             "ScarvelRepair.exe.sig SHA256SUMS-unsigned >SHA256SUMS"], cwd=other)
        verify_release(check, other, fails=("attached is not the shipped",))

        check.begin("make release: wrong PIN for the token")
        failed = os.path.join(work, "wrong-pin")
        result = make("release", dict(material.token(), DIST=failed),
                      dict(material.env, SIGN_PIN=WRONG_PIN))
        check_failure(check, "wrong PIN", result, "PIN", failed, secrets={"PIN given": WRONG_PIN, "token's PIN": PIN})

        check.begin("make release: a signing file missing")
        result = make("release", dict(material.key_file(), DIST=failed,
                                      SIGN_KEY=material.path("missing.key")))
        check_failure(check, "missing key file", result, "cannot read SIGN_KEY", failed)

        check.begin("make release: a certificate that is not for code signing")
        result = make("release", dict(material.key_file(), DIST=failed, SIGN_CERT=material.server_chain,
                                      SIGN_KEY=material.server_key))
        check_failure(check, "web server certificate", result, "not for code signing", failed)
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
