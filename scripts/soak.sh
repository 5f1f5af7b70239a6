#!/usr/bin/env bash
# Soak run of the desktop program (not part of CI): under a virtual X server it opens a large
# generated torus through File > Open, runs Tools > Decompose and Tools > Convex Hull, then idles
# and redraws for a while as synthetic mouse drags (xdotool) turn and move the camera. Reports the
# resident memory after the hulls and at the end, and every GL error the program saw (it checks
# after every frame when CD_CHECK_GL_ERRORS is set).
#
#   scripts/soak.sh                         # 1,000,000 triangles, 5 minutes
#   SOAK_TRIANGLES=200000 SOAK_SECONDS=60 scripts/soak.sh
#
# Settings (environment): SOAK_TRIANGLES (rounded to a whole torus grid), SOAK_SECONDS (300),
# SOAK_BUILD (the build folder, default build), SOAK_WAIT_MINUTES (how long the computations may
# take, default 180), SOAK_OUT (folder for the mesh, logs and screenshots, default /tmp/cd-soak).
# Exit status 0 when the run ended with the program still up and no GL error, 1 otherwise.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TRIANGLES="${SOAK_TRIANGLES:-1000000}"
SOAK_SECONDS="${SOAK_SECONDS:-300}"
BUILD="${SOAK_BUILD:-$ROOT/build}"
WAIT_MINUTES="${SOAK_WAIT_MINUTES:-180}"
OUT="${SOAK_OUT:-/tmp/cd-soak}"
PROGRAM="$BUILD/convexdecomp"
mkdir -p "$OUT"

for tool in xdotool xwd; do
  if ! command -v "$tool" >/dev/null; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
      xdotool x11-apps xvfb >/dev/null
  fi
done
[ -x "$PROGRAM" ] || { echo "no $PROGRAM: build first (scripts/run.sh or cmake)"; exit 1; }

# A binary STL torus of 2 * segments * sides triangles, sides = segments / 2, wound outward.
MESH="$OUT/torus_$TRIANGLES.stl"
if [ ! -f "$MESH" ]; then
  python3 - "$MESH" "$TRIANGLES" <<'EOF'
import math, struct, sys
path, wanted = sys.argv[1], int(sys.argv[2])
sides = max(3, int(round(math.sqrt(wanted / 4))))
segments = max(3, int(round(wanted / (2 * sides))))
R, r = 2.0, 0.6
pts = []
for u in range(segments):
    th = 2 * math.pi * u / segments
    for v in range(sides):
        ph = 2 * math.pi * v / sides
        pts.append(((R + r * math.cos(ph)) * math.cos(th), (R + r * math.cos(ph)) * math.sin(th),
                    r * math.sin(ph)))
at = lambda u, v: pts[(u % segments) * sides + v % sides]
pack = struct.Struct('<12fH').pack
with open(path, 'wb') as f:
    f.write(b'soak torus'.ljust(80, b' ') + struct.pack('<I', 2 * segments * sides))
    for u in range(segments):
        for v in range(sides):
            a, b, c, d = at(u, v), at(u + 1, v), at(u + 1, v + 1), at(u, v + 1)
            f.write(pack(0, 0, 0, *a, *b, *c, 0) + pack(0, 0, 0, *a, *c, *d, 0))
print("mesh: %d triangles (%d x %d x 2)" % (2 * segments * sides, segments, sides))
EOF
fi

# A display of our own.
DISPLAY_NUMBER=$((200 + $$ % 500))
Xvfb ":$DISPLAY_NUMBER" -screen 0 1024x768x24 -nolisten tcp >"$OUT/xvfb.log" 2>&1 &
XVFB_PID=$!
export DISPLAY=":$DISPLAY_NUMBER"
PROGRAM_PID=""
cleanup() {
  [ -n "$PROGRAM_PID" ] && kill "$PROGRAM_PID" 2>/dev/null || true
  kill "$XVFB_PID" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done

rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$PROGRAM_PID/status"; }
log() { echo "[$(date +%T)] $*" | tee -a "$OUT/soak.log"; }
: >"$OUT/soak.log"

# The mesh is opened at start, as File > Open would open it (typing into the file dialog under
# load can lose keys).
QT_QPA_PLATFORMTHEME= CD_CHECK_GL_ERRORS=1 "$PROGRAM" "$MESH" >"$OUT/program.log" 2>&1 &
PROGRAM_PID=$!
MAIN="$(xdotool search --sync --onlyvisible --name 'Convex Decomposition')"
MAIN="$(echo "$MAIN" | head -1)"
sleep 1
log "program $PROGRAM_PID up, window $MAIN, RSS $(rss_kb) kB"

# Menus by mouse, at the places of the titles and items in the window (Fusion style, no window
# manager): File at x 20, Tools at x 103; items 22 pixels apart from y 29, Quit at y 97.
menu() {  # menu TITLE_X ITEM_Y
  xdotool mousemove --window "$MAIN" "$1" 8 click 1
  sleep 0.7
  xdotool mousemove --window "$MAIN" $(($1 + 35)) "$2" click 1
  sleep 0.5
}

# Closes the message boxes as they come (focus, then Return, on each window of the program but
# the main one, until it is gone) until count have been closed; gives up after WAIT_MINUTES.
boxes_closed=0
close_boxes() {  # close_boxes COUNT
  local target=$((boxes_closed + $1))
  local deadline=$((SECONDS + WAIT_MINUTES * 60))
  while [ "$boxes_closed" -lt "$target" ]; do
    [ "$SECONDS" -lt "$deadline" ] || { log "gave up waiting for message boxes"; exit 1; }
    kill -0 "$PROGRAM_PID" 2>/dev/null || { log "the program ended"; exit 1; }
    for w in $(xdotool search --onlyvisible --pid "$PROGRAM_PID" 2>/dev/null); do
      [ "$w" = "$MAIN" ] && continue
      log "box $w after ${SECONDS}s"
      xwd -id "$w" -silent >"$OUT/box_$((boxes_closed + 1)).xwd" || true
      for _ in $(seq 20); do
        xdotool windowfocus --sync "$w" 2>/dev/null && xdotool key Return
        sleep 0.5
        xdotool search --onlyvisible --pid "$PROGRAM_PID" 2>/dev/null | grep -qx "$w" || break
      done
      boxes_closed=$((boxes_closed + 1))
    done
    sleep 1
  done
}

# The triangles take 36 bytes each: the mesh is there once the memory has grown by half of that.
RSS_EMPTY="$(rss_kb)"
for _ in $(seq 600); do
  [ $(($(rss_kb) - RSS_EMPTY)) -gt $((TRIANGLES * 18 / 1024)) ] && break
  sleep 0.5
done
sleep 2
[ $(($(rss_kb) - RSS_EMPTY)) -gt $((TRIANGLES * 18 / 1024)) ] || { log "the mesh did not open"; exit 1; }
log "opened $MESH, RSS $(rss_kb) kB"
xwd -root -silent >"$OUT/opened.xwd" || true

SECONDS=0
log "Tools > Decompose"
menu 103 29
close_boxes 2
log "decomposed in about ${SECONDS}s, RSS $(rss_kb) kB"
xwd -root -silent >"$OUT/decomposed.xwd" || true

SECONDS=0
log "Tools > Convex Hull"
menu 103 51
close_boxes 1
log "hulls done in about ${SECONDS}s"
sleep 2
xwd -root -silent >"$OUT/start.xwd" || true

RSS_START="$(rss_kb)"
log "soak start: RSS $RSS_START kB; ${SOAK_SECONDS} s of drags and redraws"
END=$((SECONDS + SOAK_SECONDS))
moves=0
while [ "$SECONDS" -lt "$END" ]; do
  kill -0 "$PROGRAM_PID" 2>/dev/null || { log "the program ended"; exit 1; }
  x=$((100 + RANDOM % 600))
  y=$((100 + RANDOM % 400))
  if [ $((RANDOM % 4)) -eq 0 ]; then
    # Both buttons: farther, then as much nearer again.
    d=$((1 + RANDOM % 10))
    xdotool mousemove --window "$MAIN" "$x" "$y" mousedown 1 mousedown 3 \
      mousemove --window "$MAIN" "$x" $((y + d)) mousemove --window "$MAIN" "$x" "$y" \
      mouseup 3 mouseup 1
  else
    xdotool mousemove --window "$MAIN" "$x" "$y" mousedown 1 \
      mousemove --window "$MAIN" $((x + RANDOM % 81 - 40)) $((y + RANDOM % 81 - 40)) mouseup 1
  fi
  moves=$((moves + 1))
  if [ $((moves % 300)) -eq 0 ]; then log "drags $moves, RSS $(rss_kb) kB"; fi
  sleep 0.1
done
RSS_END="$(rss_kb)"
xwd -root -silent >"$OUT/end.xwd" || true
GL_ERRORS="$(grep -c '^GL error' "$OUT/program.log" || true)"
log "soak end: RSS $RSS_END kB (start $RSS_START kB, change $((RSS_END - RSS_START)) kB), $moves drags, GL errors: $GL_ERRORS"

log "File > Quit"
menu 20 97
# A frame of a big model takes a while under a software rasteriser: allow a minute.
for _ in $(seq 600); do kill -0 "$PROGRAM_PID" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$PROGRAM_PID" 2>/dev/null; then
  log "still running after Quit"
  exit 1
fi
wait "$PROGRAM_PID" || true
PROGRAM_PID=""
[ "$GL_ERRORS" -eq 0 ]
