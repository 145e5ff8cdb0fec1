#!/usr/bin/env python3
"""The three kinds of Windows machine the end-to-end tests stand up, and whether
this machine can run the 32-bit ones at all.

    machines.py x86-reason     prints why 32-bit programs cannot run here and
                               exits 1, or prints nothing and exits 0

A kind says which build of the agent it runs, which Wine prefix architecture
it is, which loader starts the agent's programs and which the system's, which
registry view the agent reads and which system folder its "system32" paths
reach. What differs between the kinds lives here and nowhere else, so that one
scenario table runs unchanged on all of them.
"""

import os
import stat
import struct
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

WINE64_LOADER = "/usr/lib/wine/wine64"
WINE32_LOADER = "/usr/lib/wine/wine"
# ctest's SKIP_RETURN_CODE: the test did not run, and its output says why.
SKIP_RETURN_CODE = 77


@dataclass(frozen=True)
class Kind:
    name: str
    arch: str          # the agent's build: dist/<arch>/quorva.exe, <build>/<arch>/tools
    winearch: str      # the prefix: win64 (64-bit Windows, with WoW64) or win32
    view: str          # the registry view the agent reads: reg ... /reg:<view>
    agent_system: str  # where the agent's C:\windows\system32\... lands
    description: str

    @property
    def system_arch(self):
        return "x64" if self.winearch == "win64" else "x86"

    @property
    def needs_x86(self):
        return self.arch == "x86"

    def loader(self, arch):
        """The Wine loader for a program of this architecture, never the `wine`
        script's own choice (with 32-bit Wine installed, it picks the 32-bit one)."""
        if arch == "x64":
            return os.environ.get("QUORVA_WINE64_LOADER", WINE64_LOADER)
        return os.environ.get("QUORVA_WINE32_LOADER", WINE32_LOADER)

    @property
    def agent_loader(self):
        return self.loader(self.arch)

    @property
    def system_loader(self):
        return self.loader(self.system_arch)

    @property
    def product_key(self):
        """Where the registry file shows the agent's product key (what regedit shows)."""
        if self.winearch == "win64" and self.view == "32":
            return r"HKEY_LOCAL_MACHINE\SOFTWARE\Wow6432Node\VORLAN"
        return r"HKEY_LOCAL_MACHINE\SOFTWARE\VORLAN"

    def recorder_folders(self):
        """(system folder, architecture of the recorders it receives): every
        system folder of the prefix holds recorders built for it, as a 64-bit
        Windows holds 64-bit programs in system32 and 32-bit ones in syswow64."""
        if self.winearch == "win32":
            return [("system32", "x86")]
        folders = [("system32", "x64")]
        if self.arch == "x86":
            folders.append(("syswow64", "x86"))
        return folders


KINDS = {
    "x64": Kind("x64", "x64", "win64", "64", "system32",
                "the x64 agent on 64-bit Windows"),
    "x86on64": Kind("x86on64", "x86", "win64", "32", "syswow64",
                    "the x86 agent on 64-bit Windows (WoW64)"),
    "x86": Kind("x86", "x86", "win32", "32", "system32",
                "the x86 agent on 32-bit Windows"),
}


def tiny_i386_program():
    """A complete 32-bit Linux program that only exits with status 0: an ELF
    header, one loadable segment, and `mov eax,1; xor ebx,ebx; int 0x80`."""
    base, header_size, phdr_size = 0x08048000, 52, 32
    code = bytes([0xB8, 1, 0, 0, 0, 0x31, 0xDB, 0xCD, 0x80])
    entry = base + header_size + phdr_size
    ident = b"\x7fELF" + bytes([1, 1, 1, 0]) + bytes(8)
    header = ident + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, entry, header_size, 0, 0, header_size, phdr_size, 1,
                                 0, 0, 0)
    size = header_size + phdr_size + len(code)
    program = struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
    return header + program + code


def x86_unavailable():
    """Why 32-bit Windows programs cannot run here, or None when they can."""
    forced = os.environ.get("QUORVA_E2E_NO_X86")
    if forced:
        return "32-bit machines switched off by QUORVA_E2E_NO_X86 (%s)" % forced
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "i386-exit0"
        path.write_bytes(tiny_i386_program())
        path.chmod(stat.S_IRWXU)
        try:
            rc = subprocess.run([str(path)], timeout=10).returncode
        except OSError as error:
            return "this machine cannot run 32-bit programs (a tiny i386 program: %s)" % error
        if rc != 0:
            return "this machine cannot run 32-bit programs (a tiny i386 program ended with %d)" % rc
    loader = KINDS["x86"].loader("x86")
    if not os.access(loader, os.X_OK):
        return ("32-bit Wine is not installed (no %s; as root: dpkg --add-architecture i386, apt-get update, "
                "apt-get install wine32:i386)" % loader)
    try:
        done = subprocess.run([loader, "--version"], capture_output=True, timeout=30)
    except OSError as error:
        return "the 32-bit Wine loader %s does not start: %s" % (loader, error)
    if done.returncode != 0:
        return "the 32-bit Wine loader %s does not start: %s" % (
            loader, done.stderr.decode(errors="replace").strip()[-300:])
    return None


def wine32_installed():
    return os.access(KINDS["x86"].loader("x86"), os.X_OK)


def main(argv):
    if argv[1:] == ["x86-reason"]:
        reason = x86_unavailable()
        if reason:
            print(reason)
            return 1
        return 0
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
