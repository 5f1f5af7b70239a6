#!/usr/bin/env bash
# Installs the library from BUILD_DIR into a fresh prefix and builds the example in examples/
# against it twice, through the CMake package and through pkg-config; both must run and agree
# with the batch tool on the gear sample. Usage: scripts/check_install.sh BUILD_DIR
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "$1" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$ROOT/examples" -B "$work/example" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/example" >/dev/null
PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" c++ -o "$work/example-pc" \
  "$ROOT/examples/decompose_file.cpp" $(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs convexdecomp)
sample="$ROOT/samples/gear.stl"
"$work/example/decompose_file" "$sample" >"$work/cmake.txt"
"$work/example-pc" "$sample" >"$work/pc.txt"
cmp "$work/cmake.txt" "$work/pc.txt"
# The same counts as the batch tool.
"$build/convexdecomp-cli" "$sample" --quiet --json "$work/run.json" >/dev/null
python3 - "$work/run.json" "$work/cmake.txt" <<'PY'
import json, sys
run = json.load(open(sys.argv[1]))
lines = open(sys.argv[2]).read().splitlines()
expected = ["pieces: %d" % len(run["pieces"]), "hulls: %d" % len(run["hulls"])]
assert lines[1:3] == expected, (lines[1:3], expected)
faces = [len(h["faces"]) for h in run["hulls"]]
assert [int(l.split(": ")[1].split()[0]) for l in lines[3:-1]] == faces
assert lines[-1].startswith("glb: ") and int(lines[-1].split()[1]) > 0, lines[-1]
PY
# The Python package, when the build has it: imported from the prefix alone (not the build tree),
# it gives the batch tool's hull count.
package="$(find "$work/prefix" -path '*-packages/convexdecomp/__init__.py' -printf '%h\n' | head -n 1)"
if [ -f "$build/python/convexdecomp/__init__.py" ]; then
  [ -n "$package" ] || { echo "the Python package was not installed" >&2; exit 1; }
  python="$(sed -n 's/^Python_EXECUTABLE:[A-Z]*=//p' "$build/CMakeCache.txt")"
  (cd "$work" && PYTHONPATH="$(dirname "$package")" "${python:-python3}" - "$sample" "$work/run.json" <<'PY'
import json, os, sys
import convexdecomp
assert convexdecomp.__file__.startswith(os.environ["PYTHONPATH"] + "/"), convexdecomp.__file__
result = convexdecomp.decompose(*convexdecomp.load(sys.argv[1]))
run = json.load(open(sys.argv[2]))
assert [h.face_count for h in result.hulls] == [len(h["faces"]) for h in run["hulls"]]
PY
  )
  echo "installed Python package: ${package#$work/prefix/}"
fi
echo "installed library: the example builds through CMake and pkg-config and matches the batch tool"
