#!/usr/bin/env python3
"""Pack the CMake install tree of a 2.7 build as a wheel.

Usage: pack_wheel.py TREE OUTDIR --python PYTHON

scikit-build-core, which makes the wheels on 3, runs on 3 only. For 2.7 the
Makefile installs the CMake build into TREE, and this packs TREE with the
project's metadata from pyproject.toml, amended by [tool.geomviews.py27], and
the wheel tags of PYTHON, the interpreter the modules were built for. Prints
the path of the wheel.
"""

import argparse
import base64
import hashlib
import os
import re
import subprocess
import sys
import zipfile

try:
    import tomllib
except ImportError:  # before 3.11
    import tomli as tomllib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

TAGS = r"""
import re, sys, sysconfig
if sys.version_info[0] != 2:
    sys.exit("pack_wheel.py is for 2.7; on 3 the wheel comes from scikit-build-core")
abi = "cp27" + ("mu" if sys.maxunicode > 0xffff else "m")
print("cp27-%s-%s" % (abi, re.sub(r"[-.]", "_", sysconfig.get_platform())))
"""

# Zip entries get this time, so that the same tree packs to the same bytes.
EPOCH = (1980, 1, 1, 0, 0, 0)


def wheel_tag(python):
    out = subprocess.run([python, "-c", TAGS], check=True,
                         stdout=subprocess.PIPE, universal_newlines=True)
    return out.stdout.strip()


def metadata(project, py27):
    """The METADATA text: the project's, with the 2.7 table's replacements."""
    ours = "Programming Language :: Python :: 3"
    classifiers, placed = [], False
    for c in project.get("classifiers", []):
        if c == ours or c.startswith(ours + "."):
            if not placed:
                classifiers += py27.get("classifiers", [])
                placed = True
        else:
            classifiers.append(c)
    lines = ["Metadata-Version: 2.1",
             "Name: " + project["name"],
             "Version: " + project["version"],
             "Summary: " + project["description"]]
    urls = project.get("urls", {})
    if "Homepage" in urls:  # what pip show reports on 2.7
        lines.append("Home-page: " + urls["Homepage"])
    for label, url in urls.items():
        lines.append("Project-URL: %s, %s" % (label, url))
    names = [a["name"] for a in project.get("authors", []) if "name" in a]
    if names:
        lines.append("Author: " + ", ".join(names))
    lines.append("License: " + project["license"])
    lines += ["Classifier: " + c for c in classifiers]
    lines.append("Requires-Python: " + py27["requires-python"])
    lines += ["Requires-Dist: " + d for d in py27["dependencies"]]
    lines.append("Description-Content-Type: text/markdown")
    with open(os.path.join(ROOT, project["readme"]), encoding="utf-8") as f:
        description = f.read()
    return "\n".join(lines) + "\n\n" + description


def entry_points(project):
    groups = dict(project.get("entry-points", {}))
    for key, group in (("scripts", "console_scripts"), ("gui-scripts", "gui_scripts")):
        if key in project:
            groups[group] = project[key]
    return "".join("[%s]\n%s\n" % (group, "".join("%s = %s\n" % item for item in entries.items()))
                   for group, entries in sorted(groups.items()))


def digest(data):
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("tree")
    parser.add_argument("outdir")
    parser.add_argument("--python", required=True)
    args = parser.parse_args()

    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        config = tomllib.load(f)
    project, py27 = config["project"], config["tool"]["geomviews"]["py27"]
    name = re.sub(r"[-_.]+", "_", project["name"]).lower()
    tag = wheel_tag(args.python)
    info = "%s-%s.dist-info" % (name, project["version"])

    files = []   # (path in the wheel, bytes, mode)
    for folder, dirs, names in os.walk(args.tree):
        dirs.sort()
        for n in sorted(names):
            path = os.path.join(folder, n)
            with open(path, "rb") as f:
                files.append((os.path.relpath(path, args.tree).replace(os.sep, "/"),
                              f.read(), os.stat(path).st_mode))
    generated = [("METADATA", metadata(project, py27)),
                 ("WHEEL", "Wheel-Version: 1.0\nGenerator: geomviews tools/pack_wheel.py\n"
                           "Root-Is-Purelib: false\nTag: %s\n" % tag),
                 ("entry_points.txt", entry_points(project))]
    for license_file in project.get("license-files", []):
        with open(os.path.join(ROOT, license_file), encoding="utf-8") as f:
            generated.append((os.path.basename(license_file), f.read()))
    files += [(info + "/" + n, text.encode("utf-8"), 0o644) for n, text in generated if text]

    record = "".join("%s,%s,%d\n" % (path, digest(data), len(data)) for path, data, _ in files)
    files.append((info + "/RECORD", (record + info + "/RECORD,,\n").encode(), 0o644))

    os.makedirs(args.outdir, exist_ok=True)
    wheel = os.path.join(args.outdir, "%s-%s-%s.whl" % (name, project["version"], tag))
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as zf:
        for path, data, mode in files:
            entry = zipfile.ZipInfo(path, EPOCH)
            entry.external_attr = (mode & 0o777 | 0o100000) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            zf.writestr(entry, data)
    print(wheel)


if __name__ == "__main__":
    sys.exit(main())
