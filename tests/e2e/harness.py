"""A simulated Windows machine for the real quorva.exe: a Wine prefix with the
product's registry values, install folder and data folders, a virtual X
display, the stand-in service and deployer, and recording replacements for the
system's shutdown.exe and wineboot.exe.

Each kind of machine (machines.KINDS: x64, x86on64, x86) has a Wine prefix of
its own under <build>/e2e/<kind>, prepared once; every scenario then starts
from the same clean state: the registry files are put back from the copies
taken right after preparation and the folders that scenarios touch are
removed. On one machine scenarios run one after another (one wineserver per
prefix); different machines run side by side.
"""

import contextlib
import fcntl
import os
import pwd
import re
import select
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path

import machines

BASE_OVERRIDES = "mscoree,mshtml="
# Only the agent (and what it starts) sees the recorders instead of the system programs.
AGENT_OVERRIDES = BASE_OVERRIDES + ";shutdown.exe,wineboot.exe=n"
JOURNAL_WIN = r"C:\quorva-e2e\journal.log"
INSTALL_WIN = "C:\\Program Files\\VORLAN\\"
DEPLOYER_WIN = INSTALL_WIN + r"QVRT\quorvarun.exe"
STOP_FILE_WIN = r"C:\quorva-e2e\quorvahost.stop"
PREFIX_STAMP = "quorva-e2e-prefix-2"


class Failure(AssertionError):
    pass


class Skipped(Exception):
    """This machine cannot be stood up here; the reason says why."""


def check(condition, message):
    if not condition:
        raise Failure(message)


def unix_user():
    # Under Wine, GetUserNameW answers the Unix account's name.
    return pwd.getpwuid(os.getuid()).pw_name


class Display:
    """A virtual X display on a free display number, for as long as the scenario runs."""

    def __init__(self):
        self.process = None
        self.name = None

    def start(self):
        # Another test's X server may take the same free number at the same
        # moment; such a start is simply tried again.
        for attempt in range(5):
            try:
                return self._start_once()
            except Failure:
                if attempt == 4:
                    raise
                time.sleep(0.5)

    def _start_once(self):
        read_end, write_end = os.pipe()
        # -noreset: by default an X server resets itself whenever its last
        # client goes, and a client that connects during the reset loses its
        # connection. The readiness check below is such a client, and so is
        # every short-lived probe; a Wine process caught by a reset dies with
        # "X connection broken", or its desktop comes up without a driver.
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-noreset", "-screen", "0", "1024x768x24"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        # The server writes the number and its line end in two writes, and
        # ends itself ("Cannot write display number") when the second finds
        # the pipe closed: the whole line is read before the pipe is closed.
        text = b""
        deadline = time.monotonic() + 20
        while not text.endswith(b"\n"):
            ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
            chunk = os.read(read_end, 64) if ready else b""
            if not chunk:
                break
            text += chunk
        os.close(read_end)
        number = text.decode(errors="replace").strip()
        if not number.isdigit():
            self.stop()
            raise Failure("Xvfb did not report a display number")
        self.name = ":" + number
        # Only a server that completes a connection is ready for Wine's X11 driver.
        deadline = time.monotonic() + 10
        while not self._accepts_connections(number):
            if time.monotonic() >= deadline or self.process.poll() is not None:
                self.stop()
                raise Failure("display %s accepts no connection" % self.name)
            time.sleep(0.1)
        return self

    @staticmethod
    def _accepts_connections(number):
        # X clients on Linux try the abstract socket first, then the file.
        for address in ("\0/tmp/.X11-unix/X" + number, "/tmp/.X11-unix/X" + number):
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
                try:
                    probe.connect(address)
                    return True
                except OSError:
                    pass
        return False

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.process.wait(15)
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()


class Machine:
    """The Wine prefix as a Windows machine, with the tools to drive it."""

    def __init__(self, kind, dist, build, quiet=False, work=None):
        self.kind = machines.KINDS[kind] if isinstance(kind, str) else kind
        self.build = Path(build).resolve()
        self.work = Path(work).resolve() if work else self.build / "e2e" / self.kind.name
        self.exe = Path(dist).resolve() / self.kind.arch / "quorva.exe"
        self.tools = self.tools_of(self.kind.arch)
        self.prefix = self.work / "prefix"
        self.pristine = self.work / "pristine"
        self.drive_c = self.prefix / "drive_c"
        self.user = unix_user()
        self.display = None
        self.host = None
        self.agents = []
        self.quiet = quiet
        self._lock = None

    def tools_of(self, arch):
        return self.build / arch / "tools"

    # ----- paths -------------------------------------------------------------------
    def unix(self, windows_path):
        """The Unix path of a C: path of the prefix."""
        check(windows_path[:3].upper() == "C:\\", "not a C: path: " + windows_path)
        return self.drive_c / windows_path[3:].replace("\\", "/")

    @property
    def install(self):
        return self.unix(INSTALL_WIN)

    @property
    def data(self):
        return self.drive_c / "ProgramData" / "Vorlan"

    @property
    def handoff(self):
        return self.data / "QVRT" / ("quorvaProcDetails_%s.ini" % self.user)

    @property
    def taskkill_file(self):
        return self.data / "QVRT" / "quorvaShutTaskKill.ini"

    @property
    def post_folder(self):
        return self.install / "QVRTPostLogs"

    @property
    def agent_cwd(self):
        return self.drive_c / "quorva-e2e" / "cwd"

    def stray_files(self):
        """Files the agent wrote relative to its current folder."""
        return self.files_under(self.agent_cwd)

    @property
    def journal_file(self):
        return self.unix(JOURNAL_WIN)

    # ----- environment -------------------------------------------------------------------
    def env(self, overrides=BASE_OVERRIDES, **extra):
        env = dict(os.environ)
        env.update(WINEPREFIX=str(self.prefix), WINEARCH=self.kind.winearch, WINEDEBUG="-all",
                   WINEDLLOVERRIDES=overrides, QUORVA_E2E_JOURNAL=JOURNAL_WIN)
        if self.display:
            env["DISPLAY"] = self.display.name
        env.pop("WINELOADERNOEXEC", None)
        env.pop("WINELOADER", None)
        env.update(extra)
        return env

    def say(self, text):
        if not self.quiet:
            print("  [machine] " + text, flush=True)

    def wine(self, *args, overrides=BASE_OVERRIDES, timeout=60, check_rc=True, loader=None, extra=None):
        """Runs a Windows program to its end; returns (exit code, stdout, stderr).

        The program runs with the agent's loader (32-bit programs for an x86
        agent), unless loader names another, e.g. self.kind.system_loader.

        Output goes through files, not pipes: the first Wine process of a
        wineserver starts helper processes that inherit its handles and keep a
        pipe open long after the program itself has ended."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            process = subprocess.Popen([loader or self.kind.agent_loader, *map(str, args)],
                                       env=self.env(overrides, **(extra or {})),
                                       stdout=out, stderr=err, stdin=subprocess.DEVNULL)
            try:
                rc = process.wait(timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                raise Failure("wine %s did not end within %d s" % (" ".join(map(str, args)), timeout))
            out.seek(0)
            err.seek(0)
            stdout, stderr = out.read(), err.read()
        if check_rc:
            check(rc == 0, "wine %s failed (%d): %s" % (
                " ".join(map(str, args)), rc, stderr.decode(errors="replace")[-2000:]))
        return rc, stdout, stderr

    def wineserver(self, *args, timeout=60):
        subprocess.run(["wineserver", *args], env=self.env(), timeout=timeout,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # ----- life cycle -------------------------------------------------------------------
    def __enter__(self):
        if self.kind.needs_x86:
            reason = machines.x86_unavailable()
            if reason:
                raise Skipped("%s cannot run here: %s" % (self.kind.description, reason))
        self.work.mkdir(parents=True, exist_ok=True)
        self._lock = open(self.work / "prefix.lock", "w")
        fcntl.flock(self._lock, fcntl.LOCK_EX)  # one scenario per prefix at a time
        check(self.exe.is_file(), "agent executable missing: %s" % self.exe)
        for tool in ("quorvaprobe.exe", "quorvahost.exe", "quorvarun.exe"):
            check((self.tools / tool).is_file(), "stand-in missing: %s" % (self.tools / tool))
        for _, arch in self.kind.recorder_folders():
            for tool in ("shutdown.exe", "wineboot.exe"):
                check((self.tools_of(arch) / tool).is_file(), "recorder missing: %s" % (self.tools_of(arch) / tool))
        try:
            self._prepare_prefix()
            self._reset()
            self._start_session()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        try:
            if self.host and self.host.poll() is None:
                self.unix(STOP_FILE_WIN).touch()
                with contextlib.suppress(subprocess.TimeoutExpired):
                    self.host.wait(3)
            self.wineserver("-k")
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.wineserver("-w", timeout=20)
            for process in [self.host, *self.agents]:
                if process and process.poll() is None:
                    process.kill()
        finally:
            if self.display:
                self.display.stop()
            if self._lock:
                self._lock.close()
        return False

    def _start_session(self):
        """A virtual display and a persistent wineserver with a working desktop.

        Every later process joins the persistent wineserver. Its first process
        is "wineboot --init" itself, started without the recorders' override so
        that the real program runs (a first process of any other kind starts it
        on its own, beside the desktop process, and the two race). Should
        Wine's desktop process still come up without its X11 driver ("The
        explorer process failed to start"), no process of that wineserver can
        create a window; such a session is thrown away and started again from
        the pristine registry: what the failed desktop left in it made every
        later start of the same prefix fail the same way. (Most such starts
        were an X server that had ended itself: see Display._start_once.)"""
        for attempt in range(12):
            if self._start_session_once():
                return
            self.say("the Wine desktop came up without its display driver; starting again")
            self._reset()
            self.display.stop()
            time.sleep(min(0.5 * attempt, 2))
        raise Failure("the Wine desktop did not come up with a display driver in twelve starts")

    def _start_session_once(self):
        """One start of display, wineserver and desktop; whether the desktop works."""
        try:
            self.display = Display().start()
        except Failure as failure:
            self.say(str(failure))
            return False
        self.say("virtual display %s" % self.display.name)
        self.wineserver("-p")
        # QUORVA_E2E_WINEDEBUG shows what Wine said while the session came up.
        debug = os.environ.get("QUORVA_E2E_WINEDEBUG")
        _, _, errors = self.wine("wineboot.exe", "--init", check_rc=False, loader=self.kind.system_loader,
                                 extra={"WINEDEBUG": debug} if debug else None)
        if self._desktop_works():
            return True
        if debug:
            self.say("Wine's messages during wineboot --init: " + errors.decode(errors="replace")[-3000:])
        return False

    def _desktop_works(self):
        """Whether a process of this session can create a window.

        A process settles its display driver at its first window, so a probe
        that came too early for a slow desktop fails alone: it is asked again
        (a fresh process) before the session counts as broken."""
        for look in range(3):
            values = self.keyvalues(self.probe("iconwindow", 50))
            if values.get("hwnd", "0x0") != "0x0":
                if look:
                    self.say("the desktop answered the probe's look %d" % (look + 1))
                return True
            time.sleep(1)
        return False

    def _prepare_prefix(self):
        # What decides the kind of prefix that wineboot makes: the Wine release,
        # whether 32-bit Wine is there (a 64-bit prefix made without it has no
        # working WoW64 and does not start once it is installed), the prefix's
        # architecture.
        stamp = self.work / "prefix.stamp"
        wine_version = subprocess.run([self.kind.system_loader, "--version"], capture_output=True,
                                      text=True).stdout.strip()
        wanted = "%s %s wine32=%s %s %s" % (PREFIX_STAMP, wine_version, "yes" if machines.wine32_installed() else "no",
                                            self.kind.winearch, self.kind.name)
        if stamp.is_file() and stamp.read_text() == wanted and (self.pristine / "system.reg").is_file():
            return
        self.say("preparing a new Wine prefix (once): %s" % self.prefix)
        shutil.rmtree(self.prefix, ignore_errors=True)
        shutil.rmtree(self.pristine, ignore_errors=True)
        subprocess.run([self.kind.system_loader, "wineboot.exe", "-i"], env=self.env(), timeout=300,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.wineserver("-w", timeout=120)
        check((self.prefix / "system.reg").is_file(), "wineboot -i did not create the prefix")
        self.pristine.mkdir(parents=True)
        for name in ("system.reg", "user.reg", "userdef.reg"):
            shutil.copy2(self.prefix / name, self.pristine / name)
        stamp.write_text(wanted)

    def _reset(self):
        self.wineserver("-k")
        with contextlib.suppress(subprocess.TimeoutExpired):
            self.wineserver("-w", timeout=30)
        for name in ("system.reg", "user.reg", "userdef.reg"):
            shutil.copy2(self.pristine / name, self.prefix / name)
        for folder in ("ProgramData/Vorlan", "Program Files/VORLAN", "Program Files (x86)/VORLAN", "quorva-e2e"):
            shutil.rmtree(self.drive_c / folder, ignore_errors=True)
        # Each system folder gets recorders of its own architecture: the x86
        # agent on 64-bit Windows reaches syswow64 through its system32 paths.
        for folder, arch in self.kind.recorder_folders():
            for stub in ("shutdown.exe", "wineboot.exe"):
                target = self.drive_c / "windows" / folder / stub
                target.unlink(missing_ok=True)  # never write through a link into the original
                shutil.copy2(self.tools_of(arch) / stub, target)
        (self.drive_c / "quorva-e2e").mkdir()

    # ----- laying out the machine -------------------------------------------------------
    def layout(self, install=True, deployer=True, data_folders=True, templates=None, registry=None,
               shutdown_setting=None):
        """A typical installed machine; each part can be left out or changed.

        templates: {"Logon": seconds, "Logoff": seconds, "Shutdown": seconds}
        registry: the values of HKLM\\SOFTWARE\\VORLAN (None: the standard ones;
                  a value of None leaves that value out).
        """
        if templates is None:
            templates = {"Logon": 1, "Logoff": 1, "Shutdown": 1}
        values = {"InstallationPath": INSTALL_WIN, "REGID": "R-20417", "TYPE": "WKS",
                  "MEMBERID": "M-3310", "SITEID": "S-0042"}
        if registry is not None:
            values.update(registry)
        if install:
            qvrt = self.install / "QVRT"
            (qvrt / "Trigger").mkdir(parents=True, exist_ok=True)
            if deployer:
                shutil.copy2(self.tools / "quorvarun.exe", qvrt / "quorvarun.exe")
            for event, seconds in templates.items():
                (qvrt / "Trigger" / ("Default_%s.xml" % event)).write_text(
                    '<script event="%s" seconds="%d"/>\r\n' % (event, seconds))
        if data_folders:
            (self.data / "QVRT").mkdir(parents=True, exist_ok=True)
        lines = ["Windows Registry Editor Version 5.00", ""]
        product = {k: v for k, v in values.items() if v is not None}
        if install or registry:
            # The key as the agent names it; the import's view puts it where
            # this machine's agent reads it (Wow6432Node for x86 on 64-bit).
            lines.append(r"[HKEY_LOCAL_MACHINE\SOFTWARE\VORLAN]")
            for name, value in product.items():
                if isinstance(value, int):
                    lines.append('"%s"=dword:%08x' % (name, value))
                else:
                    lines.append('"%s"="%s"' % (name, value.replace("\\", "\\\\").replace('"', '\\"')))
            lines.append("")
        if shutdown_setting is not None:
            lines.append(r"[HKEY_CURRENT_USER\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer]")
            lines.append('"Shutdown Setting"=dword:%08x' % shutdown_setting)
            lines.append("")
        if len(lines) > 2:
            reg = self.drive_c / "quorva-e2e" / "machine.reg"
            reg.write_bytes(("\r\n".join(lines) + "\r\n").encode("utf-16"))
            self.reg("import", r"C:\quorva-e2e\machine.reg")
        self.say("laid out: install=%s deployer=%s templates=%s registry=%s shutdown_setting=%s" % (
            install, deployer, templates, {k: v for k, v in product.items()} if install or registry else None,
            shutdown_setting))

    def reg(self, *args, view=None):
        """reg.exe of the system (64-bit on 64-bit Windows) in a named registry view:
        the agent's view unless view says otherwise. Never left to the `wine`
        script, which may pick the 32-bit reg.exe and with it the 32-bit view."""
        return self.wine("reg", *args, "/reg:" + (view or self.kind.view), loader=self.kind.system_loader)

    # ----- the stand-in service ---------------------------------------------------------
    def start_service(self, *options):
        args = [str(self.tools / "quorvahost.exe"), "--journal", JOURNAL_WIN, "--stop-file", STOP_FILE_WIN,
                *options]
        self.host = subprocess.Popen([self.kind.agent_loader, *args], env=self.env(), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        self.wait_for(lambda: any("quorvahost.exe running" in l for l in self.journal()), 20,
                      "the stand-in service did not start")
        self.say("stand-in service running %s" % " ".join(options))

    def stop_service(self):
        self.unix(STOP_FILE_WIN).touch()
        if self.host:
            self.host.wait(20)
        self.wait_for(lambda: self.service_pids() == [], 10, "the stand-in service did not stop")
        self.say("stand-in service stopped")

    def service_pids(self):
        return [p["pid"] for p in self.processes("quorvahost.exe")]

    # ----- the agent ----------------------------------------------------------------------
    def start_agent(self, *args, winedebug=None):
        """Starts quorva.exe; returns (unix process, Windows pid). `winedebug`: Wine's channels
        for this agent, its messages kept in agent-N.err (agent_events reads them)."""
        before = {p["pid"] for p in self.processes("quorva.exe")}
        # QUORVA_E2E_WINEDEBUG (e.g. "err+all") keeps Wine's messages about the agent in agent-N.err.
        debug = winedebug or os.environ.get("QUORVA_E2E_WINEDEBUG")
        extra = {"WINEDEBUG": debug} if debug else {}
        # Wine's GetUserNameW answers USER (and LOGNAME): a scenario names its user by setting m.user.
        extra.update(USER=self.user, LOGNAME=self.user)
        errors = open(self.work / ("agent-%d.err" % len(self.agents)), "wb") if debug else subprocess.DEVNULL
        # The agent's current folder is one the scenarios watch (C:\quorva-e2e\cwd):
        # a path built from an empty member lands there instead of in the tree
        # the tests were started from.
        self.agent_cwd.mkdir(exist_ok=True)
        process = subprocess.Popen([self.kind.agent_loader, str(self.exe), *args],
                                   env=self.env(AGENT_OVERRIDES, **extra),
                                   stdout=subprocess.DEVNULL, stderr=errors, stdin=subprocess.DEVNULL,
                                   cwd=self.agent_cwd)
        self.agents.append(process)
        pid = None
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and process.poll() is None:
            fresh = [p["pid"] for p in self.processes("quorva.exe") if p["pid"] not in before]
            if fresh:
                pid = fresh[0]
                break
            time.sleep(0.2)
        self.say("quorva.exe %s started (Windows pid %s)" % (" ".join(args), pid))
        return process, pid

    def run_agent(self, *args, timeout=60):
        """Runs an agent that is expected to end by itself; returns its exit code."""
        process, _ = self.start_agent(*args)
        try:
            rc = process.wait(timeout)
            self.say("quorva.exe %s ended with exit code %d" % (" ".join(args), rc))
            return rc
        except subprocess.TimeoutExpired:
            raise Failure("quorva.exe %s did not end within %d s" % (" ".join(args), timeout))

    def agent_events(self, index):
        """The Application log entries of the index-th agent started with winedebug="+eventlog"."""
        return parse_wine_events((self.work / ("agent-%d.err" % index)).read_text("utf-8", "replace"))

    def wait_exit(self, process, timeout, what="quorva.exe"):
        try:
            return process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("%s did not end within %d s" % (what, timeout))

    # ----- the probe ----------------------------------------------------------------------
    def probe(self, *args, timeout=60):
        _, stdout, _ = self.wine(self.tools / "quorvaprobe.exe", *args, timeout=timeout, check_rc=False)
        return stdout.decode("utf-8", errors="replace").splitlines()

    def probe_async(self, *args):
        """Starts the probe without waiting; its output goes to a file (see wine())."""
        out = tempfile.TemporaryFile()
        process = subprocess.Popen([self.kind.agent_loader, str(self.tools / "quorvaprobe.exe"), *map(str, args)],
                                   env=self.env(), stdout=out, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        process.output_file = out
        return process

    @staticmethod
    def keyvalues(lines):
        out = {}
        for line in lines:
            key, sep, value = line.partition("=")
            if sep:
                out[key] = value
        return out

    def processes(self, name):
        found = []
        for line in self.probe("list", name):
            if line.startswith("pid="):
                fields = dict(part.split("=", 1) for part in line.split())
                found.append({"pid": int(fields["pid"]), "session": int(fields["session"])})
        return found

    def windows(self, pid):
        windows, current = [], None
        for line in self.probe("windows", pid):
            key, _, value = line.partition("=")
            if key == "window":
                current = {}
                windows.append(current)
            elif key == "count":
                current = None
            elif current is not None:
                current[key] = value
        for w in windows:
            for key in ("style", "exstyle"):
                w[key] = int(w[key], 16)
            for key in ("visible", "width", "height", "bigicon", "smallicon", "classicon"):
                w[key] = int(w[key])
        return windows

    def agent_window(self, pid, timeout=20):
        found = []

        def look():
            found[:] = [w for w in self.windows(pid) if w["caption"] == "quorva"]
            return bool(found)

        self.wait_for(look, timeout, "no window captioned \"quorva\" in process %s" % pid)
        return found[0]

    def icons_readable_from_outside(self):
        """Whether this platform answers WM_GETICON for another process's window.

        Measured on a reference window whose icons are known to be set. Under
        Wine 8 the answer is no (WM_GETICON sent from another process returns 0),
        so there the agent's icons cannot be observed from outside at all."""
        reference = self.probe_async("iconwindow", 8000)
        try:
            hwnd = None
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and not hwnd:
                time.sleep(0.2)
                hwnd = self.keyvalues(self._output_of(reference).decode(errors="replace").splitlines()).get("hwnd")
            check(hwnd, "the probe's reference window did not appear")
            answers = [w for w in self.windows_of_probe(hwnd)]
            return bool(answers and answers[0])
        finally:
            reference.kill()
            reference.wait()

    def windows_of_probe(self, hwnd):
        """bigicon of the reference window, as another process reads it."""
        pid = [p["pid"] for p in self.processes("quorvaprobe.exe")]
        for candidate in pid:
            for w in self.windows(candidate):
                if w["hwnd"].lower() == hwnd.lower():
                    yield w["bigicon"] and w["smallicon"]

    def query_end_session(self, hwnd, lparam):
        """Sends WM_QUERYENDSESSION from another process; returns the running probe."""
        self.say("WM_QUERYENDSESSION lParam=0x%08X sent" % lparam)
        return self.probe_async("query", hwnd, "0x%X" % lparam, 600000)

    def query_end_session_at_start(self, lparam):
        """A probe, ready before the agent starts, that sends WM_QUERYENDSESSION the moment the agent's
        window exists: the request reaches the agent while its start-up still sleeps, however long
        this machine takes to start programs. Start the agent after this returns."""
        probe = self.probe_async("queryfirst", "quorva", "0x%X" % lparam, 30000)
        self.wait_for(lambda: b"waiting=1" in self._output_of(probe) or probe.poll() is not None, 30,
                      "the probe did not start")
        self.say("WM_QUERYENDSESSION lParam=0x%08X to be sent as soon as the agent's window exists" % lparam)
        return probe

    @staticmethod
    def _output_of(probe):
        probe.output_file.seek(0)
        return probe.output_file.read()

    def result_of(self, probe, timeout):
        """What the probe said of its WM_QUERYENDSESSION, once it has ended."""
        try:
            probe.wait(timeout)
        except subprocess.TimeoutExpired:
            probe.kill()
            raise Failure("WM_QUERYENDSESSION was not answered within %d s" % timeout)
        values = self.keyvalues(self._output_of(probe).decode(errors="replace").splitlines())
        probe.output_file.close()
        return values

    def answer_of(self, probe, timeout):
        values = self.result_of(probe, timeout)
        check(values.get("sent") == "1", "WM_QUERYENDSESSION could not be sent: %s" % values)
        return int(values["answer"])

    # ----- waiting -------------------------------------------------------------------------
    @staticmethod
    def wait_for(predicate, timeout, message, interval=0.25):
        deadline = time.monotonic() + timeout
        while True:
            if predicate():
                return
            if time.monotonic() >= deadline:
                raise Failure(message + " (waited %d s)" % timeout)
            time.sleep(interval)

    # ----- what the machine shows afterwards ---------------------------------------------------
    def log_files(self):
        folder = self.data / "ApplicationLog"
        return sorted(folder.glob("*.Log")) if folder.is_dir() else []

    def log_files_of(self, user=None):
        """The day's log files of user (the machine's own user unless named)."""
        user = (user or self.user).lower()
        return [f for f in self.log_files() if f.name.lower().endswith("_[%s].log" % user)]

    def log_file(self):
        files = self.log_files_of()
        return files[0] if files else None

    def log_entries(self):
        path = self.log_file()
        return parse_log(path.read_bytes())[1] if path else []

    def journal(self):
        path = self.journal_file
        if not path.is_file():
            return []
        return path.read_bytes().decode("utf-8", errors="replace").splitlines()

    def reports(self):
        folder = self.post_folder
        return sorted(folder.glob("*.xml")) if folder.is_dir() else []

    def files_under(self, root):
        root = Path(root)
        return sorted(str(p.relative_to(root)) for p in root.rglob("*")) if root.exists() else []


# ----- the application log ------------------------------------------------------------------------
ENTRY_START = re.compile(rb"^(\d\d/\d\d/\d{4}) (\d\d:\d\d:\d\d [^\t]*)\t")


class Entry:
    __slots__ = ("date", "time", "module", "type", "val1", "val2", "val3", "raw")

    def __init__(self, date, time_, module, type_, val1, val2, val3, raw):
        self.date, self.time, self.module, self.type = date, time_, module, type_
        self.val1, self.val2, self.val3, self.raw = val1, val2, val3, raw

    def fields(self):
        return (self.module, self.type, self.val1, self.val2, self.val3)

    def __repr__(self):
        return "%s | %s | %s | %s | %s" % tuple(repr(f)[1:-1] for f in self.fields())


# Wine's ReportEventW stores nothing; with the eventlog channel on it prints the call (the type and
# the event ID) as a fixme of advapi, then every line of every non-empty insertion string on the
# eventlog channel (err for an error, warn for a warning, trace otherwise).
WINE_REPORT = re.compile(r"fixme:advapi:ReportEventW \([^,]*,0x([0-9a-f]{4}),0x[0-9a-f]{4},0x([0-9a-f]{8}),")
WINE_STRING = re.compile(r"(?:err|warn|trace):eventlog:ReportEventW L\"(.*)\"$")


def parse_wine_events(text):
    """[(type, event ID, [insertion strings])] in the order reported."""
    events = []
    for line in text.splitlines():
        call = WINE_REPORT.search(line)
        if call:
            events.append((int(call.group(1), 16), int(call.group(2), 16), []))
            continue
        string = WINE_STRING.search(line)
        if string and events:
            strings = events[-1][2]
            # A string with line breaks comes one line at a time.
            if strings and strings[-1].endswith("\n"):
                strings[-1] += _unescape_wine(string.group(1))
            else:
                strings.append(_unescape_wine(string.group(1)))
    return events


def _unescape_wine(text):
    # debugstr_w's escapes: \\, \", \n, \r, \t and \XXXX for any other character.
    simple = {"n": "\n", "r": "\r", "t": "\t"}
    return re.sub(r"\\([0-9a-f]{4}|.)",
                  lambda found: chr(int(found.group(1), 16)) if len(found.group(1)) == 4
                  else simple.get(found.group(1), found.group(1)), text)


def parse_log(data):
    """Header lines and entries of a day's log (ANSI text, CR LF line ends).

    A value may hold line feeds (the event report), so an entry runs until
    the next line that begins with a date and a time. Only val2 ever carries
    tabs (the report's indents): the first three and the last field are split
    off by tabs and the rest is val2.
    """
    check(b"\n" not in data.replace(b"\r\n", b""), "a line feed without a carriage return in the log")
    lines = data.split(b"\r\n")
    if lines and lines[-1] == b"":
        lines.pop()
    header, blocks = [], []
    for line in lines:
        if not blocks and line.startswith(b"#"):
            header.append(line.decode("cp1252", errors="replace"))
        elif ENTRY_START.match(line):
            blocks.append([line])
        else:
            check(blocks, "log text before the first entry: %r" % line)
            blocks[-1].append(line)
    entries = []
    for block in blocks:
        raw = b"\n".join(block)
        m = ENTRY_START.match(raw)
        rest = raw[m.end():].decode("cp1252", errors="replace").split("\t")
        check(len(rest) >= 5, "an entry with fewer than six columns: %r" % raw)
        module, type_, val1, *middle, val3 = rest
        entries.append(Entry(m.group(1).decode(), m.group(2).decode(), module, type_, val1,
                             "\t".join(middle), val3, raw))
    return header, entries


# ----- comparing entry sequences -----------------------------------------------------------------
class Any:
    def __repr__(self):
        return "<any>"


ANY = Any()


class Rx:
    def __init__(self, pattern):
        self.pattern = re.compile(pattern, re.S)

    def matches(self, text):
        return bool(self.pattern.fullmatch(text))

    def __repr__(self):
        return "/%s/" % self.pattern.pattern


class Repeat:
    """The inner sequence, between `least` and `most` times in a row."""

    def __init__(self, items, least=1, most=10**6):
        self.items, self.least, self.most = list(items), least, most

    def __repr__(self):
        return "Repeat(%d..%s)%r" % (self.least, self.most, self.items)


def Optional(*items):
    return Repeat(items, 0, 1)


def field_matches(expected, actual):
    if expected is ANY:
        return True
    if isinstance(expected, Rx):
        return expected.matches(actual)
    return expected == actual


def entry_matches(expected, entry):
    return all(field_matches(e, a) for e, a in zip(expected, entry.fields()))


def match_sequence(entries, pattern):
    """(True, n) when the entries are exactly the pattern, repeats expanded;
    otherwise (False, n) with n the furthest entry any expansion agreed up to."""
    best = [0]

    def go(items, i):
        best[0] = max(best[0], i)
        if not items:
            return i == len(entries)
        head, rest = items[0], items[1:]
        if isinstance(head, Repeat):
            most = min(head.most, len(entries) - i)
            return any(go(head.items * times + rest, i) for times in range(head.least, most + 1))
        if i < len(entries) and entry_matches(head, entries[i]):
            return go(rest, i + 1)
        return False

    return go(list(pattern), 0), best[0]


def assert_sequence(entries, pattern, what="log"):
    ok, reached = match_sequence(entries, pattern)
    if ok:
        return
    lines = ["%s does not match; it agrees up to entry %d. Actual entries:" % (what, reached)]
    for n, e in enumerate(entries):
        lines.append("%s %3d  %r" % (">>" if n == reached else "  ", n, e))
    lines.append("Expected pattern:")
    lines.extend("      %r" % (p,) for p in pattern)
    raise Failure("\n".join(lines))


def journal_events(lines, who):
    """The journal lines of one stand-in, without the time stamp and the name."""
    out = []
    for line in lines:
        parts = line.split(" ", 2)
        if len(parts) == 3 and parts[1] == who:
            out.append(parts[2])
    return out


def journal_index(lines, who, predicate):
    for n, line in enumerate(lines):
        parts = line.split(" ", 2)
        if len(parts) == 3 and parts[1] == who and predicate(parts[2]):
            return n
    return -1
