#!/usr/bin/env python3
"""Fails on an #include that crosses the layers of kepra the wrong way.

Every C/C++ file of the library, the virtual camera, the tools, the examples and the public
headers is read; each #include that names a file of the repository is resolved (relative to
the including file first, then through the folders the build puts on the include path) and
the folder it lands in is looked up in ALLOWED below. The build files of the virtual camera,
the tools and the examples must not compile a source of the library. System and third-party headers resolve
to nothing here and are not judged. An include that names no existing file of the repository
but looks like one (a path with a folder of src/) is reported too: it would hide a layer.

    scripts/check-layers.py [--root DIR]     exit 0: clean, 1: forbidden includes (listed)
"""

import argparse
import os
import re
import sys

# Folders a file's includes may land in, by the folder of the including file. A folder may
# always include its own files. "public" is include/kepra, "math" any *_math header of
# src/ (pure arithmetic: it may include other *_math headers and the protocol only).
#
# The library's layers, each using only those below it:
#   api -> stream, core -> flash -> device -> driver -> platform
# with protocol (control codes, record layouts, wire format, byte helpers) and firmware (the
# carried image's bytes) as leaves that include nothing of the library.
ALLOWED = {
    "public": set(),
    "src/protocol": set(),
    "src/firmware": set(),
    "math": {"math", "src/protocol"},
    "src/platform": {"src/protocol"},
    "src/driver": {"src/platform", "src/protocol"},
    "src/device": {"src/driver", "src/platform", "src/protocol"},
    "src/flash": {"src/device", "src/driver", "src/platform", "src/protocol"},
    "src/core": {"math", "src/device", "src/driver", "src/platform", "src/protocol"},
    "src/stream": {"public", "math", "src/device", "src/driver", "src/platform", "src/protocol"},
    "src/api": {"public", "math", "src/core", "src/stream", "src/flash", "src/firmware",
                "src/device", "src/driver", "src/platform", "src/protocol"},
    # The virtual camera shares the protocol with the library, nothing else.
    "virtcam": {"src/protocol"},
    # Applications of the library: the public headers only.
    "tools": {"public"},
    "examples": {"public"},
}

# Known exceptions, each with its reason; an exception that no longer matches anything is
# reported so that the list only shrinks.
EXCEPTIONS: set = set()

SOURCE_DIRS = ["src", "virtcam", "tools", "examples", "include"]
SUFFIXES = (".h", ".hpp", ".c", ".cc", ".cpp")
# Where the build looks for quoted and angle includes besides the including file's folder.
INCLUDE_PATH = ["src", "include", "virtcam"]
LIBRARY_FOLDERS = {"api", "core", "device", "driver", "firmware", "flash", "platform",
                   "protocol", "stream"}
INCLUDE_RE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def folder_of(rel):
    """The layer a repository file belongs to, or None when the table does not judge it."""
    parts = rel.split("/")
    name = parts[-1]
    if parts[0] == "include":
        return "public"
    if parts[0] == "src":
        if re.search(r"_math\.(h|hpp|cpp)$", name):
            return "math"
        if len(parts) > 2:
            return "src/" + parts[1]
        return None  # src/CMakeLists.txt and the like
    if parts[0] in ("virtcam", "tools", "examples"):
        return parts[0]
    return None


def resolve(root, including, quote, target):
    """The repository-relative path an include names, or None for a header from elsewhere."""
    candidates = []
    if quote == '"':
        candidates.append(os.path.join(os.path.dirname(including), target))
    candidates += [os.path.join(d, target) for d in INCLUDE_PATH]
    for candidate in candidates:
        path = os.path.normpath(candidate)
        if not path.startswith("..") and os.path.isfile(os.path.join(root, path)):
            return path.replace(os.sep, "/")
    return None


def check(root):
    problems = []
    used_exceptions = set()
    for top in SOURCE_DIRS:
        for dirpath, _, files in os.walk(os.path.join(root, top)):
            for name in sorted(files):
                if not name.endswith(SUFFIXES):
                    continue
                rel = os.path.relpath(os.path.join(dirpath, name), root).replace(os.sep, "/")
                source = folder_of(rel)
                if source is None:
                    continue
                with open(os.path.join(root, rel), encoding="utf-8", errors="replace") as f:
                    lines = f.readlines()
                for number, line in enumerate(lines, 1):
                    match = INCLUDE_RE.match(line)
                    if not match:
                        continue
                    quote, target = match.groups()
                    resolved = resolve(root, rel, quote, target)
                    where = f"{rel}:{number}: #include {quote}{target}{'>' if quote == '<' else quote}"
                    if resolved is None:
                        if target.split("/")[0] in LIBRARY_FOLDERS and "/" in target:
                            problems.append(f"{where}: names no file of the repository")
                        continue
                    dest = folder_of(resolved)
                    if dest is None:
                        problems.append(f"{where}: {resolved} is outside the library's layers")
                        continue
                    same_tree = resolved.split("/")[0] == rel.split("/")[0] and source in (
                        "virtcam", "tools", "examples", "public")
                    if dest == source or same_tree or dest in ALLOWED[source]:
                        continue
                    if (rel, dest) in EXCEPTIONS:
                        used_exceptions.add((rel, dest))
                        continue
                    problems.append(f"{where}: {source} may not include {dest} ({resolved})")
    # A source of the library compiled into another target is a second copy of it there.
    for top in ("virtcam", "tools", "examples"):
        for dirpath, _, files in os.walk(os.path.join(root, top)):
            if "CMakeLists.txt" not in files:
                continue
            rel = os.path.relpath(os.path.join(dirpath, "CMakeLists.txt"), root)
            with open(os.path.join(root, rel), encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    for source in re.findall(r"\bsrc/[\w/.-]+\.(?:c|cc|cpp)\b", line):
                        problems.append(f"{rel}:{number}: compiles the library's {source}")
    for stale in sorted(EXCEPTIONS - used_exceptions):
        problems.append(f"exception no longer needed, remove it: {stale[0]} -> {stale[1]}")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=os.path.join(os.path.dirname(__file__), ".."))
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    problems = check(root)
    for problem in problems:
        print(problem)
    if problems:
        print(f"check-layers: {len(problems)} problem(s)", file=sys.stderr)
        return 1
    print("check-layers: every include keeps to the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
