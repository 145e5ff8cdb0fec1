#!/usr/bin/env python3
"""The release folder: what each package holds (table by table, and against
the ICE rules in package_checks.py), that two builds are the same bytes, that
every rebuild is a product of its own, and that signing signs with the given
certificate.

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
sys.path.insert(0, str(Path(__file__).resolve().parent))
import release  # noqa: E402
import package_checks  # noqa: E402

DIST = Path(os.environ.get("QUORVA_DIST_DIR", ROOT / "dist"))
BUILD_ROOT = Path(os.environ.get("QUORVA_BUILD_ROOT", ROOT / "build"))
EPOCH = 1700000000
RUN_KEY = r"Software\Microsoft\Windows\CurrentVersion\Run"
HKLM = 2
COMPONENT_64BIT = 0x100
UPGRADE_MIGRATE_FEATURES, UPGRADE_ONLY_DETECT = 0x1, 0x2
UPGRADE_MIN_INCLUSIVE, UPGRADE_MAX_INCLUSIVE = 0x100, 0x200
FEATURE_DISALLOW_ABSENT = 0x10
X64_CODE, X86_CODE = "{6B1C2E0A-47D3-4F5E-9C1A-3E8D2B7F4A61}", "{D2F84A6C-1E3B-4B7D-9A5F-6C2E8B4D1F39}"
# The one ICE finding the package carries on purpose: a rebuild of the same
# version must replace the earlier build, so the Upgrade row includes it.
SAME_VERSION_UPGRADE = ("ICE61", "warning", "This product should remove only older versions of itself. The Maximum "
                        "version is not less than the current product. (12.0.14 12.0.14)")


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
            self.tables[arch, "summary"] = release.read_summary(msi)
        return self.tables[arch]

    def test_the_agent_goes_into_the_vorlan_folder_of_the_right_program_files(self):
        for arch, program_files in (("x64", "ProgramFiles64Folder"), ("x86", "ProgramFilesFolder")):
            with self.subTest(arch=arch):
                t = self.package(arch)
                self.assertIn(("INSTALLFOLDER", program_files, "VORLAN"), t["Directory"])
                self.assertEqual([(f[0], f[2]) for f in t["File"]], [("quorva.exe", "quorva.exe")],
                                 "the package ships the agent alone: no deployer, no service")
                components = {c[0]: c for c in t["Component"]}
                self.assertEqual({c[2] for c in components.values()},
                                 {"INSTALLFOLDER", "DATAROOT", "HANDOFFFOLDER", "LOGFOLDER", "REPORTSFOLDER"})
                for component in components.values():
                    self.assertEqual(bool(component[3] & COMPONENT_64BIT), arch == "x64",
                                     "%s: 64-bit components in the x64 package only" % component[0])

    def test_the_session_start_the_event_source_and_the_wait_limit_are_all_that_is_written(self):
        source = r"SYSTEM\CurrentControlSet\Services\EventLog\Application\quorva"
        for arch in release.ARCHES:
            with self.subTest(arch=arch):
                t = self.package(arch)
                values = sorted((r[1], r[2], r[3], r[4], r[5]) for r in t["Registry"])
                # The folder, not [#quorva.exe]: the file is another feature's (ICE69).
                self.assertEqual(values, [
                    (HKLM, r"SOFTWARE\VORLAN", "ScriptWaitLimit", "#[SCRIPTWAITLIMIT]", "ScriptWaitLimit"),
                    (HKLM, source, "-", None, "Agent"),
                    (HKLM, source, "EventMessageFile", "[INSTALLFOLDER]quorva.exe", "Agent"),
                    (HKLM, source, "TypesSupported", "#7", "Agent"),
                    (HKLM, RUN_KEY, "quorva", '"[INSTALLFOLDER]quorva.exe"', "SessionStart"),
                    (HKLM, RUN_KEY, "quorva setup", '"[INSTALLFOLDER]quorva.exe" setup', "SessionStart")])
                self.assertFalse(t.get("ServiceInstall"), "the package installs no service")
                # The product's key gets the limit only when the administrator gives it.
                self.assertEqual([c[4] for c in t["Component"] if c[0] == "ScriptWaitLimit"], ["SCRIPTWAITLIMIT"])

    def test_autostart_0_and_datafolders_0_disable_their_features_on_upgrades_too(self):
        # A condition of level 0 disables the feature whatever MigrateFeatureStates
        # brings over from the installed version; both properties are secure.
        for arch in release.ARCHES:
            with self.subTest(arch=arch):
                t = self.package(arch)
                # The session start under the agent: never installed without the exe.
                features = {f[0]: (f[1], f[5], f[7]) for f in t["Feature"]}
                self.assertEqual(features, {"Agent": (None, 1, FEATURE_DISALLOW_ABSENT),
                                            "SessionStart": ("Agent", 1, 0), "DataFolders": (None, 1, 0)})
                self.assertEqual(sorted(t["Condition"]), [("DataFolders", 0, 'DATAFOLDERS = "0"'),
                                                          ("SessionStart", 0, 'AUTOSTART = "0"')])
                properties = dict(t["Property"])
                self.assertEqual((properties["AUTOSTART"], properties["DATAFOLDERS"]), ("1", "1"))
                self.assertNotIn("INSTALLLEVEL", properties)
                self.assertLessEqual({"AUTOSTART", "DATAFOLDERS"}, set(properties["SecureCustomProperties"].split(";")))
                self.assertEqual(t["CustomAction"], [], "no custom actions")

    def test_per_machine_with_a_major_upgrade_of_the_same_version_too_that_refuses_a_downgrade(self):
        for arch in release.ARCHES:
            with self.subTest(arch=arch):
                t = self.package(arch)
                properties = dict(t["Property"])
                self.assertEqual(properties["ALLUSERS"], "1")
                self.assertEqual(properties["ProductVersion"], "12.0.14")
                self.assertEqual(properties["UpgradeCode"], X64_CODE if arch == "x64" else X86_CODE)
                upgrade = {(r[0], r[1], r[2], r[4], r[6]) for r in t["Upgrade"] if r[0] == properties["UpgradeCode"]}
                self.assertEqual(upgrade, {
                    (properties["UpgradeCode"], None, "12.0.14", UPGRADE_MIGRATE_FEATURES | UPGRADE_MAX_INCLUSIVE,
                     "WIX_UPGRADE_DETECTED"),
                    (properties["UpgradeCode"], "12.0.14", None, UPGRADE_ONLY_DETECT, "WIX_DOWNGRADE_DETECTED")})
                self.assertIn("NOT WIX_DOWNGRADE_DETECTED", [c[0] for c in t["LaunchCondition"]])
                steps = [s[0] for s in sorted(t["InstallExecuteSequence"], key=lambda s: s[2])]
                self.assertLess(steps.index("FindRelatedProducts"), steps.index("LaunchConditions"))

    def test_every_build_is_a_product_of_its_own_and_an_unchanged_one_keeps_its_codes(self):
        need_dist(self)
        exe = (DIST / "x64" / "quorva.exe").read_bytes()
        codes = {}
        with tempfile.TemporaryDirectory() as scratch:
            scratch = Path(scratch)
            for name, data in (("build", exe), ("same build", exe), ("rebuild", package_checks.rebuilt(exe))):
                (scratch / "quorva.exe").write_bytes(data)
                msi = scratch / (name + ".msi")
                code = release.build_msi("x64", scratch / "quorva.exe", msi, EPOCH)
                self.assertEqual(dict(release.read_tables(msi)["Property"])["ProductCode"], code)
                self.assertRegex(code, r"^\{[0-9A-F-]{36}\}$")
                codes[name] = (code, release.read_summary(msi)[release.PID_REVNUMBER])
        self.assertEqual(codes["build"], codes["same build"])
        self.assertNotEqual(codes["build"][0], codes["rebuild"][0])
        self.assertNotEqual(codes["build"][1], codes["rebuild"][1])
        self.assertEqual(codes["build"][1], "{%s}" % release.package_code(codes["build"][0]))
        self.assertNotEqual(dict(self.package("x86")["Property"])["ProductCode"], codes["build"][0])

    def test_the_file_row_carries_the_executables_version_and_language_and_no_hash(self):
        for arch in release.ARCHES:
            with self.subTest(arch=arch):
                t = self.package(arch)
                exe = (DIST / arch / "quorva.exe").read_bytes()
                self.assertEqual(release.exe_version(exe)["LANGUAGES"], "1033")
                self.assertEqual(t["File"], [("quorva.exe", "Agent", "quorva.exe", len(exe), "12.0.0.14", "1033", 512, 1)])
                self.assertEqual(t["MsiFileHash"], [], "a hash row is for unversioned files")
        # The language is read from the executable (VarFileInfo\Translation), not written as 1033: an
        # executable that says German (0x0407) is a German file; one that says none stops the release.
        exe = (DIST / "x64" / "quorva.exe").read_bytes()
        translation = "Translation".encode("utf-16-le") + b"\0\0"
        at = exe.index(translation) + len(translation)
        at += -at % 4
        self.assertEqual(exe[at:at + 4], struct.pack("<HH", 0x0409, 1200))
        german = exe[:at] + struct.pack("<HH", 0x0407, 1200) + exe[at + 4:]
        nameless = exe[:at - len(translation)] + "Xranslation".encode("utf-16-le") + exe[at - 4:]
        with tempfile.TemporaryDirectory() as scratch:
            scratch = Path(scratch)
            (scratch / "quorva.exe").write_bytes(german)
            release.build_msi("x64", scratch / "quorva.exe", scratch / "german.msi", EPOCH)
            self.assertEqual(release.read_tables(scratch / "german.msi")["File"][0][5], "1031")
            (scratch / "quorva.exe").write_bytes(nameless)
            with self.assertRaises(release.ReleaseError) as raised:
                release.build_msi("x64", scratch / "quorva.exe", scratch / "nameless.msi", EPOCH)
            self.assertIn("names no language", str(raised.exception))

    def test_the_release_stops_when_the_versions_disagree(self):
        need_dist(self)
        exe = (DIST / "x64" / "quorva.exe").read_bytes()
        fifteen = package_checks.with_version(exe, "12.0.0.14", "12.0.0.15")
        fixed = exe.find(struct.pack("<I", 0xFEEF04BD))
        fixed_only = exe[:fixed] + fifteen[fixed:fixed + 24] + exe[fixed + 24:]  # the strings did not move on
        cases = [("12.0.0.15", exe, "FILEVERSION 12.0.0.14"), ("12.0.0.15", fixed_only, "FileVersion 12.0.0.14"),
                 ("12.0.0.15", fifteen, None)]
        with tempfile.TemporaryDirectory() as scratch:
            scratch = Path(scratch)
            for version, data, complaint in cases:
                with self.subTest(complaint=complaint):
                    (scratch / "quorva.exe").write_bytes(data)
                    msi = scratch / "out.msi"
                    if complaint is None:
                        release.build_msi("x64", scratch / "quorva.exe", msi, EPOCH, version)
                        self.assertEqual(dict(release.read_tables(msi)["Property"])["ProductVersion"], "12.0.15")
                        continue
                    with self.assertRaises(release.ReleaseError) as raised:
                        release.build_msi("x64", scratch / "quorva.exe", msi, EPOCH, version)
                    self.assertIn(complaint, str(raised.exception))
            with self.assertRaises(release.ReleaseError):
                release.release(DIST, scratch / "release", "12.0.0.15", epoch=EPOCH, say=lambda _: None)

    def test_ice_rules_hold_but_the_same_version_upgrade(self):
        for arch in release.ARCHES:
            with self.subTest(arch=arch):
                t = self.package(arch)
                found = package_checks.check(t, self.tables[arch, "summary"])
                self.assertEqual(found, [SAME_VERSION_UPGRADE], "\n".join(map(str, found)))

    def test_the_ice_rules_catch_the_faults_they_are_for(self):
        """Each row: a fault put into the x64 package's tables, and the rule that must report it."""
        def registry_value(value):
            return lambda t: t["Registry"].append(("reg", HKLM, RUN_KEY, "x", value, "SessionStart"))

        def sequence(action, number):
            return lambda t: t.__setitem__("InstallExecuteSequence", [
                (a, c, number if a == action else n) for a, c, n in t["InstallExecuteSequence"]])

        def renamed(table, column, name):
            return lambda t: t.__setitem__("_Columns", [
                (tb, n, name if (tb, c) == (table, column) else c, kind) for tb, n, c, kind in t["_Columns"]])

        faults = [
            ("ICE69", registry_value('"[#quorva.exe]"')),
            ("ICE68", lambda t: t["CustomAction"].append(("LeaveOut", 2099, "INSTALLLEVEL", "1", None))),
            ("ICE60", lambda t: t.__setitem__("File", [f[:5] + (None,) + f[6:] for f in t["File"]])),
            ("MsiFileHash", lambda t: t["MsiFileHash"].append(("quorva.exe", 0, 1, 2, 3, 4))),
            ("ICE63", sequence("RemoveExistingProducts", 1700)),
            ("ICE27", sequence("InstallFiles", 1550)),
            ("ICE61", lambda t: t["Upgrade"].append((X86_CODE, None, None, None, 0, None, "lowercase"))),
            ("ICE08", lambda t: t["Component"].append(("Copy",) + t["Component"][0][1:])),
            ("ICE21", lambda t: t["FeatureComponents"].pop()),
            ("ICE03", lambda t: t["FeatureComponents"].append(("NoSuchFeature", "Agent"))),
            ("ICE03", lambda t: t["Property"].append(("ARPPRODUCTICON", "missing.ico"))),
            ("ICE24", lambda t: t.__setitem__("Property", [(k, v.lower() if k == "ProductCode" else v)
                                                           for k, v in t["Property"]])),
            ("ICE46", lambda t: t["Condition"].append(("SessionStart", 3, 'autostart = "2"'))),
            ("ICE57", lambda t: t["Registry"].append(("hkcu", 1, "Software\\VORLAN", "x", "1", "SessionStart"))),
            ("ICE87", lambda t: t["Property"].append(("REMOVE", "ALL"))),
            ("ICE80", lambda t: t.__setitem__("_summary", {7: "Intel;1033", 14: 200})),
            ("ICE18", lambda t: t["CreateFolder"].pop()),
            ("ICE03", lambda t: t.__setitem__("Registry", [r for r in t["Registry"] if r[0] != "RunQuorva"])),
            # The lock table's fourth column as the packages named it before: Windows
            # Installer finds no SDDLText column and applies no permissions.
            ("ICE06", renamed("MsiLockPermissionsEx", "SDDLText", "SDDL")),
            ("ICE03", renamed("MsiLockPermissionsEx", "SDDLText", "SDDL")),
            ("ICE06", renamed("Upgrade", "ActionProperty", "Property")),
            ("ICE52", lambda t: t["AppSearch"].append(("productValues", "ProductValues64"))),
            ("ICE03", lambda t: t["AppSearch"].append(("ELSEWHERE", "NoSuchLocator"))),
        ]
        base = self.package("x64")
        for rule, fault in faults:
            with self.subTest(rule=rule):
                t = {name: list(rows) for name, rows in base.items() if isinstance(name, str)}
                fault(t)
                summary = t.pop("_summary", self.tables["x64", "summary"])
                rules = {f[0] for f in package_checks.check(t, summary) if f != SAME_VERSION_UPGRADE}
                self.assertIn(rule, rules)

    def test_remove_existing_products_runs_inside_the_installation(self):
        for arch in release.ARCHES:
            with self.subTest(arch=arch):
                steps = [s[0] for s in sorted(self.package(arch)["InstallExecuteSequence"], key=lambda s: s[2])]
                self.assertEqual(steps[steps.index("InstallInitialize") + 1], "RemoveExistingProducts")

    def test_one_architecture_per_machine(self):
        # The x86 package refuses 64-bit Windows unless told the product is 32-bit
        # there, and a machine with the x64 agent; the x64 package refuses a machine
        # whose product's values are in the 32-bit view only, and otherwise removes
        # the x86 agent. A removal always runs.
        x86, x64 = self.package("x86"), self.package("x64")
        x86_conditions, x64_conditions = dict(x86["LaunchCondition"]), dict(x64["LaunchCondition"])
        self.assertEqual(set(x86_conditions), {
            "NOT WIX_DOWNGRADE_DETECTED",
            'Installed OR NOT VersionNT64 OR PRODUCT32BIT = "1" OR WIX_UPGRADE_DETECTED',
            "Installed OR NOT QUORVAX64FOUND"})
        self.assertEqual(x86_conditions['Installed OR NOT VersionNT64 OR PRODUCT32BIT = "1" OR WIX_UPGRADE_DETECTED'],
                         "This is the 32-bit quorva session agent. On 64-bit Windows install the x64 package, or set "
                         "PRODUCT32BIT=1 when the product itself is installed as 32-bit on this machine.")
        self.assertEqual(x86_conditions["Installed OR NOT QUORVAX64FOUND"],
                         "The 64-bit quorva session agent (quorva-12.0.0.14-x64.msi) is installed on this machine, and "
                         "two agents would start in every session. Keep it; or, where the product itself is 32-bit, "
                         "remove it first and then install this package with PRODUCT32BIT=1. Nothing was changed.")
        self.assertEqual(set(x64_conditions), {"NOT WIX_DOWNGRADE_DETECTED",
                                               "Installed OR PRODUCTVALUES64 OR NOT PRODUCTVALUES32"})
        self.assertEqual(x64_conditions["Installed OR PRODUCTVALUES64 OR NOT PRODUCTVALUES32"],
                         "The VORLAN product is installed as 32-bit on this machine: its values are in the 32-bit "
                         "registry view only (HKLM\\SOFTWARE\\Wow6432Node\\VORLAN), where the 64-bit agent does not "
                         "look. Install the x86 package, quorva-12.0.0.14-x86.msi, with PRODUCT32BIT=1 instead. "
                         "Nothing was changed.")
        for t in (x86, x64):
            self.assertNotIn("[", "".join(t for _, t in t["LaunchCondition"]), "a message is formatted text")
        # The search: REGID in each view; the 64-bit bit (0x10) names the 64-bit view.
        self.assertEqual(sorted(x64["AppSearch"])[1:], [("PRODUCTVALUES32", "ProductValues32"),
                                                        ("PRODUCTVALUES64", "ProductValues64")])
        self.assertEqual(sorted(x64["RegLocator"])[1:], [("ProductValues32", HKLM, r"SOFTWARE\VORLAN", "REGID", 0x2),
                                                         ("ProductValues64", HKLM, r"SOFTWARE\VORLAN", "REGID", 0x12)])
        self.assertEqual(x86["AppSearch"], [("PRODUCTFOLDER", "ProductFolder")], "the x86 package reads one view")
        for t in (x86, x64):
            steps = [a for a, _, _ in sorted(t["InstallExecuteSequence"], key=lambda r: r[2])]
            self.assertLess(steps.index("AppSearch"), steps.index("LaunchConditions"))
            ui = [a for a, _, _ in sorted(t["InstallUISequence"], key=lambda r: r[2])]
            self.assertLess(ui.index("AppSearch"), ui.index("LaunchConditions"))
        self.assertIn("PRODUCT32BIT", dict(x86["Property"])["SecureCustomProperties"].split(";"))
        self.assertIn("QUORVAX64FOUND", dict(x86["Property"])["SecureCustomProperties"].split(";"))
        self.assertEqual([r for r in x64["Upgrade"] if r[0] == X86_CODE],
                         [(X86_CODE, "0.0.0", None, None, UPGRADE_MIGRATE_FEATURES | UPGRADE_MIN_INCLUSIVE, None,
                           "QUORVAX86FOUND")])
        self.assertEqual([r for r in x86["Upgrade"] if r[0] == X64_CODE],
                         [(X64_CODE, "0.0.0", None, None, UPGRADE_ONLY_DETECT | UPGRADE_MIN_INCLUSIVE, None,
                           "QUORVAX64FOUND")], "the x86 package finds the x64 agent and leaves it alone")

    def test_add_remove_programs_and_the_install_log(self):
        for arch in release.ARCHES:
            with self.subTest(arch=arch):
                t = self.package(arch)
                properties = dict(t["Property"])
                expected = {"ARPNOMODIFY": "1", "ARPPRODUCTICON": "quorva.ico", "ARPCONTACT": "VORLAN product support",
                            "ARPCOMMENTS": "Runs the logon, logoff and shutdown scripts of the VORLAN product in "
                                           "every user session.", "MsiLogging": "voicewarmup"}
                self.assertEqual({k: properties.get(k) for k in expected}, expected)
                self.assertEqual(t["Icon"], [("quorva.ico", "[stream]")])
                # No restart the administrator did not ask for, whatever the command line.
                self.assertEqual(properties.get("REBOOT"), "ReallySuppress")
                self.assertFalse({"ForceReboot", "ScheduleReboot"} & {s[0] for s in t["InstallExecuteSequence"]})
        exe = release.exe_version((DIST / "x64" / "quorva.exe").read_bytes())
        self.assertEqual((exe["CompanyName"], exe["LegalCopyright"]), ("VORLAN", "Copyright (C) 2026 VORLAN"))

    def test_the_data_folders_let_users_create_files_that_only_their_creator_may_change(self):
        for arch in release.ARCHES:
            with self.subTest(arch=arch):
                t = self.package(arch)
                folders = {r[0]: (r[1], r[2]) for r in t["Directory"]}
                self.assertEqual((folders["DATAROOT"], folders["HANDOFFFOLDER"], folders["LOGFOLDER"]),
                                 (("CommonAppDataFolder", "Vorlan"), ("DATAROOT", "QVRT"), ("DATAROOT", "ApplicationLog")))
                # The reports folder in the product's install folder: its InstallationPath, in the view this
                # package's agent reads, else the package's own folder (".": the parent itself).
                self.assertEqual((folders["PRODUCTFOLDER"], folders["REPORTSFOLDER"]),
                                 (("INSTALLFOLDER", "."), ("PRODUCTFOLDER", "QVRTPostLogs")))
                self.assertIn(("PRODUCTFOLDER", "ProductFolder"), t["AppSearch"])
                self.assertIn(("ProductFolder", HKLM, r"SOFTWARE\VORLAN", "InstallationPath",
                               0x12 if arch == "x64" else 0x2), t["RegLocator"])
                self.assertEqual(sorted(d for d, _ in t["CreateFolder"]),
                                 ["DATAROOT", "HANDOFFFOLDER", "LOGFOLDER", "REPORTSFOLDER"])
                features = {c: f for f, c in t["FeatureComponents"]}
                self.assertEqual({features[c] for d, c in t["CreateFolder"]}, {"DataFolders"})
                self.assertEqual([c[2] for c in t["_Columns"] if c[0] == "MsiLockPermissionsEx"],
                                 ["MsiLockPermissionsEx", "LockObject", "Table", "SDDLText", "Condition"])
                locks = {r[1]: r for r in t["MsiLockPermissionsEx"]}
                self.assertEqual(sorted(locks), ["DATAROOT", "HANDOFFFOLDER", "LOGFOLDER", "REPORTSFOLDER"])
                self.assertEqual(locks["REPORTSFOLDER"][3], locks["HANDOFFFOLDER"][3], "the reports folder's rights")
                for folder, (_, _, table, sddl, condition) in locks.items():
                    self.assertEqual((table, condition), ("CreateFolder", None))
                    flags, aces = package_checks.parse_sddl(sddl)
                    self.assertIn("P", flags, "%s inherits the wider rights of the application-data folder" % folder)
                    by_sid = {sid: (kind, ace_flags, mask) for kind, ace_flags, mask, sid in aces}
                    self.assertEqual(len(by_sid), len(aces), "one ACE per SID")
                    self.assertTrue(all(kind == "A" for kind, _, _ in by_sid.values()))
                    for sid in ("SY", "BA"):
                        self.assertEqual(by_sid[sid], ("A", {"OI", "CI"}, package_checks.RIGHTS["FA"]), folder)
                    self.assertFalse({"WD", "AU", "IU", "AN"} & set(by_sid), "rights for everyone")
                    _, user_flags, user_mask = by_sid["BU"]
                    # Users: nothing that changes or deletes, on the folder or on anything in it.
                    self.assertEqual(user_mask & package_checks.CHANGE_RIGHTS & ~package_checks.FILE_ADD_FILE, 0, folder)
                    if folder == "DATAROOT":
                        self.assertEqual(user_mask & package_checks.FILE_ADD_FILE, 0)
                        self.assertNotIn("CO", by_sid)
                        continue
                    self.assertEqual(user_flags, set(), "%s: the users' rights must not reach the files" % folder)
                    self.assertTrue(user_mask & package_checks.FILE_ADD_FILE, "%s: users cannot create files" % folder)
                    _, owner_flags, owner_mask = by_sid["CO"]
                    self.assertEqual(owner_flags, {"OI", "CI", "IO"})
                    modify = package_checks.FILE_WRITE_DATA | package_checks.FILE_APPEND_DATA | package_checks.DELETE
                    self.assertEqual(owner_mask & modify, modify, "%s: the creator cannot change its file" % folder)
                    self.assertFalse(owner_mask & (package_checks.WRITE_DAC | package_checks.WRITE_OWNER))
        for bad in ("O:BAD:(A;;FA;;;SY)", "D:(A;OICI;XX;;;SY)", "D:(A;OICI;FA;;;)", "D:P(A;QQ;FA;;;SY)", "D:P"):
            with self.assertRaises(ValueError, msg=bad):
                package_checks.parse_sddl(bad)

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
            product = dict(release.read_tables(scratch / "release0" / release.msi_name("x64"))["Property"])["ProductCode"]
        self.assertEqual(summary[release.PID_CREATE_DTM], release.filetime(EPOCH))
        self.assertEqual(summary[release.PID_LASTSAVE_DTM], release.filetime(EPOCH))
        self.assertEqual(summary[release.PID_REVNUMBER], "{%s}" % release.package_code(product))


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
        # Signed without a timestamp: a warning that says what follows, and when.
        self.assertIn("no timestamp", said[-2])
        self.assertTrue(said[-1].startswith("WARNING: the signatures carry no timestamp."), said[-1])
        end = subprocess.run(["openssl", "x509", "-noout", "-enddate", "-in", str(cert)], capture_output=True,
                             text=True, check=True).stdout.strip().partition("=")[2]
        self.assertIn("when it expires (%s), Windows reports every file of this release as not validly signed"
                      % end, said[-1])
        self.assertIn("QUORVA_SIGN_TIMESTAMP", said[-1])
        self.assertEqual(len(files), 4)
        sums = (self.work / "signed" / "SHA256SUMS").read_text().splitlines()
        for path, line in zip(files, sums):
            with self.subTest(file=path.name):
                ok, output = self.verify(path, cert)
                self.assertTrue(ok, output)
                self.assertIn("sha256", output.lower())
                self.assertFalse(self.verify(path, other)[0], "verified against a certificate that did not sign it")
                if path.suffix == ".msi":
                    # The extended signature, over the streams' metadata too.
                    names = {e[0] for e in release.CompoundFile(path.read_bytes()).entries.values()}
                    self.assertLessEqual({"\x05DigitalSignature", "\x05MsiDigitalSignatureEx"}, names)
                    self.assertNotIn("MsiDigitalSignatureEx stream does not exist", output)
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
