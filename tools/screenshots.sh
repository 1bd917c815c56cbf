#!/usr/bin/env bash
# Takes screenshots of the desktop program under Xvfb, driven over its remote control: the main
# window, the tuning dialog, a job in progress, and the error box for a source whose path is 300
# characters long. Where a window manager (openbox) and xdotool are installed, it runs under the
# window manager and also photographs the encoding settings (the Ogg page and the licences), the
# encoding banner after a click on the disabled window,
# and again a moment later with the progress bar moved on, and the help menu's three dialogs
# (opened from the keyboard): the message to the author, the explanation page and the version.
# Writes out/screenshots/*.png (out/screenshots/LANG/*.png with MEROLUNE_LANG=LANG). MEROLUNE_BUILD_DIR chooses the build (default build/release).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${MEROLUNE_BUILD_DIR:-$top/build/release}"
"$top/scripts/install-deps.sh" --screenshots >&2
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target merolune merolune-demosong >/dev/null

# MEROLUNE_LANG=en or ja photographs the windows in that language, into out/screenshots/en or ja.
out="$top/out/screenshots${MEROLUNE_LANG:+/$MEROLUNE_LANG}"
mkdir -p "$out"
"$build/tools/merolune-demosong" --seconds 600 "$out/song.wav"
rm -f "$out/song_cc.wav" "$out/song_cc.ogg"

# A source that does not decode, 300 characters of path without a space: a long folder, and a
# file name that fills the rest.
folder="$out/$(printf 'longfolder%.0s' {1..12})"
name_length=$((300 - ${#folder} - 1 - 5))  # 5: ".flac"
long="$folder/$(head -c "$name_length" /dev/zero | tr '\0' 'n').flac"
mkdir -p "$folder"
head -c 3000 /dev/zero | tr '\0' '\7' > "$long"

with_wm=0
command -v openbox >/dev/null && command -v xdotool >/dev/null && with_wm=1

export MEROLUNE_BIN="$build/app/ui/merolune" OUT="$out" LONG="$long" WITH_WM="$with_wm"
dbus-run-session -- xvfb-run -a -s "-screen 0 800x600x24" bash -c '
  set -u
  call() { gdbus call --session --timeout 600 --dest org.merolune.Merolune --object-path /Merolune \
             --method org.merolune.Remote.Message "$1" > /dev/null; }
  start() {
    "$MEROLUNE_BIN" "$1" & app=$!
    for _ in $(seq 50); do call 0 2>/dev/null && break; sleep 0.2; done
    sleep 1
  }
  ((WITH_WM)) && { openbox & wm=$!; sleep 1; }

  start "$OUT/song.wav"
  import -window root "$OUT/main.png"
  call 0x8018; sleep 1
  import -window root "$OUT/tuning.png"
  call 0x8018
  call 0x8014 & job=$!
  sleep 0.8
  import -window root "$OUT/job.png"
  wait $job

  if ((WITH_WM)); then
    # Ogg as the destination, typed into the save dialog; the encoding settings are left with
    # Escape; then a click on the disabled window, which must stay under the banner.
    call 0x8017 & dialog=$!
    sleep 1.5
    xdotool key ctrl+a type "$OUT/song_cc.ogg"
    xdotool key Return
    wait $dialog
    call 0x8014 & job=$!
    # The settings come after the reduction; Escape on the window would cancel the job instead.
    xdotool search --sync --name "^(エンコード|Encoding)$" > /dev/null
    sleep 0.5
    import -window root "$OUT/encoding-settings.png"
    # Ctrl+Tab walks the pages: the last one lists the libraries.
    for _ in 1 2 3 4 5 6; do xdotool key ctrl+Tab; sleep 0.2; done
    sleep 0.5
    import -window root "$OUT/encoding-licences.png"
    xdotool key Escape
    sleep 1
    xdotool mousemove 400 140 click 1
    sleep 0.5
    import -window root "$OUT/banner-after-click.png"
    # A moment later the progress bar beside the banner has moved on with the encoding.
    sleep 2
    import -window root "$OUT/encoding-progress.png"
    wait $job

    # The three dialogs of the help menu, each closed again with Enter (Esc does not close the version).
    xdotool key alt+o; sleep 0.5; xdotool key m; sleep 1.5
    import -window root "$OUT/help-message.png"
    xdotool key Escape; sleep 0.5
    xdotool key alt+h; sleep 0.5; xdotool key e; sleep 2
    import -window root "$OUT/help-explanation.png"
    xdotool key Return; sleep 0.5
    xdotool key alt+h; sleep 0.5; xdotool key v; sleep 1.5
    import -window root "$OUT/help-version.png"
    xdotool key Return; sleep 0.5
  fi
  kill $app; wait $app 2>/dev/null || true

  # The error box waits for OK while the run command waits for the job: both end with the program.
  start "$LONG"
  call 0x8014 2>/dev/null & job=$!
  sleep 1.5
  import -window root "$OUT/error-long-path.png"
  kill $app; wait $app 2>/dev/null || true
  wait $job 2>/dev/null || true
  ((WITH_WM)) && kill $wm
  true
'
rm -rf "$out/song.wav" "$out/song_cc.wav" "$out/song_cc.ogg" "$folder"
ls -1 "$out"/*.png
