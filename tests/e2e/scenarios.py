#!/usr/bin/env python3
"""End-to-end scenarios of the real quorva.exe under Wine.

    scenarios.py NAME --machine x64|x86on64|x86 --dist <dist> --build <build>
    scenarios.py --list              the table: every scenario and where it does not run
    scenarios.py --ctest MACHINE     the scenarios that run on MACHINE (what ctest registers)

Each scenario starts from a freshly reset simulated machine (harness.Machine),
runs the agent against the stand-in service and deployer, and checks what it
left: the day's application log entry by entry, the event reports, the
hand-off file and the journals of the stand-ins. Every wait is bounded, so a
stuck agent fails its scenario instead of holding the suite.

The scenario table at the end (SCENARIO_TABLE) is the one list of scenarios:
ctest registers each row once per machine (e2e_<machine>_<scenario>), except on
the machines a row excludes, with the reason. A new scenario is one function
and one row.
"""

import argparse
import contextlib
import re
import shutil
import subprocess
import sys
import time
import traceback
import xml.etree.ElementTree as ET
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import pe_reader  # noqa: E402
import machines  # noqa: E402
from harness import (AGENT_OVERRIDES, ANY, DEPLOYER_WIN, Failure, Machine, Repeat, Rx, Skipped,  # noqa: E402
                     assert_sequence, check, field_matches, journal_events, journal_index, parse_log)


STARS = "*" * 22
SHUTDOWN_EXE = r"C:\windows\system32\shutdown.exe"
DEPLOYER_FILE = "quorvarun.exe"
WS_EX_TOOLWINDOW, WS_EX_APPWINDOW = 0x80, 0x40000


class Records:
    """The agent's log records for one machine's user and paths, as they stand in the file."""

    def __init__(self, m, shown=None):
        # `shown`: the user name as the ANSI log shows it, when the code page cannot show it as it is.
        u = shown or m.user
        ini = r"C:\ProgramData\Vorlan\QVRT\quorvaProcDetails_%s.ini" % u
        self.user, self.ini = u, ini
        start = "OnInitDialog"
        self.L1 = (start, "INFO", "", "Creating file", ini)
        self.L3 = (start, "INFO", "FAIL", "A running interface of quorva exe already exists for this session", "Exitting")
        self.L4 = (start, "INFO", "Application started", STARS, STARS)
        self.L5 = (start, "INFO", "Success", "Loggedon User", u)
        self.L6 = (start, "INFO", "Success", "quorvaProcDetails.ini", ini)
        self.L8 = (start, "INFO", "Success", "Script to be executed found at location ", DEPLOYER_WIN)
        self.L9 = (start, "INFO", "SUCCESS", "Service not running. So exiting. Service Name: ", "quorvahost.exe")
        self.L10 = (start, "INFO", "Success",
                    "The Logon script will not be executed as this application is invoked by service in account:", u)
        self.L11 = (start, "INFO", "Exiting", "", "No Logoff or Shutdown Template Assigned")
        self.L12 = (start, "INFO", "LOGON RECIEVED", u, "Logon<<>>" + u)
        self.L13 = (start, "INFO", "Writing into ini File", "Process Name", DEPLOYER_WIN)
        self.L14 = (start, "INFO", "Writing into ini File", "Process Arguments", "Logon<<>>" + u)
        self.L15 = (start, "INFO", "Reading from ini File", "Proc ID Not found", "Waiting")
        self.L17 = (start, "INFO", "Reading from INI for Logon Script", "Proc ID Not Found", "Waiting")
        self.L19 = (start, "INFO", "Proc ID successfully fetched", "Deleted ini file", ini)
        self.L20 = (start, "INFO", "Creating INI file again for Logoff use", "", ini)

        self.W1 = ("WindowProc", "INFO", "SHUTDOWN RECIEVED", "", "")
        self.W2 = ("WindowProc", "SHUTDOWN/RESTART RECIEVED FOR THE 1ST TIME", "Success", "", "")
        self.W4 = ("WindowProc", "LOGOFF RECIEVED  FOR THE 1ST TIME", "Success", "", "")
        self.Q2 = ("OnQueryEndSession", "INFO", "SUCCESS", "Service not running. So exiting. Service Name: ",
                   "quorvahost.exe")
        self.Q4 = ("OnQueryEndSession", "INFO", "SUCCESS",
                   "Calling Shutdown Block Create in case of Windows Vista,Windows 7,Windows Server 2008", "")
        # Which of the two follows depends on what Wine's ShutdownBlockReasonCreate answers.
        self.Q5_or_Q6 = ("OnQueryEndSession", "INFO", Rx("SUCCESS|FAIL"),
                         Rx("ShutdownBlockCreate (Not )?Found in User32.dll"),
                         Rx("The operating system (is Above or equal to Vista|id Below Vista)"))
        self.Q7 = ("OnEndQuerySession", "INFO", "SHUTDOWN/LOGOFF/RESTART RECIEVED", "<**********************>",
                   "<***************************>")
        self.Q9 = ("OnEndQuerySession", "INFO", "SUCCESS", "Starting Thread to Handle WM_QUERYSHUTDOWN", "TRUE")
        self.Q10 = ("OnEndQuerySession", "INFO", "SUCCESS", "Starting Thread to Handle WM_QUERYSHUTDOWN", Rx(r"\d+"))
        self.R1 = ("functionToForgetShutdown", "INFO", "Success",
                   "Calling function to Check whether a Restart event was Recieved", "")
        self.A1 = ("functionToForgetShutdown", "INFO", "Aborting Shutdown", SHUTDOWN_EXE, u)
        self.A3 = ("Abort System Shutdown", "INFO", "Success", u, "")
        self.H6 = ("functionToForgetShutdown", "INFO", "Reading from INI for Logoff/Shutdown Script",
                   "Proc ID Not Found", "Waiting")
        self.H8 = ("functionToForgetShutdown", "INFO", "Proc ID successfully read from INI",
                   "Deleted INI from location :", ini)
        self.H9 = ("functionToForgetShutdown", "INFO", "Created INI for future use at location :", ini, "")
        self.H10 = ("functionToForgetShutdown", "INFO", "ExecuteProcess at Logoff/Shutdown Started process",
                    DEPLOYER_FILE, "")
        self.L1_wait = ("functionToForgetShutdown", "INFO", "Waiting", " for Application ::", DEPLOYER_FILE)
        self.C1 = ("While", "M_BFLAGFORFIRSTTIMELOGOFF ", "Success", "", "")
        self.C2 = ("While", " M_UICOUNTFORONCE >1  ", "Success", "", "")
        self.C4 = ("While", "M_BFLAGFORFIRSTSHUTDOWN ", "Success", "", "")
        self.C5 = ("While", "M_UICOUNTFORONCE >1", "Success", "", "")
        self.X1 = ("FunctionToForgetShutDown", "INFO", "Script ended", "Exiting", "")

    @staticmethod
    def L18(proc_id):
        return ("OnInitDialog", "INFO", "Reading from ini File", "Proc ID found", proc_id)

    @staticmethod
    def web_post(report_text):
        return ("WebPostEventData", "INFO", "web Post", report_text, " ")

    @staticmethod
    def attempt(n):
        return ("Function for checking restart", "INFO", "Reading Eventlog... Attempt ", str(n), "")

    def hand_off(self, args, proc_id, report_text):
        """H1 to H10 of a session-end hand-off that the service answers with proc_id."""
        f = "functionToForgetShutdown"
        return [
            ("funcToFrgtShutdown", "INFO", "ExecuteProcess", DEPLOYER_WIN, args),
            (f, "INFO", "Writing into INI for Logoff/Shutdown Script", "Process Name", DEPLOYER_WIN),
            (f, "INFO", "Writing into INI for Logoff/Shutdown Script", "Process Arguments", args),
            (f, "INFO", "Reading from INI for Logoff/Shutdown Script", "Proc ID", Rx(r"\d*")),
            Repeat([self.H6], 0),
            (f, "INFO", "Reading from INI for Logoff/Shutdown Script", "Proc ID found", proc_id),
            self.web_post(report_text), self.H8, self.H9, self.H10,
        ]

    def script_wait(self, proc_id, first_kind):
        """The passes of the script wait while the script runs (at least one)."""
        checks = [self.C1, self.C2] if first_kind == "logoff" else [self.C4, self.C5]
        one_pass = [("RunningInterface", "INFO", "File Name Matched ", DEPLOYER_WIN, ""),
                    ("RunningInterface", "INFO", "PID Matched ", "A running instance of process found", proc_id),
                    self.L1_wait, *checks]
        return Repeat(one_pass, 1)

    @staticmethod
    def X2(text):
        return ("FunctionToForgetShutDown", "INFO", "exe stopped", text, "")


# ----- reports ---------------------------------------------------------------------------------
REPORT_NAME = re.compile(r"wpdcmagntevntstiu_N_\d{14}\.xml")


def expected_report_lines(user, event, status, faildesc, regid="R-20417", regtype="WKS"):
    t = "\t" * 6
    return ["<wpdcmagntevntstiu>", t + "<regid>%s</regid>" % regid, t + "<regtype>%s</regtype>" % regtype,
            t + "<user>%s</user>" % user, t + "<evnt>%s</evnt>" % event,
            Rx(re.escape(t + "<scandt>") + r"\d\d/\d\d/\d{4} \d\d:\d\d:\d\d" + re.escape("</scandt>")),
            t + "<exever>12.0.0.14</exever>", t + "<status>%s</status>" % status,
            t + "<faildesc>%s</faildesc>" % faildesc, t + "</wpdcmagntevntstiu>"]


def check_report(path, user, event, status, faildesc):
    """The report file's ten lines, exactly; returns its text with LF line ends."""
    check(REPORT_NAME.fullmatch(path.name), "report file name %s" % path.name)
    data = path.read_bytes()
    check(not data.startswith(b"\xef\xbb\xbf"), "report starts with a byte-order mark")
    check(not data.endswith(b"\n"), "report ends with a line end")
    check(data.count(b"\r\n") == 9 and data.count(b"\n") == 9, "report must have nine CR LF line ends: %r" % data)
    lines = data.decode("cp1252").split("\r\n")
    expected = expected_report_lines(user, event, status, faildesc)
    for n, (want, got) in enumerate(zip(expected, lines)):
        ok = want.matches(got) if isinstance(want, Rx) else want == got
        check(ok, "report %s line %d: expected %r, found %r" % (path.name, n + 1, want, got))
    return "\n".join(lines)


def only_report(m):
    reports = m.reports()
    check(len(reports) == 1, "expected one report, found %s" % [p.name for p in reports])
    return reports[0]


def deployer_runs(m):
    """[(pid, args)] of every deployer start in the journal."""
    runs = []
    for event in journal_events(m.journal(), "quorvarun.exe"):
        found = re.fullmatch(r"start pid=(\d+) args=(.*)", event)
        if found:
            runs.append((found.group(1), found.group(2)))
    return runs


def recorded_commands(m):
    """What the agent issued through the recorders, in order: ["shutdown.exe /a", "wineboot.exe --kill", ...]."""
    out = []
    for line in m.journal():
        parts = line.split(" ", 2)
        if len(parts) == 3 and parts[1] in ("shutdown.exe", "wineboot.exe"):
            out.append(parts[1] + " " + parts[2])
    return out


def print_log(m):
    print("  log entries:")
    for e in m.log_entries():
        print("    %r" % e)


def service_stand_in(m):
    """The stand-in service starts only this installation's deployer (any letter case), refuses any other
    program with Err_Desc, and ends the process a task-kill request names, then deletes the file."""
    m.layout(templates={"Logon": 1, "Logoff": 30, "Shutdown": 1})
    m.start_service()
    folder = m.data / "QVRT"

    def request(user, name, args):
        path = folder / ("quorvaProcDetails_%s.ini" % user)
        path.write_bytes(("[Process Details]\r\nProcess Name=%s\r\nProcess Arguments=%s\r\n" % (name, args))
                         .encode("cp1252"))
        return path

    def answer(path):
        found = {}
        m.wait_for(lambda: found.update(dict(
            line.split("=", 1) for line in path.read_text("cp1252").splitlines() if "=" in line)) or
            "Proc ID" in found or "Err_Desc" in found, 10, "no answer in %s" % path.name)
        return found

    refused = answer(request("mallory", r"C:\windows\system32\cmd.exe", "/c echo owned"))
    check("Err_Desc" in refused and "Proc ID" not in refused, "another program was not refused: %r" % refused)
    accepted = answer(request("jsmith", DEPLOYER_WIN.upper(), "Logoff<<>>jsmith"))
    check(accepted.get("Proc ID", "").isdigit(), "the deployer named in capitals was not started: %r" % accepted)
    pid = accepted["Proc ID"]
    m.wait_for(lambda: ("start pid=%s args=Logoff<<>>jsmith" % pid) in journal_events(m.journal(), "quorvarun.exe"),
               10, "the deployer did not start")
    check(m.processes("cmd.exe") == [], "cmd.exe runs")

    # Task-kill: the key first appears empty (the agent empties the section before writing it).
    kill = folder / "quorvaShutTaskKill.ini"
    kill.write_bytes(b"[Task_To_Kill]\r\nProc_ID=%s\r\n" % pid.encode())
    m.wait_for(lambda: not kill.exists(), 10, "the task-kill file was not deleted")
    m.wait_for(lambda: all(p["pid"] != int(pid) for p in m.processes("quorvarun.exe")), 10,
               "the deployer %s still runs" % pid)
    check("task-kill Proc_ID=%s ended" % pid in journal_events(m.journal(), "quorvahost.exe"),
          "the service did not report ending %s" % pid)


# ----- issue: hidden agent window and resources ------------------------------------------------------
def resources(m):
    """The executable carries template 102, icon 128, the manifest and the version, as built."""
    pe = pe_reader.PeFile(Path(m.exe).read_bytes())
    if m.kind.arch == "x64":
        check(pe.machine == 0x8664 and pe.is64, "not a PE32+ x64 image")
    else:
        check(pe.machine == 0x14C and not pe.is64, "not a PE32 x86 image")
    check(pe.subsystem == 2, "subsystem %d, expected GUI (2)" % pe.subsystem)
    res = pe.resources()
    check((pe_reader.RT_DIALOG, 102) in res, "no dialog template 102")
    dialog = pe_reader.parse_dialog_ex(res[(pe_reader.RT_DIALOG, 102)][0][1])
    expected = dict(style=0x80C000C8, ex_style=0x00040000, items=0, x=0, y=0, cx=9, cy=9, menu="", window_class="",
                    title="quorva", point=8, weight=0, italic=0, charset=1, face="MS Shell Dlg")
    for key, value in expected.items():
        check(dialog.get(key) == value, "template 102 %s: expected %r, found %r" % (key, value, dialog.get(key)))

    check((pe_reader.RT_GROUP_ICON, 128) in res, "no icon group 128")
    group = pe_reader.parse_group_icon(res[(pe_reader.RT_GROUP_ICON, 128)][0][1])
    check(group["kind"] == 1 and len(group["images"]) == 1, "icon 128 must hold one image: %r" % group)
    image = group["images"][0]
    icon = res.get((pe_reader.RT_ICON, image["id"]))
    check(icon and len(icon[0][1]) == image["size"], "icon image %d missing or of the wrong size" % image["id"])

    manifests = [v for (kind, _), v in res.items() if kind == pe_reader.RT_MANIFEST]
    check(len(manifests) == 1, "expected one manifest")
    root = ET.fromstring(manifests[0][0][1].decode("utf-8"))
    levels = [e.get("level") for e in root.iter() if e.tag.endswith("requestedExecutionLevel")]
    check(levels == ["asInvoker"], "execution level %r" % levels)
    dpi = [e.text.strip().lower() for e in root.iter() if e.tag.endswith("}dpiAware")]
    check(dpi == ["true"], "dpiAware %r" % dpi)
    deps = [(e.get("name"), e.get("version")) for e in root.iter()
            if e.tag.endswith("assemblyIdentity") and e.get("name") == "Microsoft.Windows.Common-Controls"]
    check(deps == [("Microsoft.Windows.Common-Controls", "6.0.0.0")], "common controls dependency %r" % deps)
    supported = {e.get("Id").lower() for e in root.iter() if e.tag.endswith("supportedOS")}
    for vista_to_11 in ("{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"):
        check(vista_to_11 in supported, "supportedOS %s missing" % vista_to_11)

    versions = [v for (kind, _), v in res.items() if kind == pe_reader.RT_VERSION]
    check(len(versions) == 1, "expected one version resource")
    version = pe_reader.parse_version(versions[0][0][1])
    check(version["file_version"] == "12.0.0.14" and version["product_version"] == "12.0.0.14",
          "fixed versions %r" % version)
    s = version["strings"]
    for key, value in (("FileVersion", "12.0.0.14"), ("ProductVersion", "12.0.0.14"), ("ProductName", "quorva"),
                       ("OriginalFilename", "quorva.exe"),
                       ("CompanyName", "VORLAN"), ("LegalCopyright", "Copyright (C) 2026 VORLAN")):
        check(s.get(key) == value, "version string %s: %r" % (key, s.get(key)))
    check(s.get("FileDescription"), "no FileDescription")
    print("  template 102, icon 128 (%dx%d), manifest and version 12.0.0.14 present" % (
        image["width"], image["height"]))


def recorders_in_place(m):
    """The test machine records session ends instead of performing them: with the override, ExitWindowsEx
    runs the wineboot recorder (--kill, plus --shutdown unless EWX_REBOOT) and shutdown.exe is the recorder."""
    for n, flags in enumerate((4, 6, 13)):
        values = m.keyvalues(m.wine(m.tools / "quorvaprobe.exe", "exitwindows", flags,
                                    overrides=AGENT_OVERRIDES)[1].decode().splitlines())
        check(values.get("result") == "1", "ExitWindowsEx(%d) failed: %r" % (flags, values))
        # ExitWindowsEx starts wineboot and returns without waiting for it.
        m.wait_for(lambda: len(recorded_commands(m)) > n, 10, "ExitWindowsEx(%d) recorded nothing" % flags)
    m.wine(SHUTDOWN_EXE, "-s", "-f", "-t", "00", overrides=AGENT_OVERRIDES)
    # Without the override the system's own program runs and nothing is recorded;
    # but Wine 8 starts the native file of syswow64 for a 32-bit program on
    # 64-bit Windows whatever the override says, so there "/a" is recorded too.
    m.wine(SHUTDOWN_EXE, "/a")
    expected = ["wineboot.exe --kill --shutdown", "wineboot.exe --kill", "wineboot.exe --kill --shutdown",
                "shutdown.exe -s -f -t 00"] + (["shutdown.exe /a"] if m.kind.agent_system == "syswow64" else [])
    m.wait_for(lambda: len(recorded_commands(m)) >= len(expected), 10,
               "the recorders wrote %s" % recorded_commands(m))
    time.sleep(0.5)  # a late line of the uncovered call shows up too
    check(recorded_commands(m) == expected, "recorded %s, expected %s" % (recorded_commands(m), expected))
    check(m.probe("list", "quorvaprobe.exe")[-1] == "count=1", "the machine did not stay up")


def window_hidden_and_close(m):
    """The resident window is never visible, a tool window without WS_EX_APPWINDOW, 0 by 0, with
    both icons set; WM_CLOSE ends the process."""
    m.layout()
    m.start_service()
    process, pid = m.start_agent("setup")
    check(pid, "no quorva.exe process appeared")
    samples, resident = 0, False
    deadline = time.monotonic() + 30
    # Sample every window of the process from its first moments until start-up has finished.
    while not resident and time.monotonic() < deadline:
        windows = m.windows(pid)
        for w in windows:
            check(w["visible"] == 0, "a window of the agent was visible: %r" % w)
        samples += 1
        resident = bool(windows) and any(e.fields() == Records(m).L10 for e in m.log_entries())
        check(process.poll() is None, "the resident agent ended during start-up")
    check(resident, "the agent did not become resident (L10) within 30 s")
    window = m.agent_window(pid)
    for w in m.windows(pid):
        check(w["visible"] == 0, "a window of the agent was visible: %r" % w)
    print("  %d samples, window %r" % (samples, window))
    check(window["exstyle"] & WS_EX_TOOLWINDOW, "WS_EX_TOOLWINDOW missing: 0x%X" % window["exstyle"])
    check(not window["exstyle"] & WS_EX_APPWINDOW, "WS_EX_APPWINDOW still set: 0x%X" % window["exstyle"])
    check((window["width"], window["height"]) == (0, 0), "window is %dx%d" % (window["width"], window["height"]))
    if m.icons_readable_from_outside():
        check(window["bigicon"] == 1 and window["smallicon"] == 1, "icons not set: %r" % window)
    else:
        print("  icons: this platform does not answer WM_GETICON across processes (measured on a reference"
              " window); the icon check is left to the unit tests of the window")
    check(not window["style"] & 0x10000000, "WS_VISIBLE in the style")
    time.sleep(1.5)  # still resident, still hidden
    check(process.poll() is None, "the resident agent ended by itself")
    check(m.windows(pid) and all(w["visible"] == 0 for w in m.windows(pid)), "window shown while resident")
    m.probe("close", window["hwnd"])
    m.wait_exit(process, 15)
    check(m.processes("quorva.exe") == [], "quorva.exe still runs after WM_CLOSE")


# ----- issue: logon end to end ------------------------------------------------------------------------
def no_install_folder(m):
    """No registry values and no install folder: the agent ends at once and writes nothing."""
    m.layout(install=False)
    before = m.files_under(m.data)
    started = time.monotonic()
    m.run_agent(timeout=30)
    elapsed = time.monotonic() - started
    check(m.files_under(m.data) == before, "files appeared: %s" % (set(m.files_under(m.data)) - set(before)))
    check(not m.install.exists(), "the install folder appeared")
    check(m.journal() == [], "something was started: %s" % m.journal())
    print("  ended after %.1f s with nothing written" % elapsed)


def logon_complete(m):
    """A complete install with the service answering: L1, L4 to L20 in order, one exact report with
    status 1, the hand-off file empty afterwards, the deployer run with Logon<<>> and the user."""
    r = Records(m)
    m.layout()
    m.start_service()
    m.run_agent(timeout=60)
    runs = deployer_runs(m)
    check(len(runs) == 1, "expected one deployer run, found %s" % runs)
    pid, args = runs[0]
    check(args == "Logon<<>>" + m.user, "deployer arguments %r" % args)
    report = check_report(only_report(m), m.user, "Logon", "1", "")
    assert_sequence(m.log_entries(), [
        r.L1, r.L4, r.L5, r.L6, r.L8, r.L12, r.L13, r.L14,
        Repeat([r.L15, r.L17], 0), r.L18(pid), r.web_post(report), r.L19, r.L20])
    header = m.log_file().read_bytes().split(b"\r\n")[:4]
    check(header[0] == b"#Software: Quorva" and header[1] == b"#Version: 12.0.0.14", "header %r" % header)
    check(header[3] == b"#Fields:\tdtime\tmodule\ttype\tval1\tval2\tval3", "fields line %r" % header[3])
    check(m.handoff.is_file() and m.handoff.stat().st_size == 0, "the hand-off file is not there and empty")
    host = journal_events(m.journal(), "quorvahost.exe")
    check(any(e.startswith("request file=quorvaProcDetails_%s.ini name=%s args=Logon<<>>%s" % (
        m.user, DEPLOYER_WIN, m.user)) for e in host), "the service saw no logon request: %s" % host)


def logon_user_outside_code_page(m):
    """A user the ANSI code page cannot show (USER=王芳): the log file and the hand-off file carry the
    name in full, the log shows "??", the hand-off file is UTF-16 so the service and the deployer get
    Logon<<>>王芳, and the whole logon runs as for any user."""
    m.user = "\u738b\u82b3"
    r = Records(m, shown="??")
    m.layout()
    m.start_service()
    m.run_agent(timeout=60)
    check(m.log_file() is not None, "no log file named for the user: %s" % [f.name for f in m.log_files()])
    runs = deployer_runs(m)
    check(len(runs) == 1 and runs[0][1] == "Logon<<>>" + m.user, "deployer runs %s" % runs)
    pid = runs[0][0]
    report = check_report(only_report(m), "??", "Logon", "1", "")
    assert_sequence(m.log_entries(), [
        r.L1, r.L4, r.L5, r.L6, r.L8, r.L12, r.L13, r.L14,
        Repeat([r.L15, r.L17], 0), r.L18(pid), r.web_post(report), r.L19, r.L20])
    host = journal_events(m.journal(), "quorvahost.exe")
    check(any(e.startswith("request file=quorvaProcDetails_%s.ini name=%s args=Logon<<>>%s" % (
        m.user, DEPLOYER_WIN, m.user)) for e in host), "the service saw no intact logon request: %s" % host)
    data = m.handoff.read_bytes() if m.handoff.is_file() else None
    check(data == b"\xff\xfe", "the hand-off file left for the session end is %r, not an empty UTF-16 file" % data)


def logon_service_error(m):
    """The service answers "Err_Desc": L16, a report with status 0 and the text (escaped)."""
    r = Records(m)
    text = "Access denied & <quota> exceeded"
    m.layout()
    m.start_service("--error", text)
    m.run_agent(timeout=60)
    check(deployer_runs(m) == [], "the deployer ran although the service refused")
    report = check_report(only_report(m), m.user, "Logon", "0", "Access denied &amp; &lt;quota&gt; exceeded")
    l16 = ("OnInitDialog", "ERROR", "Unable to spawn Logon Script", "Error::", text)
    assert_sequence(m.log_entries(), [
        r.L1, r.L4, r.L5, r.L6, r.L8, r.L12, r.L13, r.L14,
        Repeat([r.L15, r.L17], 0), r.L15, l16, r.L18(""), r.web_post(report), r.L19, r.L20])
    check(m.handoff.is_file() and m.handoff.stat().st_size == 0, "the hand-off file is not there and empty")


def logon_no_service(m):
    """No service: L9, eleven passes, L9 again, no report, the request left in the file."""
    r = Records(m)
    m.layout()
    m.run_agent(timeout=60)
    assert_sequence(m.log_entries(), [
        r.L1, r.L4, r.L5, r.L6, r.L8, r.L9, r.L12, r.L13, r.L14,
        Repeat([r.L15, r.L17], 11, 11), r.L9])
    check(m.reports() == [], "a report was written: %s" % m.reports())
    text = m.handoff.read_bytes().decode("cp1252")
    check("[Process Details]" in text and "Process Name=" + DEPLOYER_WIN in text and
          "Process Arguments=Logon<<>>" + m.user in text, "the request is not in the file: %r" % text)


def logon_request_gone(m):
    """The hand-off file deleted while the agent waits for a service that is not running yet: the request is
    written again ("Hand-off request gone"), the service started then answers it, one report with status 1."""
    r = Records(m)
    m.layout()
    process, _ = m.start_agent()
    m.wait_for(lambda: m.handoff.is_file() and b"Logon<<>>" in m.handoff.read_bytes(), 30,
               "the logon request was not written")
    m.handoff.unlink()
    gone = ("OnInitDialog", "INFO", "Hand-off request gone", "Writing the request again", r.ini)
    m.wait_for(lambda: any(e.fields() == gone for e in m.log_entries()), 10, "the request was not written again")
    m.start_service()
    process.wait(60)
    runs = deployer_runs(m)
    check(len(runs) == 1, "expected one deployer run, found %s" % runs)
    report = check_report(only_report(m), m.user, "Logon", "1", "")
    assert_sequence(m.log_entries(), [
        r.L1, r.L4, r.L5, r.L6, r.L8, r.L9, r.L12, r.L13, r.L14,
        Repeat([r.L15, r.L17], 0), r.L15, gone, r.L13, r.L14, r.L17,
        Repeat([r.L15, r.L17], 0), r.L18(runs[0][0]), r.web_post(report), r.L19, r.L20])


def old_answer_in_file(m):
    """An answer an earlier hand-off left in the file ("Proc ID=4242", "Err_Desc"): at logon and again at a
    logoff the agent writes its request, removes the old answer and waits for the service's answer to this
    request: the deployer runs with Logon<<>> and then Logoff<<>>, each hand-off with a report of status 1."""
    stale = ("[Process Details]\r\nProcess Name=%s\r\nProcess Arguments=Logoff<<>>%s\r\nProc ID=4242\r\n"
             "Err_Desc=old\r\n" % (DEPLOYER_WIN, m.user)).encode("cp1252")
    r = Records(m)
    m.layout(templates={"Logon": 1, "Logoff": 2, "Shutdown": 1})
    m.handoff.write_bytes(stale)
    m.start_service()
    m.run_agent(timeout=60)
    check([args for _, args in deployer_runs(m)] == ["Logon<<>>" + m.user], "deployer runs %s" % deployer_runs(m))
    check_report(only_report(m), m.user, "Logon", "1", "")

    m.handoff.write_bytes(stale)
    process, pid = m.start_agent("setup")
    m.wait_for(lambda: any(e.fields() == r.L10 for e in m.log_entries()), 30, "the copy did not become resident")
    answer = m.answer_of(m.query_end_session(m.agent_window(pid)["hwnd"], 0x80000000), 120)
    check(answer == 0, "the logoff was answered %d" % answer)
    m.wait_exit(process, 30)
    check([args for _, args in deployer_runs(m)] == ["Logon<<>>" + m.user, "Logoff<<>>" + m.user],
          "deployer runs %s" % deployer_runs(m))
    reports = m.reports()
    check(len(reports) == 2, "expected two reports, found %s" % [p.name for p in reports])
    check_report(reports[1], m.user, "Logoff", "1", "")


def logon_missing_memberid(m):
    """A missing MEMBERID: one "Not Found" entry with the registry's error text, no report."""
    r = Records(m)
    m.layout(registry={"MEMBERID": None})
    m.start_service()
    m.run_agent(timeout=60)
    pid = deployer_runs(m)[0][0]
    not_found = ("WebPostEventData", "INFO", "MEMBER ID", "Not Found", Rx(r"RegQueryValueEx \[2\]::.+"))
    assert_sequence(m.log_entries(), [
        r.L1, r.L4, r.L5, r.L6, r.L8, r.L12, r.L13, r.L14,
        Repeat([r.L15, r.L17], 0), r.L18(pid), not_found, r.L19, r.L20])
    check(m.reports() == [], "a report was written: %s" % m.reports())


def setup_resident_any_case(m):
    """"SeTuP" makes the copy resident: no logon, hidden without a taskbar button, ends on WM_CLOSE."""
    r = Records(m)
    m.layout()
    m.start_service()
    process, pid = m.start_agent("SeTuP")
    m.wait_for(lambda: any(e.fields() == r.L10 for e in m.log_entries()), 30, "L10 not written")
    window = m.agent_window(pid)
    time.sleep(2)
    check(process.poll() is None, "the resident copy ended")
    assert_sequence(m.log_entries(), [r.L1, r.L4, r.L5, r.L6, r.L8, r.L10])
    check(window["visible"] == 0 and window["exstyle"] & WS_EX_TOOLWINDOW and
          not window["exstyle"] & WS_EX_APPWINDOW, "window not hidden as a tool window: %r" % window)
    check(deployer_runs(m) == [] and m.reports() == [], "the resident copy ran the logon")
    m.probe("close", window["hwnd"])
    m.wait_exit(process, 15)


def setup_logon_template_only(m):
    """A resident copy with only a Logon template ends with L11."""
    r = Records(m)
    m.layout(templates={"Logon": 1})
    m.start_service()
    m.run_agent("setup", timeout=30)
    assert_sequence(m.log_entries(), [r.L1, r.L4, r.L5, r.L6, r.L8, r.L10, r.L11])
    check(deployer_runs(m) == [], "the deployer ran")


def second_copy(m):
    """A second copy in the same session writes L3 and then goes on with the logon."""
    r = Records(m)
    m.layout()
    m.start_service()
    resident, pid = m.start_agent("setup")
    m.wait_for(lambda: any(e.fields() == r.L10 for e in m.log_entries()), 30, "L10 not written")
    m.run_agent(timeout=60)
    check(resident.poll() is None, "the resident copy ended")
    run_pid = deployer_runs(m)[0][0]
    report = check_report(only_report(m), m.user, "Logon", "1", "")
    assert_sequence(m.log_entries(), [
        r.L1, r.L4, r.L5, r.L6, r.L8, r.L10,
        r.L3, r.L4, r.L5, r.L6, r.L8, r.L12, r.L13, r.L14,
        Repeat([r.L15, r.L17], 0), r.L18(run_pid), r.web_post(report), r.L19, r.L20])
    m.probe("close", m.agent_window(pid)["hwnd"])
    m.wait_exit(resident, 15)


# ----- issue: session end end to end -----------------------------------------------------------------
def two_copies_take_turns(m):
    """A logoff reaches the resident copy while the logon copy of the same user waits for the service's
    answer (every answer 8 s late): the resident copy waits for its turn at the hand-off file, and the
    deployer runs Logon<<>> and then Logoff<<>>, each copy reading its own answer, with two reports."""
    r, resident, window, _ = resident_agent(m, "--delay-ms", "8000", templates={"Logon": 1, "Logoff": 1})
    logon, _ = m.start_agent()
    m.wait_for(lambda: m.handoff.is_file() and b"Logon<<>>" in m.handoff.read_bytes(), 30,
               "the logon request was not written")
    answer = m.answer_of(m.query_end_session(window["hwnd"], 0x80000000), 120)
    check(answer == 0, "the logoff was answered %d" % answer)
    m.wait_exit(logon, 30)
    m.wait_exit(resident, 30)
    runs = deployer_runs(m)
    check([args for _, args in runs] == ["Logon<<>>" + m.user, "Logoff<<>>" + m.user], "deployer runs %s" % runs)
    entries = m.log_entries()
    check(any(e.val1 == "Waiting for the hand-off turn" for e in entries), "the resident copy did not wait its turn")
    check(r.L18(runs[0][0]) in [e.fields() for e in entries], "the logon copy did not read its own answer")
    check([e.val3 for e in entries if e.val2 == "Proc ID found"][-1:] == [str(runs[1][0])],
          "the resident copy did not read its own answer")
    events = sorted(re.search(r"<evnt>(\w+)</evnt>", p.read_bytes().decode("cp1252")).group(1) for p in m.reports())
    check(events == ["Logoff", "Logon"], "reports %s" % events)


def turn_within_script_wait_limit(m):
    """ScriptWaitLimit 5: a logoff reaches the resident copy while the logon copy of the same user holds the
    hand-off turn (every answer 20 s late): the resident copy waits for the turn only until the limit, writes
    no request over the logon copy's, and issues the logoff; the logon copy still reads its own answer."""
    r, resident, window, before = resident_agent(m, "--delay-ms", "20000", templates={"Logon": 1, "Logoff": 1},
                                                registry={"ScriptWaitLimit": 5})
    logon, _ = m.start_agent()
    m.wait_for(lambda: m.handoff.is_file() and b"Logon<<>>" in m.handoff.read_bytes(), 30,
               "the logon request was not written")
    check(m.answer_of(m.query_end_session(window["hwnd"], 0x80000000), 60) == 0, "the logoff was not held")
    m.wait_for(lambda: "shutdown.exe -l -f -t 00" in recorded_commands(m), 30, "the logoff was not issued")
    check(not deployer_runs(m), "the logoff waited for the logon copy's answer")
    m.wait_exit(resident, 20)
    m.wait_exit(logon, 60)
    runs = deployer_runs(m)
    check([args for _, args in runs] == ["Logon<<>>" + m.user], "deployer runs %s" % runs)
    entries = m.log_entries()[before:]
    check([e.val2 for e in entries if e.val1 in ("Waiting for the hand-off turn", "Script wait limit reached")] ==
          ["Another copy of the agent hands off for this user", "ScriptWaitLimit 5 seconds, waited 5 seconds"],
          "the resident copy's turn and limit: %s" % [e.fields() for e in entries])
    check(r.L18(runs[0][0]) in [e.fields() for e in entries], "the logon copy did not read its own answer")


def resident_agent(m, *service_options, winedebug=None, **layout):
    r = Records(m)
    m.layout(**layout)
    m.start_service(*service_options)
    process, pid = m.start_agent("setup", winedebug=winedebug)
    m.wait_for(lambda: any(e.fields() == r.L10 for e in m.log_entries()), 30, "the copy did not become resident")
    window = m.agent_window(pid)
    return r, process, window, len(m.log_entries())


def session_end(m, lparam, kind_text, first_kind, expect_attempts, reissue, x2_text, script_seconds):
    """Runs one held session end and checks everything it leaves; returns the log entries it wrote."""
    templates = {"Logon": 1, "Logoff": script_seconds, "Shutdown": script_seconds}
    r, process, window, before = resident_agent(m, templates=templates, shutdown_setting=m.shutdown_setting,
                                                winedebug="+eventlog")
    probe = m.query_end_session(window["hwnd"], lparam)
    answer = m.answer_of(probe, 120)
    check(answer == 0, "the held session end was answered %d" % answer)
    m.wait_exit(process, 20)

    runs = deployer_runs(m)
    check(len(runs) == 1, "expected one deployer run, found %s" % runs)
    pid, args = runs[0]
    check(args == kind_text + m.user, "deployer arguments %r" % args)
    report = check_report(only_report(m), m.user, "Logoff" if first_kind == "logoff" else "Shutdown", "1", "")

    first = [r.W1, r.W4 if first_kind == "logoff" else r.W2, r.Q4, r.Q5_or_Q6, r.Q7, r.Q9, r.Q10, r.R1]
    first += [r.attempt(n) for n in range(1, 6)] if expect_attempts else []
    assert_sequence(m.log_entries()[before:], [
        *first, r.A1, r.A3, *r.hand_off(kind_text + m.user, pid, report),
        r.script_wait(pid, first_kind), r.X1, r.X2(x2_text)])

    # The order of what happened outside the agent, from the one journal all stand-ins share.
    # The recorders are processes of their own, started just before the agent ended.
    with contextlib.suppress(Failure):
        m.wait_for(lambda: len(recorded_commands(m)) >= 1 + len(reissue), 15, "")
    time.sleep(0.5)  # anything issued beyond what is expected shows up too
    journal = m.journal()
    commands = recorded_commands(m)
    # ExitWindowsEx starts wineboot and returns at once, so the two recorders of the
    # re-issue race each other: their lines may stand in either order.
    check(commands[:1] == ["shutdown.exe /a"] and sorted(commands[1:]) == sorted(reissue),
          "recorded commands %s, expected /a and then %s" % (commands, reissue))
    started = journal_index(journal, "quorvarun.exe", lambda e: e.startswith("start pid=%s" % pid))
    ended = journal_index(journal, "quorvarun.exe", lambda e: e.startswith("end pid=%s" % pid))
    cancel = journal_index(journal, "shutdown.exe", lambda e: e == "/a")
    first_reissue = min(n for n, line in enumerate(journal)
                        if line.split(" ", 2)[1] == "wineboot.exe" or line.endswith(" -f -t 00"))
    # The agent's own order (cancel, hand-off, wait) is in its log above. Here: the
    # re-issue came only after the script had ended. (A recorder's line can trail
    # the service's by a few hundred milliseconds, so the cancel is only required
    # to come before the re-issue.)
    check(0 <= cancel < first_reissue and 0 <= started < ended < first_reissue,
          "order: cancel %d, script start %d, script end %d, re-issue %d" % (cancel, started, ended, first_reissue))
    check(m.handoff.is_file() and m.handoff.stat().st_size == 0, "the hand-off file is not there and empty")
    # The Application log: the hand-off, then the session end issued with the seconds it was held.
    events = m.agent_events(0)
    m.say("events of the resident agent: %s" % events)
    kind = {"Logging Off": "logoff", "Rebooting": "restart", "Shutting down": "shutdown"}[x2_text]
    check([e[:2] for e in events] == [(4, 1000), (4, 1002)] and events[0][2] == [m.user, first_kind.title(), pid]
          and events[1][2][:2] == [m.user, kind] and events[1][2][2].isdigit(), "Application log entries %s" % events)
    return m.log_entries()[before:]


def logoff_with_script(m):
    """Logoff with a 6-second script: held (answer 0), "/a" first, the script waited for, then
    wineboot --kill --shutdown and "-l -f -t 00", X2 "Logging Off", a Logoff report, the process ended."""
    m.shutdown_setting = None
    entries = session_end(m, 0x80000000, "Logoff<<>>", "logoff", False,
                          ["wineboot.exe --kill --shutdown", "shutdown.exe -l -f -t 00"], "Logging Off", 6)
    passes = sum(1 for e in entries if e.val1 == "Waiting")
    check(passes >= 2, "a 6-second script should be seen running at least twice, seen %d times" % passes)


def script_wait_limit(m):
    """ScriptWaitLimit 8 (REG_DWORD) and a 60-second logoff script: the wait ends after 8 seconds with an
    ERROR record, event 1004 and a report saying so, then the logoff is issued while the script still runs."""
    r, process, window, before = resident_agent(m, templates={"Logon": 1, "Logoff": 60, "Shutdown": 60},
                                                registry={"ScriptWaitLimit": 8}, winedebug="+eventlog")
    answer = m.answer_of(m.query_end_session(window["hwnd"], 0x80000000), 60)
    check(answer == 0, "the held session end was answered %d" % answer)
    m.wait_exit(process, 20)
    script = "quorvarun.exe Logoff<<>>" + m.user
    tail = [e.fields() for e in m.log_entries()[before:]][-4:]
    expected = [("FunctionToForgetShutDown", "ERROR", "Script wait limit reached",
                 "ScriptWaitLimit 8 seconds, waited 8 seconds", script),
                ("WebPostEventData", "INFO", "web Post", ANY, " "), r.X1, r.X2("Logging Off")]
    check(len(tail) == 4 and all(all(field_matches(w, g) for w, g in zip(want, got))
                                 for want, got in zip(expected, tail)), "the log ends %s" % tail)
    limited = [p for p in m.reports() if b"<status>0</status>" in p.read_bytes()]
    check(len(limited) == 1, "expected one report of the limit among %s" % [p.name for p in m.reports()])
    check_report(limited[0], m.user, "Logoff", "0", "The script wait limit of 8 seconds was reached")
    m.wait_for(lambda: "shutdown.exe -l -f -t 00" in recorded_commands(m), 15, "the logoff was not issued")
    pid = deployer_runs(m)[0][0]
    journal = m.journal()
    ended = journal_index(journal, "quorvarun.exe", lambda e: e.startswith("end pid=%s" % pid))
    issued = journal_index(journal, "shutdown.exe", lambda e: e == "-l -f -t 00")
    check(ended == -1 or issued < ended, "the logoff waited for the script: issued %d, ended %d" % (issued, ended))
    events = m.agent_events(0)
    m.say("events of the resident agent: %s" % events)
    check(events[-2:] == [(1, 1004, [m.user, "8", script, "8"]), (4, 1002, [m.user, "logoff", "8"])],
          "Application log entries %s" % events)


def shutdown_restart_by_setting(m):
    """Shutdown with "Shutdown Setting" 4: five event-log attempts, then a restart is re-issued."""
    m.shutdown_setting = 4
    session_end(m, 0, "shutdown<<>>", "shutdown", True,
                ["wineboot.exe --kill", "shutdown.exe -r -f -t 00"], "Rebooting", 2)


def shutdown_plain(m):
    """Shutdown without the setting: "-s -f -t 00", X2 "Shutting down"."""
    m.shutdown_setting = None
    session_end(m, 0, "shutdown<<>>", "shutdown", True,
                ["wineboot.exe --kill --shutdown", "shutdown.exe -s -f -t 00"], "Shutting down", 2)


def query_during_startup(m):
    """A logoff request sent while start-up still sleeps is handled only after start-up: L10 comes
    before W1, and the logoff is then held and re-issued as usual."""
    r = Records(m)
    m.layout(templates={"Logon": 1, "Logoff": 1, "Shutdown": 1})
    m.start_service()
    probe = m.query_end_session_at_start(0x80000000)
    process, pid = m.start_agent("setup")
    answer = m.answer_of(probe, 120)
    check(m.stray_files() == [], "the request was handled before the paths existed: the agent wrote %s into its "
          "current folder" % m.stray_files())
    check(answer == 0, "answer %d" % answer)
    m.wait_exit(process, 20)
    fields = [e.fields() for e in m.log_entries()]
    check(r.L10 in fields and r.W1 in fields and fields.index(r.L10) < fields.index(r.W1),
          "the request was handled before start-up had finished")
    check(fields[-1] == r.X2("Logging Off"), "the logoff was not re-issued: %r" % (fields[-1],))


def held_during_startup(m, lparam, shutdown_setting, how, command):
    """A request held (answer 0) during the start-up of a resident copy that then ends with L11 (only a
    Logon template): the agent issues it itself, unforced, after one record."""
    r = Records(m)
    m.layout(templates={"Logon": 1}, shutdown_setting=shutdown_setting)
    m.start_service()
    for _ in range(4):
        probe = m.query_end_session_at_start(lparam)
        process, pid = m.start_agent("setup")
        values = m.result_of(probe, 60)
        if values.get("sent") == "1":
            break
        # A start-up handles sent messages only while its taskbar call waits on the shell, and that
        # wait may end before the request is looked at. Such a request never reached the copy, which
        # ended without it: nothing was held, and Windows goes on by itself. This scenario needs the
        # request held, so it starts the copy again from a clean log and hand-off file.
        check(values.get("error") == "5", "WM_QUERYENDSESSION could not be sent: %s" % values)
        m.wait_exit(process, 30)
        check(recorded_commands(m) == [], "a request never delivered was issued: %s" % recorded_commands(m))
        m.say("the request came after the start-up's wait on the shell; starting the copy again")
        shutil.rmtree(m.data / "ApplicationLog", ignore_errors=True)
        m.handoff.unlink(missing_ok=True)
    else:
        raise Failure("the request did not reach the start-up in four starts")
    answer = int(values["answer"])
    check(answer == 0, "answer %d, expected 0 (held)" % answer)
    m.wait_exit(process, 30)
    time.sleep(1)  # a recorder started at the agent's end would have written by now
    assert_sequence(m.log_entries(), [
        r.L1, r.L4, r.L5, r.L6, r.L8, r.L10, r.L11,
        ("IssueHeldSessionEnd", "INFO", "Issuing held session end unforced", "Start-up ended", how)])
    check(recorded_commands(m) == [command], "expected %r alone, found %s" % (command, recorded_commands(m)))
    check(deployer_runs(m) == [], "a script ran")


def held_request_startup_ends(m):
    """A logoff held during the start-up of a resident copy that then ends (only a Logon template):
    answer 0, L11, and the agent issues the logoff itself, unforced (wineboot --end-session --shutdown)."""
    held_during_startup(m, 0x80000000, None, "Logging Off", "wineboot.exe --end-session --shutdown")


def held_restart_startup_ends(m):
    """The same for a shutdown with "Shutdown Setting" 4: no event-log look, an unforced restart
    (wineboot --end-session, without --shutdown)."""
    held_during_startup(m, 0, 4, "Rebooting", "wineboot.exe --end-session")


def service_stopped(m):
    """The service stopped before the request: answer 1, an EVTNT report, the process ended, nothing issued."""
    r, process, window, before = resident_agent(m)
    m.stop_service()
    answer = m.answer_of(m.query_end_session(window["hwnd"], 0x80000000), 60)
    check(answer == 1, "answer %d, expected 1" % answer)
    m.wait_exit(process, 20)
    report = check_report(only_report(m), m.user, "EVTNT", "0", "The service quorvahost.exe was not found running")
    assert_sequence(m.log_entries()[before:], [r.W1, r.W4, r.Q2, r.web_post(report)])
    time.sleep(1)  # a recorder started at the agent's end would have written by now
    check(recorded_commands(m) == [], "commands were issued: %s" % recorded_commands(m))
    check(deployer_runs(m) == [], "a script ran")


def close_app_request(m):
    """Restart Manager's close request (0x1): answer 1, no script, nothing issued, the process ends
    after WM_ENDSESSION."""
    r, process, window, before = resident_agent(m)
    answer = m.answer_of(m.query_end_session(window["hwnd"], 0x1), 60)
    check(answer == 1, "answer %d, expected 1" % answer)
    time.sleep(1)
    check(process.poll() is None, "the agent ended before WM_ENDSESSION")
    m.probe("endsession", window["hwnd"], 1, 1)
    m.wait_exit(process, 20)
    time.sleep(1)  # a recorder started at the agent's end would have written by now
    entries = m.log_entries()[before:]
    check(entries and entries[0].fields() == r.W1, "W1 not first: %r" % entries)
    check(len(entries) >= 2 and entries[1].module == "WindowProc" and "close" in (entries[1].val1 + entries[1].val2).lower(),
          "no line that says the request is a close request: %r" % entries)
    check(not any(e.module in ("functionToForgetShutdown", "FunctionToForgetShutDown") for e in entries),
          "the session-end handling ran: %r" % entries)
    check(recorded_commands(m) == [], "commands were issued: %s" % recorded_commands(m))
    check(deployer_runs(m) == [] and m.reports() == [], "a script ran or a report was written")


# ----- many users on one machine ------------------------------------------------------------------
# Wine's GetUserNameW answers the USER variable: agents started with different
# values are different users of one machine, with their own logs and hand-off
# files and one shared post folder and task-kill file.
def storm_users(count):
    return ["qvu%03d" % (n + 1) for n in range(count)]


def start_agents_as(m, users, *args):
    """Starts one quorva.exe per user, all at once; returns {user: unix process}."""
    m.agent_cwd.mkdir(exist_ok=True)
    processes = {}
    for user in users:
        processes[user] = subprocess.Popen(
            [m.kind.agent_loader, str(m.exe), *args], env=m.env(AGENT_OVERRIDES, USER=user, LOGNAME=user),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, cwd=m.agent_cwd)
    m.agents.extend(processes.values())
    m.say("%d copies of quorva.exe %s started" % (len(users), " ".join(args)))
    return processes


def wait_all_exit(m, processes, timeout):
    deadline = time.monotonic() + timeout
    for user, process in processes.items():
        m.wait_exit(process, max(1, deadline - time.monotonic()), "quorva.exe of %s" % user)


def log_entries_of(m, user):
    files = m.log_files_of(user)
    check(len(files) == 1, "expected one log of %s, found %s" % (user, [f.name for f in files]))
    return parse_log(files[0].read_bytes())[1]


def reports_by_user(m, event):
    """{user: report path} of the post folder; every report checked line by line, one per user."""
    by_user = {}
    for path in m.reports():
        found = re.search(r"<user>([^<]*)</user>", path.read_bytes().decode("cp1252"))
        check(found, "report %s names no user" % path.name)
        user = found.group(1)
        check(user not in by_user, "two reports of %s: %s and %s" % (user, by_user.get(user), path.name))
        check_report(path, user, event, "1", "")
        by_user[user] = path
    return by_user


def logon_storm(m):
    """80 users log on at once: 80 reports, one per user in a file of its own, 80 logs that each say
    "Application started", every hand-off file empty again."""
    users = storm_users(80)
    m.layout(templates={"Logon": 1, "Logoff": 1, "Shutdown": 1})
    m.start_service()
    processes = start_agents_as(m, users)
    wait_all_exit(m, processes, 100)
    reports = reports_by_user(m, "Logon")
    check(sorted(reports) == users, "reports of %d users, missing %s" % (
        len(reports), sorted(set(users) - set(reports))[:10]))
    check(len(m.log_files()) == len(users), "%d logs" % len(m.log_files()))
    for user in users:
        check(Records(m).L4 in [e.fields() for e in log_entries_of(m, user)], "no \"Application started\" for %s" % user)
        handoff = m.data / "QVRT" / ("quorvaProcDetails_%s.ini" % user)
        check(handoff.is_file() and handoff.stat().st_size == 0, "the hand-off file of %s is not empty" % user)


def shutdown_storm(m):
    """16 resident copies get a shutdown at once: each is held, hands off its own user's script, reports
    "Shutdown" and re-issues a forced shutdown: 16 reports, 16 re-issues."""
    users = storm_users(16)
    m.layout(templates={"Logon": 1, "Logoff": 1, "Shutdown": 1})
    m.start_service()
    processes = start_agents_as(m, users, "setup")
    resident = lambda u: any(e.val2.startswith("The Logon script will not be executed") for e in log_entries_of(m, u))
    m.wait_for(lambda: all(len([f for f in m.log_files() if ("[%s]" % u) in f.name]) == 1 and resident(u)
                           for u in users), 60, "not every copy became resident")
    pids = []

    def all_running():
        pids[:] = [p["pid"] for p in m.processes("quorva.exe")]
        return len(pids) == len(users)

    m.wait_for(all_running, 30, "not %d quorva.exe processes" % len(users))
    hwnds = [m.agent_window(pid)["hwnd"] for pid in pids]
    probes = [m.query_end_session(hwnd, 0) for hwnd in hwnds]
    answers = [m.answer_of(probe, 110) for probe in probes]
    check(answers == [0] * len(users), "answers %s" % answers)
    wait_all_exit(m, processes, 30)

    # One script per user, and each agent waited for the one started for its own user.
    runs = deployer_runs(m)
    check(sorted(args for _, args in runs) == sorted("shutdown<<>>" + u for u in users),
          "deployer runs %s" % [args for _, args in runs])
    started_for = dict(runs)
    for user in users:
        found = [e.val3 for e in log_entries_of(m, user) if e.val2 == "Proc ID found"]
        check(len(found) == 1, "%s read %d answers: %s" % (user, len(found), found))
        check(started_for.get(found[0]) == "shutdown<<>>" + user,
              "%s waited for process %s, started for %r" % (user, found[0], started_for.get(found[0])))
    reports = reports_by_user(m, "Shutdown")
    check(sorted(reports) == users, "Shutdown reports of %s" % sorted(reports))
    with contextlib.suppress(Failure):
        m.wait_for(lambda: recorded_commands(m).count("shutdown.exe -s -f -t 00") >= len(users), 15, "")
    commands = recorded_commands(m)
    for command in ("shutdown.exe /a", "wineboot.exe --kill --shutdown", "shutdown.exe -s -f -t 00"):
        check(commands.count(command) == len(users), "%d times %r" % (commands.count(command), command))
    for user in users:
        check(log_entries_of(m, user)[-1].fields() == Records.X2("Shutting down"), "%s did not end with the re-issue" % user)
# ----- the installation package -------------------------------------------------------------------
RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
PRODUCT_KEY = r"HKLM\SOFTWARE\VORLAN"
ENDSESSION_CLOSEAPP = 0x1
# The Unix exit status keeps the low byte of the Windows one.
ERROR_INSTALL_FAILURE = 1603 & 0xFF
ERROR_SUCCESS_REBOOT_REQUIRED = 3010 & 0xFF
SESSION_MANAGER_KEY = r"HKLM\System\CurrentControlSet\Control\Session Manager"
ACTION_FAILS = 19  # a custom action that ends the installation with an error


class Package:
    """The agent's MSIs for this machine's build: this version, a rebuild of it,
    the next version and a copy of that made to fail; and the system's msiexec
    and reg.exe to install them and to look at the result."""
    NEWER = "12.0.0.15"

    def __init__(self, m):
        for folder in ("installer", "tests/release"):
            sys.path.insert(0, str(Path(__file__).resolve().parents[2] / folder))
        import release
        import package_checks
        for tool in ("wixl", "msibuild"):
            if not release.shutil.which(tool):
                raise Skipped("%s is not installed (make release installs it)" % tool)
        self.m, self.release, self.checks = m, release, package_checks
        self.exe_win = DEPLOYER_WIN.replace(r"QVRT\quorvarun.exe", "quorva.exe")
        agent = m.exe.read_bytes()
        self.exes = {"build": agent, "rebuild": package_checks.rebuilt(agent),
                     "newer": package_checks.with_version(agent, release.VERSION, self.NEWER)}
        self.files, self.codes = {}, {}
        for name, data in self.exes.items():
            self.add(name, m.kind.arch, data, self.NEWER if name == "newer" else release.VERSION)
        # The next version, failing where the removal of the installed one used
        # to run: between InstallValidate and InstallInitialize.
        failing = m.drive_c / "quorva-e2e" / "failing.msi"
        shutil.copyfile(self.unix("newer"), failing)
        release.run_msibuild(failing, statements=[
            "INSERT INTO `CustomAction` (`Action`, `Type`, `Target`) VALUES ('Fail', %d, 'made to fail')" % ACTION_FAILS,
            "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('Fail', 1450)"])
        self.files["failing"] = "C:\\quorva-e2e\\failing.msi"

    def add(self, name, arch, data, version):
        exe = self.m.drive_c / "quorva-e2e" / name / "quorva.exe"
        exe.parent.mkdir(parents=True, exist_ok=True)
        exe.write_bytes(data)
        msi = exe.parent / self.release.msi_name(arch, version)
        self.codes[name] = self.release.build_msi(arch, exe, msi, 1700000000, version)
        self.files[name] = "C:\\quorva-e2e\\%s\\%s" % (name, msi.name)

    def unix(self, name):
        return self.m.unix(self.files[name])

    def msiexec(self, action, name, *properties):
        started = time.monotonic()
        rc, out, err = self.m.wine("msiexec", action, self.files.get(name, name), "/qn", *properties, check_rc=False,
                                   timeout=180, loader=self.m.kind.system_loader)
        self.m.say("msiexec %s %s %s: exit code %d after %.1f s" % (action, name, " ".join(properties), rc,
                                                                    time.monotonic() - started))
        return rc, (out + err).decode("utf-8", errors="replace")[-1500:]

    def msiexec_logged(self, action, name, *properties):
        """msiexec with a verbose log: (exit code, the log's text)."""
        log = self.m.drive_c / "quorva-e2e" / "msiexec.log"
        log.unlink(missing_ok=True)
        rc, _ = self.msiexec(action, name, *properties, "/l*v", "C:\\quorva-e2e\\msiexec.log")
        return rc, log.read_bytes().decode("utf-8", errors="replace") if log.exists() else ""

    @staticmethod
    def logged_properties(log):
        """{name: value} of the property list a verbose log ends with (Property(S): NAME = value)."""
        found = {}
        for line in log.splitlines():
            if line.startswith("Property(S): ") and " = " in line:
                name, _, value = line[len("Property(S): "):].partition(" = ")
                found[name] = value.rstrip()
        return found

    def query(self, key, view=None):
        """reg query in the agent's view (or another): (found, output)."""
        rc, out, _ = self.m.wine("reg", "query", key, "/reg:" + (view or self.m.kind.view), check_rc=False,
                                 loader=self.m.kind.system_loader)
        return rc == 0, out.decode("utf-8", errors="replace")

    def run_values(self, view=None):
        values = {}
        for line in self.query(RUN_KEY, view)[1].splitlines():
            name, _, data = line.strip().partition("    REG_SZ    ")
            if data:
                values[name] = data
        return values

    def products(self, view=None):
        return sorted(l.rsplit("\\", 1)[1] for l in self.query(UNINSTALL_KEY, view)[1].splitlines()
                      if l.rstrip().endswith("}"))

    def registration(self, code):
        """The Uninstall key's values of a product: {name: data}."""
        values = {}
        for line in self.query(UNINSTALL_KEY + "\\" + code)[1].splitlines():
            parts = line.strip().split("    ")
            if len(parts) == 3:
                values[parts[0]] = parts[2]
        return values

    def pending_renames(self):
        """PendingFileRenameOperations: what the next start of Windows renames or deletes, in order."""
        for line in self.query(SESSION_MANAGER_KEY, "64" if self.m.kind.winearch == "win64" else "32")[1].splitlines():
            name, _, data = line.strip().partition("    REG_MULTI_SZ    ")
            if name == "PendingFileRenameOperations":
                return data.split("\\0")
        return []

    def close_resident_copy(self):
        """The close request Restart Manager sends before an installation replaces a file in use, answered and
        confirmed: the resident copy ends."""
        m = self.m
        window = m.agent_window(m.processes("quorva.exe")[0]["pid"])
        answer = m.answer_of(m.query_end_session(window["hwnd"], ENDSESSION_CLOSEAPP), 60)
        check(answer == 1, "the close request was answered %d" % answer)
        m.probe("endsession", window["hwnd"], 1, ENDSESSION_CLOSEAPP)
        m.wait_for(lambda: m.processes("quorva.exe") == [], 20, "the resident copy did not end after the close request")

    def expect_installed(self, name, session_start=True):
        m, exe = self.m, self.m.unix(self.exe_win)
        check(exe.is_file() and exe.read_bytes() == self.exes[name], "%s is not the %s's agent" % (self.exe_win, name))
        expected = {"quorva": '"%s"' % self.exe_win, "quorva setup": '"%s" setup' % self.exe_win}
        check(self.run_values() == (expected if session_start else {}), "start values %s" % self.run_values())
        check(self.products() == [self.codes[name]], "installed products %s, expected the %s's %s only" % (
            self.products(), name, self.codes[name]))


def package_install_upgrade_remove(m):
    """The agent's MSI under the system's msiexec: installed quietly, quorva.exe in the VORLAN folder of Program Files,
    two start values and the data folders, nothing under the product key, Add/Remove Programs entries; a logon
    through the start values runs the logon hand-off and leaves the resident copy, which ends on the
    installer's close request; the same package again, and a rebuild of the same version, leave one product;
    a newer version that fails before the installation starts leaves the installed one; the newer version with
    AUTOSTART=0, installed while the resident copy of a second logon runs, ends with 3010 and restarts nothing:
    the resident copy keeps running, the new file waits for the next start (PendingFileRenameOperations) and is
    in place after it, without the start values; the older one is then refused; msiexec /x leaves no file
    and no start value. On the 64-bit machine: the x86 package refuses 64-bit Windows unless PRODUCT32BIT=1,
    which its upgrade need not repeat; the x64 package refuses, and leaves the x86 agent, where the product's
    values are in the 32-bit view only, and replaces the x86 agent where it finds them in the 64-bit view; the
    x86 package then refuses the machine with the x64 agent."""
    r = Records(m)
    shutil.rmtree(m.drive_c / "windows" / "Installer", ignore_errors=True)  # no cached package of a past run
    package = Package(m)
    check(not m.install.exists(), "the machine has an install folder before the package ran")

    rc, output = package.msiexec("/i", "build")
    check(rc == 0, "installing failed (%d): %s" % (rc, output))
    package.expect_installed("build")
    check(m.files_under(m.install) == ["QVRTPostLogs", "quorva.exe"], "the package installed more: %s" %
          m.files_under(m.install))
    check(not package.query(PRODUCT_KEY)[0], "the package wrote under the product key")
    check((m.data / "QVRT").is_dir() and (m.data / "ApplicationLog").is_dir(), "the data folders are missing")
    # No InstallationPath yet: the reports folder goes into the package's own install folder.
    check(m.post_folder.is_dir(), "the reports folder is missing: %s" % m.post_folder)
    arp = package.registration(package.codes["build"])
    expected = {"NoModify": "0x1", "UninstallString": "MsiExec.exe /X" + package.codes["build"],
                "Contact": "VORLAN product support", "DisplayVersion": "12.0.14",
                "Comments": "Runs the logon, logoff and shutdown scripts of the VORLAN product in every user session."}
    check({k: arp.get(k) for k in expected} == expected, "Add/Remove Programs values %s" % arp)

    # The rest of the product, as its own installation lays it out; then a
    # logon: wineboot without --init runs the Run values, as the shell does.
    m.layout()
    m.start_service()
    m.wine("wineboot.exe", loader=m.kind.system_loader)
    m.wait_for(lambda: any(e.fields() == r.L20 for e in m.log_entries()), 60, "the logon hand-off did not finish")
    check_report(only_report(m), m.user, "Logon", "1", "")
    fields = [e.fields() for e in m.log_entries()]
    check(r.L12 in fields and r.L10 in fields, "the ordinary or the resident copy is missing from the log")
    check([args for _, args in deployer_runs(m)] == ["Logon<<>>" + m.user], "deployer runs %s" % deployer_runs(m))
    m.wait_for(lambda: len(m.processes("quorva.exe")) == 1, 30, "not exactly the resident copy left running")

    # What Restart Manager asks before an upgrade replaces the file in use.
    package.close_resident_copy()

    # Rebuilds: the same package once more, then another build of the same version.
    for name in ("build", "rebuild"):
        rc, output = package.msiexec("/i", name)
        check(rc == 0, "installing the %s over the build failed (%d): %s" % (name, rc, output))
        package.expect_installed(name)
    # A failed upgrade leaves the installed version as it was.
    rc, _ = package.msiexec("/i", "failing")
    check(rc == ERROR_INSTALL_FAILURE, "the failing package gave %d, expected failure 1603" % rc)
    package.expect_installed("rebuild")
    # An upgrade that meets the agent in use, as almost every one does: the
    # resident copy of the next logon runs while the newer version installs.
    m.wine("wineboot.exe", loader=m.kind.system_loader)
    m.wait_for(lambda: [e.fields() for e in m.log_entries()].count(r.L20) == 2, 60, "the second logon did not finish")
    m.wait_for(lambda: len(m.processes("quorva.exe")) == 1, 30, "not exactly the resident copy left running")
    resident = m.processes("quorva.exe")[0]["pid"]
    # AUTOSTART=0 holds on an upgrade from a version that had the session start.
    rc, output = package.msiexec("/i", "newer", "AUTOSTART=0")
    # 3010: done, and the file in use is replaced at the next start. Nothing
    # restarted: the resident copy of the earlier version still runs, from the
    # file the installation could not replace.
    check(rc == ERROR_SUCCESS_REBOOT_REQUIRED, "the upgrade over the running agent gave %d, expected 3010: %s" % (
        rc, output))
    check([p["pid"] for p in m.processes("quorva.exe")] == [resident], "the resident copy did not keep running: %s" %
          m.processes("quorva.exe"))
    check(m.unix(package.exe_win).read_bytes() == package.exes["rebuild"], "the file in use was replaced at once")
    check(package.products() == [package.codes["newer"]] and package.run_values() == {},
          "after the upgrade: products %s, start values %s" % (package.products(), package.run_values()))
    pending = package.pending_renames()
    check(pending[-1:] == ["\\??\\" + package.exe_win] and "\\??\\" + package.exe_win in pending[:-1],
          "the new file does not wait for the next start: %s" % pending)
    # The session ends (here the installer's close request), then the next start.
    package.close_resident_copy()
    m.wine("wineboot.exe", "--restart", loader=m.kind.system_loader)
    check(package.pending_renames() == [], "renames left after the next start: %s" % package.pending_renames())
    package.expect_installed("newer", session_start=False)
    rc, _ = package.msiexec("/i", "build")
    check(rc == ERROR_INSTALL_FAILURE, "the older package gave %d, expected failure 1603" % rc)
    package.expect_installed("newer", session_start=False)

    rc, output = package.msiexec("/x", "newer")
    check(rc == 0, "removing failed (%d): %s" % (rc, output))
    check(not m.unix(package.exe_win).exists(), "quorva.exe is still there")
    check(package.run_values() == {} and package.products() == [],
          "left behind: start values %s, products %s" % (package.run_values(), package.products()))
    check((m.install / "QVRT" / "quorvarun.exe").is_file() and m.reports(), "the product's own files went too")
    check((m.data / "QVRT").is_dir(), "the hand-off folder went, with the users' files in it")

    if m.kind.name != "x64":
        return
    # One agent per machine, the one that finds the product's values. The 32-bit
    # package only where the product is 32-bit, told once; the 64-bit one replaces
    # it, unless the product's values are in the 32-bit view alone; and the
    # 32-bit package refuses a machine that has the 64-bit agent.
    x86 = m.exe.parent.parent / "x86" / "quorva.exe"
    check(x86.is_file(), "no x86 build at %s" % x86)
    package.exes["x86"] = x86.read_bytes()
    package.exes["x86 newer"] = package.checks.with_version(package.exes["x86"], package.release.VERSION,
                                                            package.NEWER)
    package.add("x86", "x86", package.exes["x86"], package.release.VERSION)
    package.add("x86 newer", "x86", package.exes["x86 newer"], package.NEWER)
    exe32 = package.exe_win.replace("Program Files", "Program Files (x86)")
    rc, _ = package.msiexec("/i", "x86")
    check(rc == ERROR_INSTALL_FAILURE, "the x86 package on 64-bit Windows gave %d, expected failure 1603" % rc)
    check(package.products("32") == [] and not m.unix(exe32).exists(), "the refused x86 package left %s" %
          package.products("32"))
    rc, output = package.msiexec("/i", "x86", "PRODUCT32BIT=1")
    check(rc == 0, "the x86 package with PRODUCT32BIT=1 failed (%d): %s" % (rc, output))
    check(package.products("32") == [package.codes["x86"]] and package.run_values("32") == {
        "quorva": '"%s"' % exe32, "quorva setup": '"%s" setup' % exe32}, "the x86 product: %s, start values %s" % (
        package.products("32"), package.run_values("32")))
    # No InstallationPath in the 32-bit view: the x86 agent's reports go beside it.
    check(m.unix(exe32).parent.joinpath("QVRTPostLogs").is_dir(), "the x86 agent's reports folder is missing")
    # Its upgrade without PRODUCT32BIT: an installed x86 agent says it was given.
    rc, output = package.msiexec("/i", "x86 newer")
    check(rc == 0, "the x86 upgrade without PRODUCT32BIT failed (%d): %s" % (rc, output))
    check(package.products("32") == [package.codes["x86 newer"]] and
          m.unix(exe32).read_bytes() == package.exes["x86 newer"], "the x86 upgrade: %s" % package.products("32"))

    # The product's values in the 32-bit view only: the x64 agent would find none, so its package refuses, and
    # the x86 agent stays.
    m.reg("delete", PRODUCT_KEY, "/f", view="64")
    m.reg("add", PRODUCT_KEY, "/v", "REGID", "/d", "R-20417", "/f", view="32")
    rc, log = package.msiexec_logged("/i", "build")
    check(rc == ERROR_INSTALL_FAILURE, "the x64 package over a 32-bit product gave %d, expected failure 1603" % rc)
    found = {k: v for k, v in package.logged_properties(log).items() if k.startswith("PRODUCTVALUES")}
    check(found == {"PRODUCTVALUES32": "R-20417"}, "the x64 package's search found %s" % found)
    check(package.products() == [] and package.products("32") == [package.codes["x86 newer"]] and
          m.unix(exe32).read_bytes() == package.exes["x86 newer"] and len(package.run_values("32")) == 2,
          "the refused x64 package changed the x86 agent: %s, %s" % (package.products("32"), package.run_values("32")))
    # In the 64-bit view as well: the x64 agent finds them; its package replaces the x86 one. The product's
    # install folder is elsewhere this time: the reports folder goes there, where the agent writes its reports.
    m.reg("add", PRODUCT_KEY, "/v", "REGID", "/d", "R-20417", "/f", view="64")
    m.reg("add", PRODUCT_KEY, "/v", "InstallationPath", "/d", "C:\\VorlanProduct\\", "/f", view="64")
    rc, output = package.msiexec("/i", "build")
    check(rc == 0, "the x64 package over the x86 one failed (%d): %s" % (rc, output))
    package.expect_installed("build")
    check((m.drive_c / "VorlanProduct" / "QVRTPostLogs").is_dir(), "no reports folder in the product's folder")
    check(package.products("32") == [] and package.run_values("32") == {} and not m.unix(exe32).exists(),
          "the x86 product stayed: %s, start values %s" % (package.products("32"), package.run_values("32")))
    # The x86 package on a machine with the x64 agent: refused, even when told the product is 32-bit.
    rc, log = package.msiexec_logged("/i", "x86", "PRODUCT32BIT=1")
    check(rc == ERROR_INSTALL_FAILURE, "the x86 package beside the x64 agent gave %d, expected failure 1603" % rc)
    check(package.logged_properties(log).get("QUORVAX64FOUND") == package.codes["build"],
          "the x86 package did not find the x64 agent: %s" % package.logged_properties(log).get("QUORVAX64FOUND"))
    check(package.products("32") == [] and not m.unix(exe32).exists(), "the refused x86 package left %s" %
          package.products("32"))
    package.expect_installed("build")
    rc, output = package.msiexec("/x", "build")
    check(rc == 0 and package.products() == [], "removing failed (%d): %s" % (rc, output))


# ----- the scenario table ------------------------------------------------------------------------
class Row:
    """One scenario: its function, whether it needs a running machine, and the
    machines it does not run on, each with the reason (listed in README.md)."""

    def __init__(self, fn, wine=True, not_on=None):
        self.name, self.fn, self.wine, self.not_on = fn.__name__, fn, wine, dict(not_on or {})
        unknown = set(self.not_on) - set(machines.KINDS)
        assert not unknown, "%s excludes unknown machines %s" % (self.name, unknown)

    def runs_on(self, machine):
        return machine not in self.not_on


STORM_ONCE = ("many users' agents at once cost tens of seconds per run; the storm needs nothing the x64 "
              "machine lacks, so it runs there only")

SCENARIO_TABLE = [
    Row(resources, wine=False,
        not_on={"x86on64": "reads the executable only; the x86 file is the one checked on the x86 machine"}),
    Row(recorders_in_place),
    Row(service_stand_in),
    Row(window_hidden_and_close),
    Row(no_install_folder),
    Row(logon_complete),
    Row(logon_user_outside_code_page),
    Row(logon_service_error),
    Row(logon_no_service),
    Row(logon_request_gone),
    Row(old_answer_in_file),
    Row(logon_missing_memberid),
    Row(setup_resident_any_case),
    Row(setup_logon_template_only),
    Row(second_copy),
    Row(two_copies_take_turns),
    Row(turn_within_script_wait_limit),
    Row(logoff_with_script),
    Row(script_wait_limit),
    Row(shutdown_restart_by_setting),
    Row(shutdown_plain),
    Row(query_during_startup),
    Row(held_request_startup_ends),
    Row(held_restart_startup_ends),
    Row(service_stopped),
    Row(close_app_request),
    # Many Wine processes at once: about 45 s on this machine, so one machine runs them.
    Row(logon_storm, not_on={"x86on64": STORM_ONCE, "x86": STORM_ONCE}),
    Row(shutdown_storm, not_on={"x86on64": STORM_ONCE, "x86": STORM_ONCE}),
    Row(package_install_upgrade_remove,
        not_on={"x86on64": "on 64-bit Windows the x64 package is the one deployed; the x86 package would "
                           "install into Program Files (x86)"}),
]
SCENARIOS = {row.name: row for row in SCENARIO_TABLE}


# ----- running ---------------------------------------------------------------------------------------
def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("name", nargs="?")
    parser.add_argument("--machine", choices=sorted(machines.KINDS), default="x64")
    parser.add_argument("--dist", help="the folder holding x64/quorva.exe and x86/quorva.exe")
    parser.add_argument("--build", help="the build root holding x64/tools, x86/tools and e2e/")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--ctest", metavar="MACHINE", choices=sorted(machines.KINDS))
    args = parser.parse_args()
    if args.ctest:
        print(";".join(row.name for row in SCENARIO_TABLE if row.runs_on(args.ctest)))
        return 0
    if args.list or not args.name:
        for row in SCENARIO_TABLE:
            print("%-28s %s" % (row.name, " ".join(row.fn.__doc__.split())))
            for machine, reason in row.not_on.items():
                print("%-28s   not on %s: %s" % ("", machine, reason))
        return 0
    row = SCENARIOS.get(args.name)
    if not row:
        print("unknown scenario %s" % args.name)
        return 2
    if not row.runs_on(args.machine):
        print("SKIPPED %s on %s: %s" % (args.name, args.machine, row.not_on[args.machine]))
        return machines.SKIP_RETURN_CODE
    kind = machines.KINDS[args.machine]
    print("scenario %s on %s (%s): %s" % (args.name, kind.name, kind.description, " ".join(row.fn.__doc__.split())),
          flush=True)
    started = time.monotonic()
    machine = Machine(kind, args.dist, args.build)
    try:
        if not row.wine:
            row.fn(machine)
        else:
            with machine as m:
                try:
                    row.fn(m)
                    # Whatever the scenario, the agent writes nothing relative to its current folder.
                    check(m.stray_files() == [], "the agent wrote into its current folder: %s" % m.stray_files())
                except Failure:
                    print_log(m)
                    print("  journal:\n    " + "\n    ".join(m.journal()))
                    raise
    except Skipped as skipped:
        print("SKIPPED %s: %s" % (args.name, skipped))
        return machines.SKIP_RETURN_CODE
    except Failure as failure:
        print("FAILED %s after %.1f s:\n%s" % (args.name, time.monotonic() - started, failure))
        return 1
    except Exception:
        traceback.print_exc()
        print("FAILED %s (harness error)" % args.name)
        return 1
    print("PASSED %s on %s in %.1f s" % (args.name, kind.name, time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
