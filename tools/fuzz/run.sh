#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build/fuzz) and runs each for a bounded time on a small
# seed corpus made on the spot.
#   tools/fuzz/run.sh [SECONDS]    seconds per target, default 60; JOBS=N limits the build
# Prints the number of executions per target. A crashing input is kept under build/fuzz/artifacts/
# and the script exits with status 1.
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$top"

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: tools/fuzz/run.sh [SECONDS]" >&2
  exit 2
fi
targets=(merolune-fuzz-wave-header merolune-fuzz-job)

"$top/scripts/install-deps.sh" --fuzz >&2

build="$top/build/fuzz"
if [[ -f "$build/CMakeCache.txt" ]] && ! grep -q '^CMAKE_CXX_COMPILER:[A-Z]*=.*clang++' "$build/CMakeCache.txt"; then
  echo "$build was configured with another compiler than clang++; remove it and run again." >&2
  exit 2
fi
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMEROLUNE_FUZZ=ON -DMEROLUNE_TESTS=OFF -DMEROLUNE_BENCH=OFF -DMEROLUNE_UI=OFF >/dev/null
cmake --build "$build" ${JOBS:+-j "$JOBS"} --target "${targets[@]}" merolune-demosong

work="$(mktemp -d "${TMPDIR:-/tmp}/merolune-fuzz-XXXXXX")"
trap 'rm -rf "$work"' EXIT
seeds="$work/seeds"
mkdir -p "$seeds" "$work/tmp"

# Seeds: a real song excerpt, and small hand-made files with the header's less common turns.
"$build/tools/merolune-demosong" --seconds 0.1 "$seeds/demo.wav" >/dev/null
perl - "$seeds" <<'EOF'
use strict;
use warnings;
my $dir = shift;
sub chunk {    # id, body[, stored size]
  my ($id, $body, $size) = @_;
  my $c = pack("a4 V", $id, $size // length $body) . $body;
  return length($body) % 2 ? $c . "\0" : $c;
}
sub riff { my $body = "WAVE" . join("", @_); return pack("a4 V", "RIFF", length $body) . $body; }
sub fmt {      # tag, channels, rate, bits[, extension]
  my ($tag, $ch, $rate, $bits, $ext) = @_;
  my $align = $ch * $bits / 8;
  return chunk("fmt ", pack("v v V V v v", $tag, $ch, $rate, $rate * $align, $align, $bits) . ($ext // ""));
}
sub pcm16 { my $n = shift; return pack("s<*", map { int(9000 * sin($_ / 5)), int(7000 * sin($_ / 3)) } 0 .. $n - 1); }
sub pcm8 { my $n = shift; return pack("C*", map { 128 + int(90 * sin($_ / 4)) } 0 .. 2 * $n - 1); }
sub put { my ($name, $bytes) = @_; open(my $f, ">:raw", "$dir/$name") or die; print $f $bytes; close $f; }

put("pcm8.wav", riff(fmt(1, 2, 8000, 8), chunk("data", pcm8(3000))));
put("list.wav", riff(chunk("LIST", "INFOx"), fmt(1, 2, 22050, 16), chunk("LIST", "INFOISFT\6\0\0\0demo\0\0"),
                     chunk("data", pcm16(2500)), chunk("id3 ", "TAG")));
# WAVE_FORMAT_EXTENSIBLE, an upper-case data tag, and a stored size of 0 (up to the end).
put("extensible.wav", riff(fmt(0xFFFE, 2, 48000, 16, pack("v v V a16", 22, 16, 3, "\1\0\0\0\0\0\x10\0\x80\0\0\xaa\0\x38\x9b\x71")),
                           chunk("DATA", pcm16(2100), 0)));
put("truncated.wav", riff(fmt(1, 2, 44100, 16), chunk("data", pcm16(1500), 1000000)));
put("odd.wav", riff(fmt(1, 2, 44100, 16), chunk("data", pcm16(1000) . "\1")));
put("mono.wav", riff(fmt(1, 1, 44100, 16), chunk("data", pcm16(500))));
put("shortfmt.wav", riff(chunk("fmt ", pack("v v V V v", 1, 2, 44100, 176400, 4)), chunk("data", pcm16(500))));
put("nodata.wav", riff(fmt(1, 2, 44100, 16), chunk("fact", pack("V", 0))));
# A data chunk shorter than one frame, with metadata after it that is no audio.
put("tinydata.wav", riff(fmt(1, 2, 44100, 16), chunk("data", "\1\2"),
                         chunk("LIST", "INFOISFT" . pack("V", 4000) . ("x" x 4000))));
EOF

artifacts="$build/artifacts"
mkdir -p "$artifacts"
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

status=0
summary=()
for target in "${targets[@]}"; do
  corpus="$work/corpus-$target"
  log="$work/$target.log"
  mkdir -p "$corpus" "$artifacts/$target"
  echo "== $target: ${seconds}s" >&2
  # TMPDIR: the job target makes its directory there, inside our work directory.
  if TMPDIR="$work/tmp" "$build/tools/fuzz/$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
    -artifact_prefix="$artifacts/$target/" "$corpus" "$seeds" >"$log" 2>&1; then
    runs="$(grep -oE 'Done [0-9]+ runs in [0-9]+ second' "$log" | tail -n1 | awk '{ print $2 " " $5 }')"
    summary+=("fuzz target=$target runs=${runs% *} seconds=${runs#* } result=ok")
  else
    status=1
    tail -n 60 "$log" >&2
    found="$(grep -oE 'Test unit written to [^ ]+' "$log" | tail -n1 | cut -d' ' -f5)"
    summary+=("fuzz target=$target result=CRASH input=${found:-unknown} (replay: $build/tools/fuzz/$target ${found:-INPUT})")
    [[ -n "$found" && -f "$found" ]] && od -A x -t x1z "$found" | head -n 20 >&2
  fi
done

printf '%s\n' "${summary[@]}"
exit "$status"
