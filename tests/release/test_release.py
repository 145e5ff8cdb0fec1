#!/usr/bin/env python3
"""The release folder: what each package holds, that two builds are the same
bytes, and that signing signs with the given certificate.

Runs against the built dist/ (QUORVA_DIST_DIR) and, for the relink, the x64
build folder (QUORVA_BUILD_ROOT/x64)."""
import hashlib
import os
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "installer"))
import release  # noqa: E402

DIST = Path(os.environ.get("QUORVA_DIST_DIR", ROOT / "dist"))
BUILD_ROOT = Path(os.environ.get("QUORVA_BUILD_ROOT", ROOT / "build"))
EPOCH = 1700000000
RUN_KEY = r"Software\Microsoft\Windows\CurrentVersion\Run"
HKLM = 2
COMPONENT_64BIT = 0x100
UPGRADE_MIGRATE_FEATURES, UPGRADE_ONLY_DETECT = 0x1, 0x2


def need_dist(test):
    for arch in release.ARCHES:
        if not (DIST / arch / "quorva.exe").is_file():
            test.skipTest("build dist/ first (make x64 x86)")
    if not shutil.which("wixl"):
        test.skipTest("wixl is not installed (make release installs it)")


def tree(folder):
    """{relative path: bytes} of every file under a folder."""
    folder = Path(folder)
    return {p.relative_to(folder).as_posix(): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def pe_time_stamp(path):
    data = Path(path).read_bytes()
    header = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<I", data, header + 8)[0]


class PackageTest(unittest.TestCase):
    """Each architecture's package, read back table by table."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.tables = {}

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def package(self, arch):
        need_dist(self)
        if arch not in self.tables:
            msi = Path(self.folder.name) / release.msi_name(arch)
            release.build_msi(arch, DIST / arch / "quorva.exe", msi, EPOCH)
            self.tables[arch] = release.read_tables(msi)
        return self.tables[arch]

    def test_the_agent_goes_into_the_vorlan_folder_of_the_right_program_files(self):
        for arch, program_files in (("x64", "ProgramFiles64Folder"), ("x86", "ProgramFilesFolder")):
            with self.subTest(arch=arch):
                t = self.package(arch)
                self.assertIn(("INSTALLFOLDER", program_files, "VORLAN"), t["Directory"])
                self.assertEqual([(f[0], f[2]) for f in t["File"]], [("quorva.exe", "quorva.exe")],
                                 "the package ships the agent alone: no deployer, no service")
                components = {c[0]: c for c in t["Component"]}
                for component in components.values():
                    self.assertEqual(component[2], "INSTALLFOLDER")
                    self.assertEqual(bool(component[3] & COMPONENT_64BIT), arch == "x64",
                                     "%s: 64-bit components in the x64 package only" % component[0])

    def test_the_session_start_is_two_run_values_and_nothing_else_is_written(self):
        for arch in release.ARCHES:
            with self.subTest(arch=arch):
                t = self.package(arch)
                values = sorted((r[1], r[2], r[3], r[4]) for r in t["Registry"])
                self.assertEqual(values, [(HKLM, RUN_KEY, "quorva", '"[#quorva.exe]"'),
                                          (HKLM, RUN_KEY, "quorva setup", '"[#quorva.exe]" setup')])
                self.assertFalse(t.get("ServiceInstall"), "the package installs no service")
                self.assertFalse(any(r[2].lower().startswith(r"software\vorlan") for r in t["Registry"]))

    def test_autostart_0_leaves_out_the_session_start_before_features_are_chosen(self):
        for arch in release.ARCHES:
            with self.subTest(arch=arch):
                t = self.package(arch)
                features = {f[0]: f[5] for f in t["Feature"]}
                properties = dict(t["Property"])
                self.assertEqual(features, {"Agent": 1, "SessionStart": 2})
                self.assertEqual((properties["INSTALLLEVEL"], properties["AUTOSTART"]), ("2", "1"))
                action = [a for a in t["CustomAction"] if a[0] == "LeaveOutSessionStart"]
                self.assertEqual([(a[2], a[3]) for a in action], [("INSTALLLEVEL", "1")])
                for sequence in ("InstallExecuteSequence", "InstallUISequence"):
                    steps = {s[0]: s for s in t[sequence]}
                    self.assertEqual(steps["LeaveOutSessionStart"][1], 'AUTOSTART = "0"')
                    self.assertLess(steps["LeaveOutSessionStart"][2], steps["CostFinalize"][2], sequence)

    def test_per_machine_with_a_major_upgrade_that_refuses_a_downgrade(self):
        for arch in release.ARCHES:
            with self.subTest(arch=arch):
                t = self.package(arch)
                properties = dict(t["Property"])
                self.assertEqual(properties["ALLUSERS"], "1")
                self.assertEqual(properties["ProductVersion"], "12.0.14")
                self.assertEqual(properties["ProductCode"], "{%s}" % release.product_code(arch, release.VERSION))
                upgrade = {(r[1], r[2], r[4], r[6]) for r in t["Upgrade"]}
                self.assertEqual(upgrade, {(None, "12.0.14", UPGRADE_MIGRATE_FEATURES, "WIX_UPGRADE_DETECTED"),
                                           ("12.0.14", None, UPGRADE_ONLY_DETECT, "WIX_DOWNGRADE_DETECTED")})
                self.assertIn("NOT WIX_DOWNGRADE_DETECTED", [c[0] for c in t["LaunchCondition"]])
                steps = [s[0] for s in sorted(t["InstallExecuteSequence"], key=lambda s: s[2])]
                self.assertLess(steps.index("FindRelatedProducts"), steps.index("LaunchConditions"))
                self.assertIn("RemoveExistingProducts", steps)
        self.assertNotEqual(release.product_code("x64", release.VERSION), release.product_code("x86", release.VERSION))

    def test_the_package_version_keeps_the_order_of_agent_versions_in_three_fields(self):
        # Windows Installer looks at three fields only; the agent's releases
        # count in the fourth.
        def compared(version):
            return tuple(int(p) for p in release.msi_version(version).split("."))
        ordered = ["11.9.9.200", "12.0.0.14", "12.0.0.15", "12.0.0.255", "12.0.1.0", "12.1.0.0"]
        self.assertEqual([compared(v) for v in ordered], sorted(compared(v) for v in ordered))
        self.assertEqual(len({compared(v) for v in ordered}), len(ordered))
        self.assertEqual(release.msi_version("12.0.0.14"), "12.0.14")
        for bad in ("12.0.14", "12.0.0.256", "12.0.0.x", "12.0.0.14.1"):
            with self.assertRaises((release.ReleaseError, ValueError), msg=bad):
                release.msi_version(bad)


class ReproducibleTest(unittest.TestCase):
    """Two builds of one commit are the same bytes (unsigned: a signature
    carries its own signing time)."""

    def test_two_links_of_the_same_objects_are_the_same_executable(self):
        build = BUILD_ROOT / "x64"
        link = build / "CMakeFiles" / "quorva.dir" / "link.txt"
        if not link.is_file():
            self.skipTest("no x64 build folder at %s" % build)
        command = shlex.split(link.read_text().strip().splitlines()[-1])
        out = command.index("-o")
        implib = [i for i, a in enumerate(command) if a.startswith("-Wl,--out-implib")]
        outputs = []
        with tempfile.TemporaryDirectory() as first, tempfile.TemporaryDirectory() as second:
            for n, folder in enumerate((first, second)):
                if n:
                    time.sleep(1.1)  # a link time in the header would now differ
                args = list(command)
                args[out + 1] = str(Path(folder) / "quorva.exe")
                for i in implib:
                    args[i] = "-Wl,--out-implib," + str(Path(folder) / "libquorva.dll.a")
                subprocess.run(args, cwd=build, check=True, capture_output=True)
                outputs.append((Path(folder) / "quorva.exe").read_bytes())
        self.assertEqual(hashlib.sha256(outputs[0]).hexdigest(), hashlib.sha256(outputs[1]).hexdigest())
        self.assertEqual(pe_time_stamp(DIST / "x64" / "quorva.exe"), 0, "the shipped x64 image carries a link time")
        self.assertEqual(outputs[0], (DIST / "x64" / "quorva.exe").read_bytes(),
                         "dist/x64/quorva.exe is not what its objects link to")

    def test_two_releases_of_the_same_executables_are_the_same_bytes(self):
        need_dist(self)
        for arch in release.ARCHES:
            self.assertEqual(pe_time_stamp(DIST / arch / "quorva.exe"), 0, arch)
        with tempfile.TemporaryDirectory() as scratch:
            scratch = Path(scratch)
            outputs = []
            for n in range(2):
                # Each build from its own copy, with its own modification time.
                dist = scratch / ("dist%d" % n)
                for arch in release.ARCHES:
                    (dist / arch).mkdir(parents=True)
                    shutil.copy(DIST / arch / "quorva.exe", dist / arch / "quorva.exe")
                    os.utime(dist / arch / "quorva.exe", (EPOCH + 1000 * n, EPOCH + 1000 * n))
                if n:
                    time.sleep(1.1)
                release.release(dist, scratch / ("release%d" % n), epoch=EPOCH, say=lambda _: None)
                outputs.append(tree(scratch / ("release%d" % n)))
            self.assertEqual(sorted(outputs[0]), ["SHA256SUMS", release.msi_name("x64"), release.msi_name("x86"),
                                                  "x64/quorva.exe", "x86/quorva.exe"])
            for name in outputs[0]:
                self.assertEqual(outputs[0][name], outputs[1][name], "%s differs between two builds" % name)
            summary = release.read_summary(scratch / "release0" / release.msi_name("x64"))
        self.assertEqual(summary[release.PID_CREATE_DTM], release.filetime(EPOCH))
        self.assertEqual(summary[release.PID_LASTSAVE_DTM], release.filetime(EPOCH))
        exe = (DIST / "x64" / "quorva.exe").read_bytes()
        self.assertEqual(summary[release.PID_REVNUMBER], "{%s}" % release.package_code("x64", release.VERSION, exe))


class SigningTest(unittest.TestCase):
    """With a PKCS#12 file and its password, all four files carry a SHA-256
    signature that verifies against that certificate and no other."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.work = Path(cls.folder.name)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def certificate(self, name):
        key, cert, pfx = (self.work / (name + ext) for ext in (".key", ".pem", ".pfx"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key),
                        "-out", str(cert), "-days", "2", "-subj", "/CN=%s" % name,
                        "-addext", "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature"],
                       check=True, capture_output=True)
        subprocess.run(["openssl", "pkcs12", "-export", "-inkey", str(key), "-in", str(cert), "-out", str(pfx),
                        "-passout", "pass:throwaway secret"], check=True, capture_output=True)
        return cert, pfx

    def verify(self, path, ca):
        done = subprocess.run(["osslsigncode", "verify", "-CAfile", str(ca), "-in", str(path)],
                              capture_output=True, text=True)
        return done.returncode == 0, done.stdout + done.stderr

    def test_signed_release_verifies_against_its_certificate(self):
        need_dist(self)
        for program in ("openssl", "osslsigncode"):
            if not shutil.which(program):
                self.skipTest("%s is not installed (make release installs it)" % program)
        cert, pfx = self.certificate("quorva release test signer")
        other, _ = self.certificate("someone else")
        settings = release.signing_settings({"QUORVA_SIGN_PFX": str(pfx),
                                             "QUORVA_SIGN_PASSWORD": "throwaway secret"})
        self.assertEqual(settings, (str(pfx), "throwaway secret", None))
        said = []
        files = release.release(DIST, self.work / "signed", epoch=EPOCH, settings=settings, say=said.append)
        self.assertIn("no timestamp", said[-1])
        self.assertEqual(len(files), 4)
        sums = (self.work / "signed" / "SHA256SUMS").read_text().splitlines()
        for path, line in zip(files, sums):
            with self.subTest(file=path.name):
                ok, output = self.verify(path, cert)
                self.assertTrue(ok, output)
                self.assertIn("sha256", output.lower())
                self.assertFalse(self.verify(path, other)[0], "verified against a certificate that did not sign it")
                self.assertEqual(line.split()[0], hashlib.sha256(path.read_bytes()).hexdigest())
        # The signed executable is the one inside the signed package: both
        # differ from the unsigned build only by their signatures.
        unsigned = release.release(DIST, self.work / "unsigned", epoch=EPOCH, say=said.append)
        self.assertIn("UNSIGNED", said[-1])
        self.assertFalse(self.verify(unsigned[0], cert)[0])
        self.assertGreater(files[0].stat().st_size, unsigned[0].stat().st_size)

    def test_half_a_signing_setup_is_refused_and_none_builds_unsigned(self):
        self.assertIsNone(release.signing_settings({}))
        with self.assertRaises(release.ReleaseError):
            release.signing_settings({"QUORVA_SIGN_PFX": "/nonexistent.pfx"})
        with self.assertRaises(release.ReleaseError):
            release.signing_settings({"QUORVA_SIGN_PASSWORD": "secret"})
        with self.assertRaises(release.ReleaseError):
            release.signing_settings({"QUORVA_SIGN_PFX": "/nonexistent.pfx", "QUORVA_SIGN_PASSWORD": "x"})
        with tempfile.NamedTemporaryFile(suffix=".pfx") as pfx:
            self.assertEqual(release.signing_settings({"QUORVA_SIGN_PFX": pfx.name, "QUORVA_SIGN_PASSWORD": "",
                                                       "QUORVA_SIGN_TIMESTAMP": "http://tsa.example"}),
                             (pfx.name, "", "http://tsa.example"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
