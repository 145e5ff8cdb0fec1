#!/usr/bin/env python3
"""The agent's package installed, used, upgraded and removed by Wine's msiexec.

    msi_wine.py --exe dist/x64/quorva.exe --tools <x64 build>/tools --work <build>/e2e-msi

On a machine of its own (harness.Machine on its own work folder, reset to the
state right after the prefix was made):
 1. msiexec /i installs the package built from --exe, quietly;
 2. quorva.exe is in the VORLAN folder of Program Files and the two start
    values are under HKLM\\...\\Run; nothing is under the product's key;
 3. a logon (Wine's wineboot runs the Run values, as the shell does at a
    logon) starts the ordinary copy, which hands the logon script to the
    stand-in service and writes the Logon report, and the resident copy,
    which stays;
 4. the resident copy gets the close request an installer's Restart Manager
    sends before it replaces a file in use, and ends;
 5. the package of a higher version replaces the installed one; the older one
    is then refused;
 6. msiexec /x removes it: no quorva.exe, no start value.
"""
import argparse
import shutil
import subprocess
import sys
import tempfile
import time
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "installer"))
import release  # noqa: E402
from harness import Failure, Machine, check  # noqa: E402
from scenarios import Records, check_report, deployer_runs, only_report  # noqa: E402

RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
PRODUCT_KEY = r"HKLM\SOFTWARE\VORLAN"
NEWER = "12.0.0.15"
ENDSESSION_CLOSEAPP = 0x1
ERROR_INSTALL_FAILURE = 1603
# Wine's loaders: a 64-bit program (and the 64-bit registry view) through the
# 64-bit one, whichever loader the "wine" script would pick.
LOADERS = {"x64": "/usr/lib/wine/wine64", "x86": "wine"}


class Installation:
    """One architecture's package on one machine."""

    def __init__(self, m, arch):
        self.m, self.arch = m, arch
        self.view = "/reg:64" if arch == "x64" else "/reg:32"
        self.folder = m.drive_c / "quorva-e2e"  # emptied by every reset
        self.packages = {}

    def build(self, epoch):
        for version in (release.VERSION, NEWER):
            msi = self.folder / release.msi_name(self.arch, version)
            release.build_msi(self.arch, self.m.exe, msi, epoch, version)
            self.packages[version] = "C:\\quorva-e2e\\" + msi.name

    def run(self, *args, timeout=120):
        """A Windows program through this architecture's loader: (exit code, output)."""
        env = self.m.env()
        loader = shutil.which(LOADERS[self.arch]) or LOADERS[self.arch]
        if self.arch == "x64":
            env["WINELOADER"] = loader
        with tempfile.TemporaryFile() as out:
            done = subprocess.run([loader, *args], env=env, stdout=out, stderr=subprocess.STDOUT,
                                  stdin=subprocess.DEVNULL, timeout=timeout)
            out.seek(0)
            return done.returncode, out.read().decode("utf-8", errors="replace")

    def msiexec(self, *args):
        started = time.monotonic()
        rc, output = self.run("msiexec", *args, "/qn")
        self.m.say("msiexec %s: exit code %d after %.1f s" % (" ".join(args), rc, time.monotonic() - started))
        # The Unix exit status keeps the low byte of the Windows one.
        return rc, output

    def values(self, key):
        """{name: data} of a registry key in this architecture's view, or None without the key."""
        rc, output = self.run("reg", "query", key, self.view)
        if rc != 0:
            return None
        values = {}
        for line in output.splitlines():
            parts = line.strip().split("    ")
            if len(parts) >= 3 and parts[1].startswith("REG_"):
                values[parts[0]] = "    ".join(parts[2:])
        return values

    def products(self):
        rc, output = self.run("reg", "query", UNINSTALL_KEY, self.view)
        return sorted(line.rsplit("\\", 1)[1] for line in output.splitlines() if line.rstrip().endswith("}"))

    @property
    def exe_win(self):
        folder = "Program Files" if self.arch == "x64" or not self.wow64 else "Program Files (x86)"
        return "C:\\%s\\VORLAN\\quorva.exe" % folder

    @property
    def wow64(self):
        return (self.m.drive_c / "windows" / "syswow64").is_dir()

    def expect_installed(self, version):
        exe = self.m.unix(self.exe_win)
        check(exe.is_file(), "%s is not there" % self.exe_win)
        check(exe.read_bytes() == self.m.exe.read_bytes(), "the installed quorva.exe is not the packaged one")
        run = self.values(RUN_KEY) or {}
        check(run.get("quorva") == '"%s"' % self.exe_win and run.get("quorva setup") == '"%s" setup' % self.exe_win,
              "start values %s" % run)
        check(self.products() == ["{%s}" % release.product_code(self.arch, version)],
              "installed products %s, expected %s only" % (self.products(), version))


def install_upgrade_remove(m, arch):
    r = Records(m)
    setup = Installation(m, arch)
    setup.build(epoch=1700000000)
    check(not m.install.exists(), "the machine has an install folder before the package ran")

    # 1, 2: the package alone.
    rc, output = setup.msiexec("/i", setup.packages[release.VERSION])
    check(rc == 0, "installing failed (%d): %s" % (rc, output[-1500:]))
    setup.expect_installed(release.VERSION)
    check(m.files_under(m.install) == ["quorva.exe"], "the package installed more: %s" % m.files_under(m.install))
    check(setup.values(PRODUCT_KEY) is None, "the package wrote under the product's key: %s" % setup.values(PRODUCT_KEY))

    # 3: the rest of the product, as its own installation lays it out (its
    # registry values in the view of this architecture), then a logon.
    m.layout(registry={name: None for name in ("InstallationPath", "REGID", "TYPE", "MEMBERID", "SITEID")})
    install = setup.exe_win[:-len("quorva.exe")]
    for name, value in (("InstallationPath", install), ("REGID", "R-20417"), ("TYPE", "WKS"),
                        ("MEMBERID", "M-3310"), ("SITEID", "S-0042")):
        rc, output = setup.run("reg", "add", PRODUCT_KEY, "/v", name, "/d", value, "/f", setup.view)
        check(rc == 0, "reg add %s failed: %s" % (name, output))
    m.start_service()
    rc, output = setup.run("wineboot.exe")  # without --init: the logon's Run values
    check(rc == 0, "the logon failed: %s" % output[-1500:])
    m.wait_for(lambda: m.reports(), 60, "no report after the logon")
    m.wait_for(lambda: any(e.fields() == r.L20 for e in m.log_entries()), 30, "the ordinary copy did not finish")
    check_report(only_report(m), m.user, "Logon", "1", "")
    entries = [e.fields() for e in m.log_entries()]
    check(r.L12 in entries and r.L10 in entries, "the log lacks the ordinary or the resident copy: %s" % entries)
    check([args for _, args in deployer_runs(m)] == ["Logon<<>>" + m.user], "deployer runs %s" % deployer_runs(m))
    m.wait_for(lambda: len(m.processes("quorva.exe")) == 1, 30, "not exactly the resident copy left running")
    resident = m.processes("quorva.exe")[0]["pid"]

    # 4: the close request, answered yes; the copy ends with the session end.
    window = m.agent_window(resident)
    answer = m.answer_of(m.query_end_session(window["hwnd"], ENDSESSION_CLOSEAPP), 60)
    check(answer == 1, "the close request was answered %d" % answer)
    m.probe("endsession", window["hwnd"], 1, ENDSESSION_CLOSEAPP)
    m.wait_for(lambda: m.processes("quorva.exe") == [], 20, "the resident copy did not end after the close request")

    # 5: a higher version replaces it; the older one is refused afterwards.
    rc, output = setup.msiexec("/i", setup.packages[NEWER])
    check(rc == 0, "the upgrade failed (%d): %s" % (rc, output[-1500:]))
    setup.expect_installed(NEWER)
    rc, _ = setup.msiexec("/i", setup.packages[release.VERSION])
    check(rc == ERROR_INSTALL_FAILURE & 0xFF, "installing the older package gave %d, expected failure 1603" % rc)
    setup.expect_installed(NEWER)

    # 6: removed; what the product itself laid out stays.
    rc, output = setup.msiexec("/x", setup.packages[NEWER])
    check(rc == 0, "removing failed (%d): %s" % (rc, output[-1500:]))
    check(not m.unix(setup.exe_win).exists(), "quorva.exe is still there")
    run = setup.values(RUN_KEY) or {}
    check(not {"quorva", "quorva setup"} & set(run), "start values left: %s" % run)
    check(setup.products() == [], "products left: %s" % setup.products())
    check((m.install / "QVRT" / "quorvarun.exe").is_file() and m.reports(), "the product's own files went too")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--tools", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    if not shutil.which("wixl"):
        print("SKIPPED: wixl is not installed (make release installs it)")
        return 0
    arch = "x64" if Path(args.exe).read_bytes()[:0x400].find(b"PE\0\0d\x86") >= 0 else "x86"
    started = time.monotonic()
    try:
        with Machine(args.work, args.exe, args.tools) as m:
            try:
                install_upgrade_remove(m, arch)
            except Failure:
                print("  log entries:\n    " + "\n    ".join(repr(e) for e in m.log_entries()))
                print("  journal:\n    " + "\n    ".join(m.journal()))
                raise
    except Failure as failure:
        print("FAILED after %.1f s:\n%s" % (time.monotonic() - started, failure))
        return 1
    except Exception:
        traceback.print_exc()
        print("FAILED (harness error)")
        return 1
    print("PASSED %s package installed, used, upgraded and removed in %.1f s" % (arch, time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
