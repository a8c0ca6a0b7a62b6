#!/usr/bin/env python3
"""make verify-release on the releases an auditor might be handed, each case a CTest entry
of its own ("release_verify_<case>"), with the fixture's signing material (material.py):
the releases of make_release_test.py's "unsigned", "keyed" and "token" changed, a release of
another signer from a side branch, a certificate whose revocation list cannot be fetched,
and one that has expired by the check.
"""
import os
import re
import shutil

from material import (CHECK_EXE, EXE, entry, flip_byte, git, release, run, sha256, verify_release)


def resum(dist):
    """SHA256SUMS made anew over the files it names, as one who changed the release would."""
    with open(os.path.join(dist, "SHA256SUMS")) as f:
        files = [line.split()[1] for line in f if line.strip()]
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
    resum(dist)


def swapped_runner(material, work, reference, dist):
    with open(os.path.join(dist, "ScarvelRepair-unattended.cmd"), "w", newline="") as f:
        f.write("@net user helper Passw0rd /add\r\n@\"%~dp0ScarvelRepair.exe\" <nul\r\n")
    resum(dist)


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
    resum(dist)


def without_check(material, work, reference, dist):
    """The check left out, and its line taken out of the sums."""
    os.remove(os.path.join(dist, CHECK_EXE))
    sums = os.path.join(dist, "SHA256SUMS")
    with open(sums) as f:
        kept = [line for line in f if not line.rstrip().endswith(" " + CHECK_EXE)]
    with open(sums, "w") as f:
        f.writelines(kept)


def other_check_build(material, work, reference, dist):
    """The check of a build one byte apart, in SHA256SUMS-unsigned and SHA256SUMS alike."""
    check = os.path.join(dist, CHECK_EXE)
    published = sha256(check)
    flip_byte(check, check)
    other_toolchain(material, work, reference, dist,
                    [("SHA256SUMS-unsigned", "^%s" % published, sha256(check))])


SIGNED_FAILS = ("SHA256SUMS.p7s is not", "is not the signer")
# The releases an auditor might be handed: {case: (what, the release it starts from, the
# change, with CA=, the checks that fail, how many of them keep the rebuilt program)}.
TAMPERED = {
    "flipped_byte": (
        "one byte of the shipped program flipped", "keyed",
        lambda m, w, r, d: flip_byte(os.path.join(d, EXE), os.path.join(d, EXE)), True,
        ("not as SHA256SUMS says", "attached is not the shipped", "Authenticode digests", "do not verify"), 1),
    # The bytes alone match: attaching is deterministic. The digests tell the signature wrong.
    "other_build_signature": ("another build's signature, without CA=", "token", other_build_signature,
                              False, ("Authenticode digests",) + SIGNED_FAILS, 0),
    "swapped_runner": ("the runner swapped", "token", swapped_runner, False,
                       ("unattended.cmd is not",) + SIGNED_FAILS, 0),
    "no_sums": ("no SHA256SUMS", "token", lambda m, w, r, d: os.remove(os.path.join(d, "SHA256SUMS")),
                False, ("folder does not hold", "there is no SHA256SUMS", "no file checked") + SIGNED_FAILS, 0),
    "extra_files": ("an extra version.dll, a .local folder", "token",
                    lambda m, w, r, d: (shutil.copy(r, os.path.join(d, "version.dll")),
                                        os.mkdir(os.path.join(d, EXE + ".local"))), False,
                    ("folder does not hold",), 0),
    "no_check": ("no ScarvelCheck.exe", "unsigned", without_check, False,
                 ("folder does not hold", "SHA256SUMS does not list", "no shipped ScarvelCheck.exe"), 1),
    "other_check_build": ("another build's ScarvelCheck.exe", "unsigned", other_check_build, False,
                          ("builds ScarvelCheck.exe", "the shipped ScarvelCheck.exe is not that build"), 2),
    "other_toolchain": ("another toolchain's build", "unsigned", other_toolchain, False,
                        ("SHA256SUMS-unsigned says 0000",), 1),
    "outside_history": (
        "BUILDINFO naming a commit outside this history", "unsigned", lambda m, w, r, d: other_toolchain(
            m, w, r, d, [("BUILDINFO", "^commit: [0-9a-f]{40} ", "commit: %s " % ("5ca1ab1e" * 5))]), False,
        ("unconfirmed", "is not in the history", "not rebuilt", "not compared with a build",
         "unattended.cmd is not compared"), 0),
}


def tampered(name):
    what, base, change, ca, fails, keeping = TAMPERED[name]

    def case(build, check, material, work):
        dist = os.path.join(work, "tampered")
        shutil.copytree(material.release(base), dist)
        change(material, work, build.tool, dist)
        lines = verify_release(check, dist, material.vendor, ca=material.ca if ca else None,
                               fails=fails)
        kept = re.findall(r"kept in (\S+?)(?:;|$)", "\n".join(lines), re.M)
        check.equal(len(kept), keeping, "%d failures name where the rebuilt program is kept" % keeping)
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
    return "verify-release: " + what, case


def side_branch(build, check, material, work):
    # A clone of the vendor's own: its branches are the case's.
    vendor = os.path.join(work, "vendor")
    run(["git", "clone", "-q", material.vendor, vendor])
    git(vendor, "checkout", "-q", "-b", "side")
    with open(os.path.join(vendor, "resources", "signers.txt"), "a") as f:
        f.write("%s  # Mallow\n" % material.fingerprint_of(material.other_chain))
    git(vendor, "commit", "-q", "-a", "-m", "Trust Mallow")
    side = os.path.join(work, "side")
    status, output = release(material, side, material.key_file(material.other_chain, material.other_key),
                             source=vendor)
    check.that(status == 0, "make release on the side branch", output)
    git(vendor, "checkout", "-q", "main")
    lines = verify_release(check, side, vendor, ca=material.ca, signer=material.fingerprint,
                           fails=("tag none, unconfirmed", "is not in the history", "not rebuilt",
                                  "not compared with a build", "is not listed", "cmd is not compared"))
    check.that(any("commit the line" in line and "or give SIGNER=" in line for line in lines),
               "the signer's line says how to list it", "\n".join(lines))


def unfetchable_crl(build, check, material, work):
    cdp = os.path.join(work, "cdp")
    check.that(release(material, cdp, material.key_file(material.cdp_chain, material.cdp_key))[0] == 0,
               "make release with it")
    lines = verify_release(check, cdp, material.vendor, ca=material.ca)
    check.that(sum("revocation not checked (no CRL=" in line for line in lines) == 2,
               "the sums' and the signatures' lines: revocation not checked", "\n".join(lines))
    lines = verify_release(check, cdp, material.vendor, ca=material.ca,
                           crl=material.crl(material.path("cdp.pem"), work),
                           fails=("SHA256SUMS.p7s is not", "do not verify up to"))
    check.that(sum(line.endswith("certificate revoked") for line in lines) == 2,
               "both failures give the tool's reason: certificate revoked", "\n".join(lines))


def expired(build, check, material, work):
    short = os.path.join(work, "short")
    check.that(release(material, short, material.key_file(material.short_chain, material.short_key))[0] == 0,
               "make release with it")
    verify_release(check, short, material.vendor, ca=material.ca, clock="+12d")
    os.remove(os.path.join(short, "SHA256SUMS.p7s.tsr"))
    verify_release(check, short, material.vendor, ca=material.ca, clock="+12d",
                   fails=("folder does not hold", "SHA256SUMS.p7s has no time stamp"))


CASES = dict({name: tampered(name) for name in TAMPERED}, **{
    "side_branch": ("verify-release on main: another signer of the same CA, listed only on a side "
                    "branch, given as SIGNER= of someone else", side_branch),
    "unfetchable_crl": ("verify-release, CA=: a certificate whose revocation list cannot be fetched",
                        unfetchable_crl),
    "expired": ("verify-release, 12 days on: a certificate that expired after 10", expired),
})
CHECKS = {"release_verify": entry(CASES)}
