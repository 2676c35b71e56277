#!/usr/bin/env bash
# A private virtual X server for test stages that open windows (Wine's
# windows, the X11 editor). Source this file, then:
#
#   xvfb_start    # starts Xvfb on the first free display from :91, exports DISPLAY
#   ...
#   xvfb_stop     # stops that server by its own process id
#
# xvfb_start installs an exit trap that stops the server too.

kelo_xvfb_pid=""

xvfb_stop() {
  if [ -n "$kelo_xvfb_pid" ]; then
    kill "$kelo_xvfb_pid" 2>/dev/null || true
    wait "$kelo_xvfb_pid" 2>/dev/null || true
    kelo_xvfb_pid=""
  fi
}

xvfb_start() {
  xvfb_stop
  local n
  for n in $(seq 91 140); do
    # A display is taken while its lock file or socket exists.
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
    kelo_xvfb_pid=$!
    local tries
    for tries in $(seq 1 50); do
      if [ -e "/tmp/.X11-unix/X$n" ]; then
        export DISPLAY=":$n"
        trap xvfb_stop EXIT
        return 0
      fi
      # Lost a race for the display number: try the next one.
      kill -0 "$kelo_xvfb_pid" 2>/dev/null || break
      sleep 0.1
    done
    xvfb_stop
  done
  echo "xvfb: no free display between :91 and :140" >&2
  return 1
}
