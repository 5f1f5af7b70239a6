#!/usr/bin/env python3
"""The layering check: every #include in the program's folders must name a header that its layer
may use. A layer may include its own headers and the public headers of the layers it links (see
the folders' CMakeLists.txt); another layer's internal headers (*_internal.h) are for that layer
and the tests only. OpenGL/EGL headers belong to render/ and desktop/, Qt headers to desktop/,
assimp's to io/.

Usage: check_layers.py ROOT [--plant FILE LINE --expect-violation]
With --plant, LINE is added to FILE (relative to ROOT) before checking, without touching the
file; with --expect-violation the check succeeds only when it reports that very file."""
import os
import re
import sys

# Each layer and the layers whose headers it may include, bottom-up.
ALLOWED = {
    "geometry": {"geometry"},
    "state": {"state", "geometry"},
    "platform": {"platform"},
    "io": {"io", "geometry", "platform"},
    "decomposition": {"decomposition", "geometry", "platform", "state"},
    "hull": {"hull", "geometry", "platform", "state", "decomposition"},
    # The library's functions: they see neither the process-wide values nor the platform.
    "core": {"core", "geometry", "io", "decomposition", "hull"},
    # The file formats the results are written in, for every program and the library's users.
    "formats": {"formats", "geometry", "io", "decomposition", "hull", "core"},
    "render": {"render", "geometry", "decomposition", "hull"},
    "app": {"app", "geometry", "state", "platform", "io", "decomposition", "hull", "core",
            "formats", "render"},
    "desktop": {"desktop", "app", "render", "formats", "core", "hull", "decomposition", "io",
                "platform", "state", "geometry"},
    "cli": {"cli", "geometry", "state", "platform", "io", "decomposition", "hull", "core",
            "formats"},
    # The Python module: the library's functions and the writers, like the batch tool without
    # its process-wide values and platform.
    "python": {"python", "geometry", "io", "decomposition", "hull", "core", "formats"},
    # Benchmarks measure the plain layers, internals included.
    "bench": {"geometry", "state", "platform", "io", "decomposition", "hull", "core", "formats",
              "render", "cli"},
    # Fuzz targets feed the plain layers, internals included, and the Options texts of app/.
    "fuzz": {"geometry", "state", "platform", "io", "decomposition", "hull", "core", "formats",
             "app", "cli"},
}
INTERNALS_ALLOWED = {"bench", "fuzz"}
GL_ALLOWED = {"render", "desktop"}
QT_ALLOWED = {"desktop"}
ASSIMP_ALLOWED = {"io"}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
GL_HEADER = re.compile(r"^(GL|EGL|KHR|GLES\d*|X11)/")
QT_HEADER = re.compile(r"^(Q[A-Z]\w*$|Qt\w*/|qopengl)")
ASSIMP_HEADER = re.compile(r"^assimp/")


def violations_in(layer, path, lines):
    found = []
    for number, line in enumerate(lines, 1):
        match = INCLUDE.match(line)
        if not match:
            continue
        bracket, header = match.groups()
        where = "%s:%d: %s" % (path, number, header)
        if GL_HEADER.match(header) and layer not in GL_ALLOWED:
            found.append(where + " (OpenGL/EGL/X11 outside render/ and desktop/)")
        elif QT_HEADER.match(header) and layer not in QT_ALLOWED:
            found.append(where + " (Qt outside desktop/)")
        elif ASSIMP_HEADER.match(header) and layer not in ASSIMP_ALLOWED:
            found.append(where + " (assimp outside io/)")
        elif bracket == '"':
            top = header.split("/")[0] if "/" in header else None
            if top is None:
                if not os.path.basename(header).endswith(".h"):
                    found.append(where + " (not a header)")
                continue  # a header beside the file: the layer's own
            if top in ALLOWED and top not in ALLOWED[layer]:
                found.append(where + " (%s/ may not use %s/)" % (layer, top))
            elif header.endswith("_internal.h") and top != layer and layer not in INTERNALS_ALLOWED:
                found.append(where + " (internal header of %s/)" % top)
    return found


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    root = argv[1]
    plant = None
    expect = False
    rest = argv[2:]
    if rest[:1] == ["--plant"] and len(rest) >= 3:
        plant = (os.path.normpath(rest[1]), rest[2])
        rest = rest[3:]
    if rest[:1] == ["--expect-violation"]:
        expect = True
        rest = rest[1:]
    if rest or (expect and plant is None):
        print(__doc__, file=sys.stderr)
        return 2
    found = []
    checked = 0
    for layer in ALLOWED:
        folder = os.path.join(root, layer)
        if not os.path.isdir(folder):
            print("no folder %s" % folder, file=sys.stderr)
            return 2
        for directory, _, files in os.walk(folder):
            for name in sorted(files):
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(directory, name)
                relative = os.path.relpath(path, root)
                with open(path, encoding="utf-8") as f:
                    lines = f.read().splitlines()
                if plant and plant[0] == relative:
                    lines.append(plant[1])
                found += violations_in(layer, relative, lines)
                checked += 1
    if plant and not any(v.startswith(plant[0] + ":") for v in found) and expect:
        print("the planted include in %s was not reported" % plant[0], file=sys.stderr)
        return 1
    if expect:
        print("reported as expected: " + "; ".join(found))
        return 0
    for v in found:
        print(v, file=sys.stderr)
    print("%d files checked, %d layering violations" % (checked, len(found)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
