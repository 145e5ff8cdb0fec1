#!/usr/bin/env python3
"""The budget check must fail when it should: an import missing from the
allowed list, a DLL outside the allowed set, an executable over the limit, a
missing or wrongly built executable. Run against the real dist/ folder."""
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_budget  # noqa: E402

DIST = os.environ.get("QUORVA_DIST_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "dist"))
ALLOWED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "allowed_imports.txt")


class BudgetCheckTest(unittest.TestCase):
    def setUp(self):
        for arch in ("x64", "x86"):
            if not os.path.isfile(os.path.join(DIST, arch, "quorva.exe")):
                self.skipTest("build dist/ first")
        self.allowed = check_budget.read_allowed(ALLOWED)

    def test_every_import_is_read_from_both_builds(self):
        for arch in ("x64", "x86"):
            magic, table = check_budget.imports(os.path.join(DIST, arch, "quorva.exe"))
            self.assertEqual(magic, "020b" if arch == "x64" else "010b")
            self.assertIn(("kernel32.dll", "CreateFileW"), table)
            self.assertIn(("user32.dll", "CreateDialogParamW"), table)
            self.assertNotIn(("user32.dll", "ShutdownBlockReasonCreate"), table,
                             "a Vista function must be looked up, never imported")

    def test_both_builds_are_gui_images_windows_xp_loads(self):
        self.assertEqual(check_budget.headers(os.path.join(DIST, "x64", "quorva.exe")), (2, (5, 2)))
        self.assertEqual(check_budget.headers(os.path.join(DIST, "x86", "quorva.exe")), (2, (5, 1)))

    def test_an_import_missing_from_the_list_fails_in_both_builds(self):
        allowed = {dll: set(names) for dll, names in self.allowed.items()}
        allowed["kernel32.dll"].discard("CreateFileW")
        _, failures = check_budget.check(DIST, allowed)
        self.assertEqual(len([f for f in failures if "kernel32.dll!CreateFileW" in f]), 2)

    def test_a_dll_outside_the_allowed_set_fails_even_when_listed(self):
        original = check_budget.ALLOWED_DLLS
        try:
            check_budget.ALLOWED_DLLS = original - {"ole32.dll"}
            _, failures = check_budget.check(DIST, self.allowed)
        finally:
            check_budget.ALLOWED_DLLS = original
        self.assertTrue(any("ole32.dll!CoCreateInstance: DLL not allowed" in f for f in failures))

    def test_each_build_is_held_to_its_own_goal(self):
        sizes = {arch: os.path.getsize(os.path.join(DIST, arch, "quorva.exe")) for arch in ("x64", "x86")}
        for arch, size in sizes.items():
            self.assertLessEqual(size, check_budget.LIMITS[arch], f"{arch} over its goal")
        # A goal one byte below an image's size fails that image alone.
        for arch in ("x64", "x86"):
            limits = dict(check_budget.LIMITS, **{arch: sizes[arch] - 1})
            lines, failures = check_budget.check(DIST, self.allowed, limits)
            over = [f for f in failures if "over the" in f]
            self.assertEqual(len(over), 1, failures)
            self.assertIn(os.path.join(arch, "quorva.exe"), over[0])
            self.assertIn("OVER", next(l for l in lines if l.startswith(arch + "/")))

    def test_a_missing_or_swapped_executable_fails(self):
        with tempfile.TemporaryDirectory() as folder:
            os.makedirs(os.path.join(folder, "x64"))
            os.makedirs(os.path.join(folder, "x86"))
            # The 32-bit image where the 64-bit one belongs.
            shutil.copy(os.path.join(DIST, "x86", "quorva.exe"), os.path.join(folder, "x64"))
            _, failures = check_budget.check(folder, self.allowed)
        self.assertTrue(any("magic 010b, expected 020b" in f for f in failures))
        self.assertTrue(any("x86/quorva.exe: missing" in f.replace(os.sep, "/") for f in failures))


# Real `objdump -p` output for one small program that imports comctl32's
# InitCommonControls by ordinal (17) and kernel32's functions by name, from
# Debian 12's binutils 2.40 and Debian 13's 2.44, for both architectures.
OBJDUMP_OUTPUT = {
    ("2.40", "x64"): "\tDLL Name: comctl32.dll\n\tvma:  Hint/Ord Member-Name Bound-To\n"
                     "\t8000000000000011\t    000000011  <none>\n\n"
                     " 00008014\t00008060 00000000 00000000 00008518 000081a0\n\n"
                     "\tDLL Name: KERNEL32.dll\n\tvma:  Hint/Ord Member-Name Bound-To\n"
                     "\t82d0\t  283  DeleteCriticalSection\n"
                     "\t8356\t 1394  SetUnhandledExceptionFilter\n\n",
    ("2.40", "x86"): "\tDLL Name: comctl32.dll\n\tvma:  Hint/Ord Member-Name Bound-To\n"
                     "\t80000011\t   17  <none>\n\n"
                     "\tDLL Name: KERNEL32.dll\n\tvma:  Hint/Ord Member-Name Bound-To\n"
                     "\t71a8\t  277  DeleteCriticalSection\n"
                     "\t7272\t 1370  SetUnhandledExceptionFilter\n\n",
    ("2.44", "x64"): "\tDLL Name: comctl32.dll\n\tvma:     Ordinal  Hint  Member-Name  Bound-To\n"
                     "\t00008180     17  <none> <none>\n\n"
                     " 00008014\t00008060 00000000 00000000 000084d8 00008190\n\n"
                     "\tDLL Name: KERNEL32.dll\n\tvma:     Ordinal  Hint  Member-Name  Bound-To\n"
                     "\t00008190  <none>  0124  DeleteCriticalSection\n"
                     "\t000081b8  <none>  0593  SetUnhandledExceptionFilter\n\n",
    ("2.44", "x86"): "\tDLL Name: comctl32.dll\n\tvma:     Ordinal  Hint  Member-Name  Bound-To\n"
                     "\t000070f4     17  <none> <none>\n\n"
                     "\tDLL Name: KERNEL32.dll\n\tvma:     Ordinal  Hint  Member-Name  Bound-To\n"
                     "\t000070fc  <none>  011e  DeleteCriticalSection\n"
                     "\t00007120  <none>  0578  SetUnhandledExceptionFilter\n\n",
}


class ObjdumpLayoutTest(unittest.TestCase):
    def test_both_binutils_layouts_read_names_and_ordinals(self):
        expected = [("comctl32.dll", "#17"), ("kernel32.dll", "DeleteCriticalSection"),
                    ("kernel32.dll", "SetUnhandledExceptionFilter")]
        for (version, arch), text in OBJDUMP_OUTPUT.items():
            with self.subTest(binutils=version, arch=arch):
                self.assertEqual(check_budget.parse_imports(text), expected)

    def test_an_entry_line_of_another_layout_fails_loudly(self):
        text = OBJDUMP_OUTPUT[("2.44", "x64")].replace("<none>  0124  ", "0124|")
        with self.assertRaises(ValueError):
            check_budget.parse_imports(text)


if __name__ == "__main__":
    unittest.main(verbosity=2)
