#!/usr/bin/env python3
"""Holds every quoted include of the project's sources to the house's rules.

The rules are data: cmake/include_rules.txt names, for each folder, the
folders its files may include from (or, for an exception, a single file). A file belongs to the longest folder of
the rules that holds it; an included path (written from the source root)
belongs to the longest folder that holds it. A folder may always include from
itself. Fails, naming file, line and rule, on:
  - an include of a folder that the file's folder may not use;
  - a source file in a folder that no rule names;
  - an include that names no file of the tree.
With --graph it also prints the folder-to-folder arrows it found.
"""
import argparse
import pathlib
import re
import sys

SOURCE_SUFFIXES = {".cpp", ".h", ".rc"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
SKIPPED = {"build", "dist", ".git"}


def read_rules(path):
    rules = {}
    for number, line in enumerate(path.read_text().splitlines(), 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        folder, sep, allowed = line.partition(":")
        if not sep:
            raise SystemExit("%s:%d: expected 'folder: folders'" % (path, number))
        rules[folder.strip()] = set(allowed.split())
    return rules


def owner(relative, folders):
    """The longest folder of the rules that holds the path, or None."""
    best = None
    for folder in folders:
        if relative == folder or relative.startswith(folder + "/"):
            if best is None or len(folder) > len(best):
                best = folder
    return best


def sources(root):
    for path in sorted(root.rglob("*")):
        relative = path.relative_to(root)
        if relative.parts[0] in SKIPPED or path.suffix not in SOURCE_SUFFIXES or not path.is_file():
            continue
        yield path, relative.as_posix()


def check(root, rules):
    problems = []
    arrows = {}
    for path, relative in sources(root):
        folder = owner(relative, rules)
        if folder is None:
            problems.append("%s: no rule names its folder" % relative)
            continue
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            target = match.group(1)
            if not (root / target).is_file() and not (path.parent / target).is_file():
                problems.append("%s:%d: includes %s, which is no file of the tree" % (relative, number, target))
                continue
            used = owner(target, rules)
            if used is None or used == folder:
                continue
            arrows.setdefault((folder, used), "%s:%d" % (relative, number))
            if used not in rules[folder] and target not in rules[folder]:
                problems.append("%s:%d: %s may not include %s (%s)" % (relative, number, folder, target, used))
    return problems, arrows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=pathlib.Path(__file__).resolve().parents[2], type=pathlib.Path)
    parser.add_argument("--graph", action="store_true", help="print the arrows between folders")
    args = parser.parse_args()
    rules = read_rules(args.root / "cmake" / "include_rules.txt")
    problems, arrows = check(args.root, rules)
    if args.graph:
        for (source, target), where in sorted(arrows.items()):
            print("%-16s -> %-16s (first at %s)" % (source, target, where))
    for problem in problems:
        print(problem)
    print("include_layers: %d arrows between folders, %d against the rules" % (len(arrows), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
