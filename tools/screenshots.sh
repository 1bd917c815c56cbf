#!/usr/bin/env bash
# Takes screenshots of the desktop program under Xvfb, driven over its remote control: the main
# window, the tuning dialog, and a job in progress. Writes out/screenshots/*.png.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
"$top/scripts/install-deps.sh" --screenshots >&2
cmake -S "$top" -B "$top/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$top/build/release" --target merolune merolune-demosong >/dev/null

out="$top/out/screenshots"
mkdir -p "$out"
"$top/build/release/tools/merolune-demosong" --seconds 600 "$out/song.wav"
rm -f "$out/song_cc.wav"

export MEROLUNE_BIN="$top/build/release/app/merolune" OUT="$out"
dbus-run-session -- xvfb-run -a -s "-screen 0 800x600x24" bash -c '
  set -u
  call() { gdbus call --session --timeout 600 --dest org.merolune.Merolune --object-path /Merolune \
             --method org.merolune.Remote.Message "$1" > /dev/null; }
  "$MEROLUNE_BIN" "$OUT/song.wav" & app=$!
  for _ in $(seq 50); do call 0 2>/dev/null && break; sleep 0.2; done
  sleep 1
  import -window root "$OUT/main.png"
  call 0x8018; sleep 1
  import -window root "$OUT/tuning.png"
  call 0x8018
  call 0x8014 & job=$!
  sleep 0.8
  import -window root "$OUT/job.png"
  wait $job
  kill $app; wait $app 2>/dev/null || true
'
rm -f "$out/song.wav" "$out/song_cc.wav"
ls -1 "$out"/*.png
