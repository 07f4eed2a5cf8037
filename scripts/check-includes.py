#!/usr/bin/env python3
"""Checks that every #include between our own files follows the target graph CMake was given.

A file belongs to the target that compiles it; a header belongs to the target that compiles the
.cpp of the same name, else to the one library compiled from its folder (HEADER_OWNERS names the
exceptions). A test helper beside the tests (*_test_support.h, *_test_util.h) belongs to each
test program that includes it. An include of a file of target B from a file of target A is fine when B is A itself
or is reachable from A along the declared link dependencies. Anything else is an edge the build
does not know of: it links today only by accident of order, and the layer drawing is wrong.

Usage: check-includes.py BUILD_DIR   (a configured build folder with compile_commands.json)
Prints each undeclared edge and exits 1 when there is one.
"""
import json
import os
import re
import subprocess
import sys
import tempfile
from collections import defaultdict

# Headers with no .cpp of their own whose target is not their folder's library.
HEADER_OWNERS = {
    "src/testing/temp_dir.h": "larkpost_testing",
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
TARGET_DIR = re.compile(r"CMakeFiles/([^/]+)\.dir/")
EDGE = re.compile(r"//\s*(\S+)\s*->\s*(\S+)\s*$")
TEST_HELPER = re.compile(r"_test_(support|util)\.h$")


def link_graph(build):
    """Direct link edges between targets, as CMake's graphviz export draws them."""
    edges = defaultdict(set)
    with tempfile.TemporaryDirectory() as tmp:
        dot = os.path.join(tmp, "graph.dot")
        subprocess.run(["cmake", f"--graphviz={dot}", "."], cwd=build, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(dot, encoding="utf-8") as f:
            for line in f:
                m = EDGE.search(line)
                if m:
                    edges[m.group(1)].add(m.group(2))
    return edges


def closure(edges, start):
    seen, todo = {start}, [start]
    while todo:
        for nxt in edges.get(todo.pop(), ()):
            if nxt not in seen:
                seen.add(nxt)
                todo.append(nxt)
    return seen


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[-2], file=sys.stderr)
        return 2
    build = os.path.abspath(sys.argv[1])
    top = subprocess.run(["git", "rev-parse", "--show-toplevel"], capture_output=True,
                         text=True, check=True).stdout.strip()
    with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as f:
        commands = json.load(f)
    # Only our own sources count, not what the build generates.
    tracked = set(subprocess.run(["git", "ls-files"], cwd=top, capture_output=True, text=True,
                                 check=True).stdout.split())

    owners = defaultdict(set)             # repo-relative file -> targets compiling it
    folder_libraries = defaultdict(set)   # folder -> non-test targets compiled from it
    for entry in commands:
        m = TARGET_DIR.search(entry.get("output", "") or entry["command"])
        source = os.path.relpath(entry["file"], top)
        if not m or source not in tracked:
            continue
        owners[source].add(m.group(1))
        if not source.endswith("_test.cpp"):
            folder_libraries[os.path.dirname(source)].add(m.group(1))

    def header_owner(header):
        if header in HEADER_OWNERS:
            return {HEADER_OWNERS[header]}
        if TEST_HELPER.search(header):
            return set()
        stem = os.path.splitext(header)[0]
        for ext in (".cpp", ".cc"):
            if stem + ext in owners:
                return owners[stem + ext]
        libs = folder_libraries.get(os.path.dirname(header), set())
        libs = {t for t in libs if not t.endswith("_test")}
        return libs if len(libs) == 1 else set()

    def resolve(including, name):
        for base in (os.path.dirname(including), "src"):
            candidate = os.path.normpath(os.path.join(base, name))
            if os.path.isfile(os.path.join(top, candidate)):
                return candidate
        return None

    edges = link_graph(build)
    problems = []
    checked = set()
    todo = [(f, t) for f, ts in owners.items() for t in ts]
    while todo:
        path, target = todo.pop()
        if (path, target) in checked:
            continue
        checked.add((path, target))
        with open(os.path.join(top, path), encoding="utf-8", errors="replace") as f:
            text = f.read()
        reachable = closure(edges, target)
        for name in INCLUDE.findall(text):
            included = resolve(path, name)
            if included is None:
                continue
            included_owners = header_owner(included) if included.endswith(".h") else set()
            if not included_owners:
                # A header no target claims (a test helper beside its tests): check it as part
                # of the including target.
                todo.append((included, target))
                continue
            if not included_owners & reachable:
                problems.append(f"{path} ({target}) includes {included} "
                                f"({', '.join(sorted(included_owners))}) without depending on it")
            else:
                # The header's own includes are checked against its own target.
                for owner in included_owners & reachable:
                    todo.append((included, owner))
    for problem in sorted(set(problems)):
        print(problem)
    if problems:
        print(f"{len(set(problems))} include(s) outside the declared target graph", file=sys.stderr)
        return 1
    print(f"includes follow the target graph ({len(checked)} file/target pairs checked)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
