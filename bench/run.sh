#!/usr/bin/env bash
# Builds the Release tree and runs the benchmarks: our FFT against FFTW's (when that benchmark is
# built), then the whole job's speed and merolune-cli's peak memory, merolune-cli's start-up against
# sox's, its batch with two jobs at once against one, then both reductions' separation of known
# stems (SEPARATION_RECORDING names its real accompaniment instead of the one it fetches), then our
# codecs against the reference tools, then the monitor's cost while it plays (into JACK's dummy
# driver, started here under a server name of this run's own). CODEC_REPS sets the codec benchmark's runs per figure;
# CODEC_WAV names a 16-bit stereo WAV file (a real recording) for it to use instead of the generated song.
#   bench/run.sh [merolune-bench options]     e.g. --long, --reps 9, --seconds 60
# The packages come from scripts/install-deps.sh (./test.sh and ./run.sh run it too).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"

"$top/scripts/install-deps.sh" >&2
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
# Quiet builds; the log is shown when one fails. JOBS limits the build's parallelism.
build() {
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    return 1
  fi
}
build cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DMEROLUNE_BENCH=ON
# Only what the benchmarks run: a test being edited elsewhere in the tree cannot stop them.
build cmake --build build/release ${JOBS:+-j "$JOBS"} --target merolune-bench merolune-bench-startup

bin="$top/build/release/bench"
fft_built=yes
build cmake --build build/release ${JOBS:+-j "$JOBS"} --target merolune-bench-fft || fft_built=no
echo "# $(date -u +%Y-%m-%dT%H:%M:%SZ) $(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo unknown)" \
  "$(nproc) cpu(s), $(grep -m1 'model name' /proc/cpuinfo 2>/dev/null | cut -d: -f2- | sed 's/^ *//')"
echo "# load average: $(cut -d' ' -f1-3 /proc/loadavg)"

if [[ $fft_built == yes && -x "$bin/merolune-bench-fft" ]]; then
  echo "## merolune-bench-fft"
  "$bin/merolune-bench-fft"
else
  echo "## merolune-bench-fft: not built (see above), skipped"
fi

echo "## merolune-bench $*"
"$bin/merolune-bench" "$@"

echo "## merolune-bench-startup"
"$bin/merolune-bench-startup"

if build cmake --build build/release ${JOBS:+-j "$JOBS"} --target merolune-bench-batch; then
  echo "## merolune-bench-batch"
  "$bin/merolune-bench-batch"
else
  echo "## merolune-bench-batch: not built (see above), skipped"
fi

# The two reductions scored on mixes with known stems. The real-recording mixes use
# SEPARATION_RECORDING, else a track of wesnoth-1.16-music, whose package (153 MB) is fetched once
# into out/cache and kept there; without it the benchmark fetches the package itself or skips them.
if build cmake --build build/release ${JOBS:+-j "$JOBS"} --target merolune-bench-separation; then
  echo "## merolune-bench-separation"
  if [[ -z "${SEPARATION_RECORDING:-}" ]]; then
    cache="$top/out/cache"
    track="$cache/usr/share/games/wesnoth/1.16/data/core/music/traveling_minstrels.ogg"
    if [[ ! -f "$track" ]]; then
      mkdir -p "$cache"
      (cd "$cache" && apt-get download wesnoth-1.16-music >/dev/null 2>&1 &&
        dpkg -x wesnoth-1.16-music_*.deb . && rm -f wesnoth-1.16-music_*.deb) || true
    fi
    [[ -f "$track" ]] && SEPARATION_RECORDING="$track"
  fi
  # The real-recording mixes and both modes' results go to out/separation for listening.
  "$bin/merolune-bench-separation" --write-wavs ${SEPARATION_RECORDING:+--recording "$SEPARATION_RECORDING"}
else
  echo "## merolune-bench-separation: not built (see above), skipped"
fi

if build cmake --build build/release ${JOBS:+-j "$JOBS"} --target merolune-bench-codecs; then
  echo "## merolune-bench-codecs"
  "$bin/merolune-bench-codecs" ${CODEC_REPS:+--reps "$CODEC_REPS"} ${CODEC_WAV:+--wav "$CODEC_WAV"}
else
  echo "## merolune-bench-codecs: not built (see above), skipped"
fi

if build cmake --build build/release ${JOBS:+-j "$JOBS"} --target merolune-bench-monitor; then
  echo "## merolune-bench-monitor"
  export JACK_DEFAULT_SERVER="merolune-bench-$$" JACK_NO_START_SERVER=1
  jack_state="$(mktemp -d)"
  trap 'sh "$top/tests/support/jack-fixture.sh" stop "$jack_state" >/dev/null 2>&1; rm -rf "$jack_state" "$log"' EXIT
  sh "$top/tests/support/jack-fixture.sh" start "$jack_state" >&2
  ALSA_CONFIG_PATH="$top/bench/alsa-jack.conf" "$bin/merolune-bench-monitor" 2>/dev/null
else
  echo "## merolune-bench-monitor: not built (see above), skipped"
fi
