#!/usr/bin/env bash
# Installs what is missing, builds, and starts the desktop program.
source "$(dirname "$0")/common.sh"
install_packages
build build
if [ -x "$ROOT/build/convexdecomp" ]; then
  if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found; starting under a virtual X server (xvfb-run)."
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$ROOT/build/convexdecomp"
  fi
  exec "$ROOT/build/convexdecomp"
fi
echo "Built. Programs: build/convexdecomp-cli (batch tool)."
