#!/bin/sh
# Starts or stops the JACK server the playback tests play into: jackd's dummy driver, which runs
# its cycle in real time without a sound card.
#
#   jack-fixture.sh start|stop STATE_DIR
#
# JACK_DEFAULT_SERVER names the server (the build gives each build folder its own name, so two
# builds never share one). STATE_DIR keeps the server's pid and log. Without jackd the script does
# nothing and succeeds: the playback tests then skip themselves.
set -u

action=${1:-}
state=${2:-}
if [ -z "$action" ] || [ -z "$state" ]; then
  echo "usage: $0 start|stop STATE_DIR" >&2
  exit 2
fi
if [ -z "${JACK_DEFAULT_SERVER:-}" ]; then
  echo "$0: JACK_DEFAULT_SERVER is not set" >&2
  exit 2
fi
# Never let a client start a server with the user's own settings instead of ours.
export JACK_NO_START_SERVER=1
pidfile=$state/jackd.pid
log=$state/jackd.log

# The pid in STATE_DIR, if that process is still a jackd (a pid can be reused after a crash).
our_jackd() {
  [ -f "$pidfile" ] || return 1
  pid=$(cat "$pidfile")
  [ "$(ps -p "$pid" -o comm= 2>/dev/null)" = jackd ] || return 1
  echo "$pid"
}

stop_server() {
  if pid=$(our_jackd); then
    kill -TERM "$pid"
    # jackd is not our child here, so wait by polling: up to 5 s, then force it.
    i=0
    while kill -0 "$pid" 2>/dev/null && [ $i -lt 50 ]; do
      sleep 0.1
      i=$((i + 1))
    done
    if kill -0 "$pid" 2>/dev/null; then
      echo "$0: jackd $pid did not stop on SIGTERM; killing it" >&2
      kill -KILL "$pid"
    fi
  fi
  rm -f "$pidfile"
}

server_running() {
  [ "$(jack_wait -c 2>/dev/null)" = running ]
}

# Waits at most 10 s for the server to accept clients.
wait_for_server() {
  if command -v jack_wait >/dev/null 2>&1; then
    jack_wait -w -t 10 >/dev/null 2>&1
    return
  fi
  i=0
  while [ $i -lt 100 ]; do
    jack_lsp >/dev/null 2>&1 && return 0
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

case $action in
  start)
    if ! command -v jackd >/dev/null 2>&1; then
      echo "jackd is not installed (Debian package jackd2): the playback tests will skip"
      exit 0
    fi
    mkdir -p "$state"
    stop_server  # one left behind by an interrupted run of this build
    if command -v jack_wait >/dev/null 2>&1 && server_running; then
      echo "$0: a JACK server named $JACK_DEFAULT_SERVER is already running and was not started here" >&2
      exit 1
    fi
    # Every descriptor goes to the log: ctest waits for the test's output to close, and jackd
    # outlives this script.
    jackd --no-realtime -d dummy -r 48000 -p 1024 </dev/null >"$log" 2>&1 &
    echo $! >"$pidfile"
    if ! wait_for_server; then
      echo "$0: jackd did not accept clients within 10 s; its log:" >&2
      cat "$log" >&2
      stop_server
      exit 1
    fi
    echo "jackd $(cat "$pidfile") serves $JACK_DEFAULT_SERVER (dummy driver, 48000 Hz, 1024 frames)"
    ;;
  stop)
    stop_server
    ;;
  *)
    echo "usage: $0 start|stop STATE_DIR" >&2
    exit 2
    ;;
esac
