# Shell helpers for the tests that run a real file manager on an X server
# and a session bus of their own; sourced.

# Polls `$@` every tenth of a second for up to `seconds`.
poll() {  # SECONDS COMMAND...
  local seconds=$1
  shift
  for _ in $(seq $((seconds * 10))); do "$@" && return 0; sleep 0.1; done
  return 1
}
wait_for() { poll 30 "$@"; }

# Writes WORK/bus.conf: a session bus, listening in WORK, that starts no
# services (no file indexer, no volume monitors).
write_bus_config() {  # WORK
  cat >"$1/bus.conf" <<CONF
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=$1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
}

# Starts Xvfb on a display no one uses, of SIZE (1280x800 unless given):
# sets `xvfb` to its process (the caller ends it) and `display` to its name;
# exits when it does not start.
start_xvfb() {  # WORK [SIZE]
  Xvfb -displayfd 3 -nolisten tcp -screen 0 "${2:-1280x800}x24" 3>"$1/display" >/dev/null 2>&1 &
  xvfb=$!
  wait_for test -s "$1/display" || { echo "Xvfb did not start"; exit 1; }
  display=":$(cat "$1/display")"
}

# Makes the temporary folder `work` and clears `xvfb`, `session` and
# `finder`; the session ends, and `work` goes, when the test exits.
begin_x_session() {
  work="$(mktemp -d)"
  xvfb="" session="" finder=""
  trap 'end_x_session "$work"' EXIT
}

# The clean-up for `trap ... EXIT`: ends the session `$session` (the file
# manager and its bus; SIGKILL for what is left after half a second) and the
# processes `$finder` and `$xvfb` (each may be empty), then removes WORK.
end_x_session() {  # WORK
  [[ -n "${session:-}" ]] && pkill -TERM -s "$session" 2>/dev/null || true
  [[ -n "${finder:-}" ]] && kill "$finder" 2>/dev/null || true
  [[ -n "${xvfb:-}" ]] && kill "$xvfb" 2>/dev/null || true
  sleep 0.5
  [[ -n "${session:-}" ]] && pkill -KILL -s "$session" 2>/dev/null || true
  rm -rf "$1"
}
