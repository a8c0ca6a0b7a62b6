#!/usr/bin/env python3
"""make release, each case a CTest entry of its own ("release_make_<case>"), with the
fixture's signing material (material.py): unsigned, signed with a key file and with the key
on a SoftHSM2 token, each checked by osslsigncode verify and make verify-release, and the
releases it refuses; the releases of "unsigned", "keyed" and "token" are the ones that the
verifying cases (verify_release_test.py) start from. And "signed_program": the signed
program under Wine, its healthy run and what WinVerifyTrust sees of it.
"""
import os
import re
import shutil
import sys

import bed
import scenarios
from bed import SOURCE
from material import (CHECK_EXE, EXE, PIN, WRONG_PIN, Material, entry, flip_byte, folder_of, make, own_lines,
                      release, resource_value, run, sha256, verify_release)
SIGNED_DIST = {EXE, EXE + ".sig", CHECK_EXE, CHECK_EXE + ".sig", "ScarvelRepair-unattended.cmd", "SHA256SUMS",
               "SHA256SUMS-unsigned", "BUILDINFO", "SHA256SUMS.p7s", "SHA256SUMS.p7s.tsr"}
TRUST_E_BAD_DIGEST, TRUST_E_NOSIGNATURE = 0x80096010, 0x800B0100


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


def check_dist(check, dist, signed, reference, material, source):
    names = set(os.listdir(dist))
    check.equal(names, SIGNED_DIST if signed else SIGNED_DIST - {EXE + ".sig", CHECK_EXE + ".sig",
                                                                 "SHA256SUMS.p7s", "SHA256SUMS.p7s.tsr"},
                "the files of dist/")
    sums = run(["sha256sum", "-c", "SHA256SUMS"], cwd=dist, check=False)
    check.equal(sums.returncode, 0, "sha256sum -c SHA256SUMS passes in dist/")
    with open(os.path.join(dist, "SHA256SUMS-unsigned")) as f:
        unsigned = f.read()
    check_reference = os.path.join(os.path.dirname(reference), CHECK_EXE)
    check.equal(unsigned, "%s  %s\n%s  %s\n" % (sha256(reference), EXE, sha256(check_reference), CHECK_EXE),
                "SHA256SUMS-unsigned: the SHA-256s of the test bed's own builds of the two programs")
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
    check.that("%s: %s\nunsigned %s: %s\n%s: %s\nunsigned %s: %s\n"
               % (EXE, sha256(os.path.join(dist, EXE)), EXE, sha256(reference),
                  CHECK_EXE, sha256(os.path.join(dist, CHECK_EXE)), CHECK_EXE, sha256(check_reference))
               in info, "BUILDINFO: both SHA-256s of each program", info)
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


def unsigned(build, check, material, work):
    dist = material.release("unsigned")
    status, output = release(material, dist, env={"CXXFLAGS": "-O0 -g", "CFLAGS": "-O0",
                                                  "LDFLAGS": "-Wl,--insert-timestamp"})
    check.that(status == 0, "exit status 0", output)
    check_dist(check, dist, False, build.tool, None, material.vendor)
    with open(os.path.join(dist, "SHA256SUMS")) as f:
        listed = dict(reversed(line.split()) for line in f)
    check.equal(listed.get(EXE), sha256(build.tool), "SHA256SUMS and SHA256SUMS-unsigned hold "
                "the same SHA-256 for the program")
    lines = verify_release(check, dist, material.vendor)
    check.that(lines[:1] == ["ok    version %s, tag v%s" % ((resource_value("FileVersion"),) * 2)] and any(
        line.startswith("ok    the release is unsigned") for line in lines),
               "first the version and the tag; a line of its own: unsigned", "\n".join(lines))


def keyed(build, check, material, work):
    dist = material.release("keyed")
    status, output = release(material, dist, dict(material.key_file(), SIGN_DIGESTS="sha256"))
    check.that(status == 0, "exit status 0", output)
    check_dist(check, dist, True, build.tool, material, material.vendor)
    for program in (EXE, CHECK_EXE):
        osslsigncode_verify(check, material, os.path.join(dist, program), ["SHA256"])
    lines = "\n".join(verify_release(check, dist, material.vendor, ca=material.ca))
    check.that("resources/signers.txt of HEAD" in lines and "time-stamped" in lines,
               "the signer listed at HEAD, the sums time-stamped", lines)


def token(build, check, material, work):
    dist = material.release("token")
    status, output = release(material, dist, material.token(),
                             dict(material.env, SIGN_PIN=PIN, PATH=spy_path(work)))
    check.that(status == 0, "exit status 0", output)
    check.that(PIN not in output, "the PIN is not printed", output)
    with open(os.path.join(work, "seen")) as f:
        seen = f.read()
    check.that(all(name + ":" in seen for name in ("cmake", "openssl", "osslsigncode"))
               and PIN not in seen and "SIGN_PIN" not in seen,
               "cmake, openssl and osslsigncode ran without the PIN in their environment")
    check_dist(check, dist, True, build.tool, material, material.vendor)
    for program in (EXE, CHECK_EXE):
        osslsigncode_verify(check, material, os.path.join(dist, program), ["SHA1", "SHA256"])
    verify_release(check, dist, material.vendor, ca=material.ca)


def uri(build, check, material, work):
    dist = os.path.join(work, "uri")
    status, output = release(material, dist, material.token(uri_pin=PIN), material.env)
    check.that(status == 0 and PIN not in output, "exit status 0, the PIN not printed", output)
    verify_release(check, dist, material.vendor)


def wrong_pin(build, check, material, work):
    # A copy of the token: a real one counts every wrong try.
    failed = os.path.join(work, "wrong-pin")
    result = release(material, failed, material.token(),
                     dict(material.token_copy(work), SIGN_PIN=WRONG_PIN))
    check_failure(check, "wrong PIN", result, "PIN", failed,
                  secrets={"PIN given": WRONG_PIN, "token's PIN": PIN})


# The signing material a release refuses: (what, variables over the key file's, the words).
REFUSED = {
    "missing_file": ("a signing file missing", lambda m: {"SIGN_KEY": m.path("missing.key")},
                     "cannot read SIGN_KEY"),
    "not_for_code_signing": ("a certificate that is not for code signing",
                             lambda m: {"SIGN_CERT": m.server_chain, "SIGN_KEY": m.server_key},
                             "not for code signing"),
    "no_time_stamp": ("no time-stamp", lambda m: {"SIGN_TSA_CERTS": "", "SIGN_TSA_KEY": "", "SIGN_TSA": ""},
                      "time-stamped"),
    "unknown_digest": ("an unknown digest", lambda m: {"SIGN_DIGESTS": "md5"}, "SIGN_DIGESTS"),
}


def refused(name):
    what, variables, words = REFUSED[name]

    def case(build, check, material, work):
        failed = os.path.join(work, "failed")
        result = release(material, failed, dict(material.key_file(), **variables(material)))
        check_failure(check, what, result, words, failed)
    return "make release: " + what, case


def not_a_release(build, check, material, work):
    notes = os.path.join(work, "notes")
    os.mkdir(notes)
    open(os.path.join(notes, "todo.txt"), "w").close()
    result = release(material, notes)
    check_failure(check, "DIST=notes", result, "other files than a release's", notes, exists=True)
    check.equal(os.listdir(notes), ["todo.txt"], "its file left alone")


def dirty(build, check, material, work):
    # A clone of the vendor's own: the other cases release from a clean tree.
    vendor = os.path.join(work, "vendor")
    run(["git", "clone", "-q", material.vendor, vendor])
    with open(os.path.join(vendor, "README.md"), "a") as f:
        f.write("edited\n")
    failed = os.path.join(work, "failed")
    result = release(material, failed, source=vendor)
    check_failure(check, "a dirty tree", result, "uncommitted changes", failed)
    dist = os.path.join(work, "dirty")
    check.that(release(material, dist, {"ALLOW_DIRTY": "1"}, source=vendor)[0] == 0,
               "make release ALLOW_DIRTY=1")
    verify_release(check, dist, vendor, fails=("released from a dirty tree",))


CASES = dict({
    "unsigned": ("make release without signing material, flags in the environment", unsigned),
    "keyed": ("make release signed with a key file, SHA-256 only, time-stamped", keyed),
    "token": ("make release signed twice with the key on a SoftHSM2 token, PIN in the "
              "environment, time-stamped by URL", token),
    "uri": ("make release from the token, PIN in the URI", uri),
    "wrong_pin": ("make release: wrong PIN for the token", wrong_pin),
    "not_a_release": ("make release: DIST= a folder that is not a release", not_a_release),
    "dirty": ("make release: uncommitted changes; with ALLOW_DIRTY=1, a release that fails", dirty),
}, **{name: refused(name) for name in REFUSED})


def under_wine(machine, check):
    material = Material(folder_of(machine.build))
    if not check.that(os.path.isdir(material.vendor), "the material of release_material"):
        return
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

        # Wine's WinVerifyTrust judges no chain: a signature Windows refuses (self-signed, its
        # root trusted nowhere, its only usage a web server's) passes as the release's own does.
        check.begin("WinVerifyTrust under Wine: a signature is present and its digest matches")
        flipped = os.path.join(machine.home, "flipped.exe")
        flip_byte(signed, flipped)
        selfsigned = os.path.join(machine.home, "selfsigned.exe")
        run(["osslsigncode", "sign", "-certs", material.selfsigned_cert, "-key",
             material.selfsigned_key, "-in", machine.build.tool, "-out", selfsigned])
        files = {"signed": (signed, 0), "self-signed, root trusted nowhere, server usage only": (selfsigned, 0),
                 "one byte changed": (flipped, TRUST_E_BAD_DIGEST),
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
CHECKS = {"release_make": entry(CASES)}
