#!/usr/bin/env python3
"""A whole session of the agent in a simulated Windows machine, told step by
step: the machine is laid out, the resident service starts, a user logs on
(an ordinary copy hands the logon script over), a resident copy waits
invisibly, and the user logs off: the resident copy holds the logoff back
while the logoff script runs, then logs the user off itself."""

import argparse
import sys
import textwrap
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import machines  # noqa: E402
from harness import DEPLOYER_WIN, INSTALL_WIN, Failure, Machine, Skipped, journal_events  # noqa: E402

WIDTH = 100


def heading(number, title, explanation):
    print()
    print("=" * WIDTH)
    print("%d. %s" % (number, title))
    print("=" * WIDTH)
    for line in textwrap.wrap(explanation, WIDTH - 3):
        print("   " + line)
    print()


def show_entries(entries):
    print("   The agent's application log (C:\\ProgramData\\Vorlan\\ApplicationLog\\), entries of this step:")
    for e in entries:
        values = [v for v in (e.val1, e.val2, e.val3)]
        if "\n" in e.val2:  # the event report text, over several lines
            print("     %s  %-24s %-5s %s" % (e.time, e.module, e.type, e.val1))
            for line in e.val2.split("\n"):
                print("         " + line.replace("\t", "  "))
            continue
        shown = " | ".join(v.replace("\r", "\\r").replace("\n", "\\n") for v in values)
        print("     %s  %-24s %-5s %s" % (e.time, e.module, e.type[:40], shown))


def show_reports(m, seen):
    fresh = [p for p in m.reports() if p not in seen]
    for path in fresh:
        print("   Event report %s\\QVRTPostLogs\\%s:" % (INSTALL_WIN.rstrip("\\"), path.name))
        for line in path.read_bytes().decode("cp1252").split("\r\n"):
            print("     " + line.replace("\t", "  "))
        seen.add(path)
    if not fresh:
        print("   No new event report.")


def show_handoff(m):
    path = m.handoff
    if not path.exists():
        print("   Hand-off file %s: absent" % path.name)
    elif path.stat().st_size == 0:
        print("   Hand-off file %s: present and empty (ready for the next request)" % path.name)
    else:
        print("   Hand-off file %s holds:" % path.name)
        for line in path.read_bytes().decode("cp1252").splitlines():
            print("     " + line)


def show_journal(m, start, who_text):
    lines = m.journal()[start:]
    print("   What the programs around the agent did (%s):" % who_text)
    for line in lines:
        print("     " + line)
    if not lines:
        print("     (nothing)")
    return len(m.journal())


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--machine", choices=sorted(machines.KINDS), default="x64",
                        help="x64: the x64 agent on 64-bit Windows; x86: the x86 agent on 32-bit Windows")
    parser.add_argument("--dist", required=True, help="the folder holding x64/ and x86/quorva.exe")
    parser.add_argument("--build", required=True, help="the build root holding x64/tools and x86/tools")
    parser.add_argument("--work", help="the machine's folder (default <build>/e2e/<machine>)")
    parser.add_argument("--logoff-seconds", type=int, default=6)
    args = parser.parse_args()

    machine = Machine(args.machine, args.dist, args.build, quiet=True, work=args.work)
    bits = "32-bit" if machine.kind.arch == "x86" else "64-bit"
    print(textwrap.fill(__doc__.replace("\n", " "), WIDTH))
    print("\nThe agent: %s, the %s build (%s), on %s." % (machine.exe, bits, machine.kind.arch,
                                                     "32-bit Windows" if machine.kind.winearch == "win32"
                                                     else "64-bit Windows"))
    print("Preparing the simulated machine (a Wine prefix under %s; the first time takes a minute)..." % machine.work)
    with machine as m:
        heading(1, "The machine", "A %s Windows machine with the product installed, running the %s agent. "
                "The registry names the install "
                "folder and the machine's registration; the install folder holds the script deployer and one "
                "script template per event; the data folder holds the hand-off files the agent shares with the "
                "resident service. shutdown.exe and wineboot.exe (which Wine's ExitWindowsEx runs) are replaced "
                "by recorders, so the logoff the agent issues is written down instead of ending the machine."
                % ("32-bit" if m.kind.winearch == "win32" else "64-bit", bits))
        m.layout(templates={"Logon": 2, "Logoff": args.logoff_seconds, "Shutdown": 2})
        print("   %s: InstallationPath=%s REGID=R-20417 TYPE=WKS MEMBERID=M-3310 SITEID=S-0042"
              % (m.kind.product_key.replace("HKEY_LOCAL_MACHINE", "HKLM"), INSTALL_WIN))
        print("   Install folder:")
        for name in m.files_under(m.install):
            print("     %s%s" % (INSTALL_WIN, name.replace("/", "\\")))
        print("   The logged-on user (Wine answers the Unix account's name): %s" % m.user)

        heading(2, "The resident service starts", "quorvahost.exe watches C:\\ProgramData\\Vorlan\\QVRT\\ for "
                "requests; it starts nothing but the installation's own deployer and answers with the deployer's "
                "process id.")
        m.start_service()
        mark = show_journal(m, 0, "service")

        heading(3, "The user logs on: an ordinary copy of quorva.exe", "Started without arguments, the agent "
                "finds the install folder, builds its paths, writes the logon request into the user's hand-off "
                "file, waits one second at a time for the service's answer, writes a \"Logon\" event report and "
                "ends by itself.")
        started = time.monotonic()
        rc = m.run_agent(timeout=60)
        print("   quorva.exe ended by itself after %.1f s (exit code %d)." % (time.monotonic() - started, rc))
        entries = m.log_entries()
        show_entries(entries)
        logged = len(entries)
        reports = set()
        show_reports(m, reports)
        show_handoff(m)
        mark = show_journal(m, mark, "service and deployer")

        heading(4, "A resident copy: quorva.exe setup", "With the argument \"setup\" the agent does not run the "
                "logon script. It stays, invisibly, to hold the end of the session back while the logoff or "
                "shutdown script runs.")
        process, pid = m.start_agent("setup")
        m.wait_for(lambda: any(e.val1 == "Success" and e.val2.startswith("The Logon script will not be executed")
                               for e in m.log_entries()[logged:]), 30, "the resident copy did not settle")
        window = m.agent_window(pid)
        time.sleep(1)
        entries = m.log_entries()
        show_entries(entries[logged:])
        logged = len(entries)
        print("   Its window, as another program sees it: class %s, caption \"%s\", visible=%d, size %dx%d,"
              % (window["class"], window["caption"], window["visible"], window["width"], window["height"]))
        print("   extended style 0x%X (WS_EX_TOOLWINDOW %s, WS_EX_APPWINDOW %s: no taskbar button); still running: %s"
              % (window["exstyle"], "set" if window["exstyle"] & 0x80 else "not set",
                 "set" if window["exstyle"] & 0x40000 else "not set", "yes" if process.poll() is None else "NO"))

        heading(5, "The user logs off", "Windows sends WM_QUERYENDSESSION with ENDSESSION_LOGOFF (0x80000000) to "
                "every window. The resident copy cancels any pending timed shutdown (shutdown.exe /a), asks the "
                "service to run the logoff script, writes a \"Logoff\" event report, looks every 5 seconds whether "
                "the script still runs and only then answers. The script here runs %d seconds." % args.logoff_seconds)
        sent = time.monotonic()
        probe = m.query_end_session(window["hwnd"], 0x80000000)
        answer = m.answer_of(probe, 180)
        held = time.monotonic() - sent
        print("   WM_QUERYENDSESSION answered %d after %.1f s: the agent held the logoff back while the script ran."
              % (answer, held))
        rc = m.wait_exit(process, 30)
        time.sleep(1.5)
        entries = m.log_entries()
        show_entries(entries[logged:])
        show_reports(m, reports)
        show_handoff(m)

        heading(6, "The re-issued logoff", "With the script finished, the agent logged the user off itself, "
                "forced: ExitWindowsEx(EWX_LOGOFF | EWX_FORCE), which Wine carries out by running "
                "\"wineboot.exe --kill --shutdown\", and the system's shutdown program with \"-l -f -t 00\". "
                "Both were recorded here instead of ending the session; the two lines may stand in either "
                "order, since each is a process of its own.")
        show_journal(m, mark, "service, deployer and recorders, in time order")
        runs = journal_events(m.journal(), "quorvarun.exe")
        print()
        print("   The deployer %s ran: %s" % (DEPLOYER_WIN, "; ".join(r for r in runs if r.startswith("start"))))
        print("   The resident copy ended (exit code %d) once it had issued the logoff." % rc)
        print()
        print("   Log file: %s" % m.log_file())
        print("Demo finished: the %s agent (dist/%s/quorva.exe) on %s." % (
            bits, m.kind.arch, "32-bit Windows" if m.kind.winearch == "win32" else "64-bit Windows"))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Skipped as skipped:
        print("\nThe demo cannot run here: %s" % skipped)
        sys.exit(1)
    except Failure as failure:
        print("\nThe demo could not be completed: %s" % failure)
        sys.exit(1)
