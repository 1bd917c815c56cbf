#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build/fuzz) and runs them one after the other, each for a
# bounded time, on seed files made on the spot with the peer tools and on what earlier runs found.
#   tools/fuzz/run.sh [-t TARGET]... [-r RUNS] [-k] [SECONDS]
#     SECONDS    the longest each target runs, default 60
#     -r RUNS    also stop each target after RUNS executions
#     -k         keep going: after a crash, start the target again until its time or runs are used
#     -t TARGET  run only this target (may be repeated); the targets, in the order they run:
#                wave-header, job, wave-in, vorbis-in, flac-in, vbmp3, wmafile, ape-decompress,
#                ape-header, anyaudio
#   JOBS=N limits the build.
# Each target's corpus is kept in build/fuzz/corpus/<target>, so that a later run goes on from
# there. Prints the executions, seconds and coverage of every target. A crashing input is kept under
# build/fuzz/artifacts/<target>/ and the script exits with status 1 (after the other targets ran).
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$top"

all=(wave-header job wave-in vorbis-in flac-in vbmp3 wmafile ape-decompress ape-header anyaudio)
usage() {
  echo "usage: tools/fuzz/run.sh [-t TARGET]... [-r RUNS] [-k] [SECONDS]   (targets: ${all[*]})" >&2
  exit 2
}
chosen=()
runs=""
keep_going=false
while getopts "t:r:k" option; do
  case "$option" in
    t)
      name="${OPTARG#merolune-fuzz-}"
      [[ " ${all[*]} " == *" $name "* ]] || usage
      chosen+=("$name")
      ;;
    r)
      [[ "$OPTARG" =~ ^[1-9][0-9]*$ ]] || usage
      runs="$OPTARG"
      ;;
    k) keep_going=true ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
(($# <= 1)) || usage
seconds="${1:-60}"
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || usage
names=()
for name in "${all[@]}"; do
  if ((${#chosen[@]} == 0)) || [[ " ${chosen[*]} " == *" $name "* ]]; then names+=("$name"); fi
done
targets=("${names[@]/#/merolune-fuzz-}")

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
mkdir -p "$seeds"/{wav,wave-in,vorbis-in,flac-in,vbmp3,wmafile,ape,anyaudio} "$work/tmp"

# WAV seeds: a real song excerpt, and small hand-made files with the header's less common turns.
"$build/tools/merolune-demosong" --seconds 0.1 "$seeds/wav/demo.wav" >/dev/null
perl - "$seeds/wav" <<'EOF'
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

# Seeds of the other kinds, encoded from the song excerpt (and a mono copy of it) by the peer tools.
demo="$seeds/wav/demo.wav"
mono="$work/mono.wav"
sox "$demo" -c 1 -r 22050 "$mono"
quiet_ffmpeg() { ffmpeg -nostdin -loglevel error -y "$@"; }
# TWaveIn: ADPCM of both kinds, MPEG layer 3 inside WAV, the less common PCM widths.
cp "$seeds"/wav/*.wav "$seeds/wave-in/"
sox "$demo" -e ima-adpcm "$seeds/wave-in/ima-stereo.wav"
sox "$mono" -e ima-adpcm "$seeds/wave-in/ima-mono.wav"
sox "$demo" -e ms-adpcm "$seeds/wave-in/ms-stereo.wav"
sox "$mono" -e ms-adpcm "$seeds/wave-in/ms-mono.wav"
quiet_ffmpeg -i "$demo" -c:a libmp3lame -b:a 32k "$seeds/wave-in/mp3-stereo.wav"
quiet_ffmpeg -i "$mono" -c:a libmp3lame -b:a 24k "$seeds/wave-in/mp3-mono.wav"
sox "$mono" -b 24 "$seeds/wave-in/pcm24-mono.wav"
sox "$mono" -b 32 "$seeds/wave-in/pcm32-mono.wav"
# TVorbisIn: both qualities' ends, mono, a chain of two streams, and a stream without audio.
oggenc -Q -q -1 -o "$seeds/vorbis-in/q-1-stereo.ogg" "$demo"
oggenc -Q -q 5 --serial 7 -o "$seeds/vorbis-in/q5-mono.ogg" "$mono"
oggenc -Q -q 0 --serial 8 -o "$work/second.ogg" "$demo"
cat "$seeds/vorbis-in/q-1-stereo.ogg" "$work/second.ogg" >"$seeds/vorbis-in/chain.ogg"
sox "$demo" "$work/empty.wav" trim 0 0
oggenc -Q -o "$seeds/vorbis-in/empty.ogg" "$work/empty.wav"
# TFLACIn: fastest and best compression, 8 and 24 bits, and a stream whose length is not known (0).
flac -s -0 --no-padding -o "$seeds/flac-in/l0-stereo.flac" "$demo"
flac -s -8 -o "$seeds/flac-in/l8-mono.flac" "$mono"
sox "$mono" -b 8 -t wavpcm "$work/mono8.wav"
flac -s --no-padding -o "$seeds/flac-in/mono8.flac" "$work/mono8.wav"
# The flac tool warns about any WAV header for 24 bits that sox writes; sox writes the FLAC itself.
sox "$demo" -b 24 "$seeds/flac-in/stereo24.flac"
quiet_ffmpeg -i "$demo" -c:a flac -f flac pipe:1 >"$seeds/flac-in/streamed.flac"
# libvbmp3: constant and variable bit rate (with its LAME header), tags at both ends, layer 2.
lame --quiet -b 32 "$demo" "$seeds/vbmp3/cbr32-stereo.mp3"
lame --quiet -V 9 "$mono" "$seeds/vbmp3/vbr-mono.mp3"
lame --quiet -b 24 --tt Title --ta Artist --add-id3v2 "$mono" "$seeds/vbmp3/tagged.mp3"
quiet_ffmpeg -i "$demo" -c:a mp2 -b:a 64k -f mp2 "$seeds/vbmp3/layer2.mp2"
# libwmafile: both WMA versions, stereo and mono, with metadata.
quiet_ffmpeg -i "$demo" -c:a wmav2 -b:a 32k "$seeds/wmafile/wmav2-stereo.wma"
quiet_ffmpeg -i "$mono" -c:a wmav1 -b:a 24k "$seeds/wmafile/wmav1-mono.wma"
quiet_ffmpeg -i "$demo" -c:a wmav2 -b:a 48k -metadata title=Title "$seeds/wmafile/wmav2-tagged.wma"
# libanyaudio: the containers and codings it is read by content for, one small file each.
quiet_ffmpeg -i "$demo" -c:a aac -b:a 32k "$seeds/anyaudio/aac.m4a"
quiet_ffmpeg -i "$demo" -c:a alac "$seeds/anyaudio/alac.caf"
quiet_ffmpeg -i "$demo" -c:a libopus -b:a 24k "$seeds/anyaudio/opus.opus"
quiet_ffmpeg -i "$demo" -c:a libopus -b:a 24k "$seeds/anyaudio/opus.webm"
quiet_ffmpeg -i "$demo" -c:a wavpack "$seeds/anyaudio/wavpack.wv"
quiet_ffmpeg -i "$demo" -c:a pcm_s24be "$seeds/anyaudio/s24.aiff"
quiet_ffmpeg -i "$demo" -c:a ac3 -b:a 64k "$seeds/anyaudio/ac3.ac3"
quiet_ffmpeg -i "$demo" -c:a aac -b:a 32k -f adts "$seeds/anyaudio/adts.aac"
quiet_ffmpeg -i "$mono" -c:a pcm_f32le -f matroska "$seeds/anyaudio/f32-mono.mka"

# Monkey's Audio (jmac writes what our encoder writes, with the WAV header stored): every level,
# mono, 8 and 24 bits, and two frames (a silent one, then the song). jmac leaves bytes of its own
# after some files; the seeds end where their headers say.
sox -D -n -r 44100 -c 2 -b 16 "$work/silence.wav" trim 0 1.7
sox -D "$work/silence.wav" "$demo" "$work/two-frames.wav"
sox -D "$mono" -b 24 -t wavpcm "$work/mono24.wav"
for level in 1 2 3 4; do jmac "c$level" "$demo" "$seeds/ape/c$level.ape" >/dev/null; done
jmac c2 "$mono" "$seeds/ape/mono.ape" >/dev/null
jmac c1 "$work/mono8.wav" "$seeds/ape/mono8.ape" >/dev/null
jmac c3 "$work/mono24.wav" "$seeds/ape/mono24.ape" >/dev/null
jmac c1 "$work/two-frames.wav" "$seeds/ape/two-frames.ape" >/dev/null
perl -e 'for (@ARGV) {
  open(my $f, "+<:raw", $_) or die; read($f, my $h, 36) == 36 or die;
  my @v = unpack("a4 v v V V V V V", $h);
  truncate($f, $v[3] + $v[4] + $v[5] + $v[6] + $v[7]) or die; close $f; }' "$seeds"/ape/*.ape
# A header of the layout before version 3980 (3970: 32 bytes, no stored WAV header, one frame) in
# front of the frame of the 16-bit mono file.
perl -e 'open(my $f, "<:raw", $ARGV[0]) or die; local $/; my $ape = <$f>;
  my @v = unpack("a4 v v V V V V V", $ape); my $first = $v[3] + $v[4] + $v[5] + $v[6];
  my ($blocks) = unpack("V", substr($ape, 60, 4));
  print pack("a4 v v v v V V V V V V", "MAC ", 3970, 2000, 32, 1, 22050, 0, 0, 1, $blocks, 36), substr($ape, $first);' \
  "$seeds/ape/mono.ape" >"$seeds/ape/v3970.ape"

seeds_of() {
  case "$1" in
    wave-header | job) echo "$seeds/wav" ;;
    ape-decompress | ape-header) echo "$seeds/ape" ;;
    *) echo "$seeds/$1" ;;
  esac
}

artifacts="$build/artifacts"
mkdir -p "$artifacts"
# A smaller quarantine than AddressSanitizer's 256 MB: freed blocks are reused sooner, so the codec
# libraries' large allocations stop costing fresh pages on every run (nearly twice the executions).
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:quarantine_size_mb=32}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$top/tools/fuzz/lsan.supp}"

status=0
summary=()
for name in "${names[@]}"; do
  target="merolune-fuzz-$name"
  corpus="$build/corpus/$name"
  mkdir -p "$corpus" "$artifacts/$name"
  echo "== $target: ${seconds}s${runs:+, at most $runs runs}" >&2
  total_runs=0
  total_seconds=0
  crashes=()
  segment=0
  # Without -k this runs once; with it, the target starts again after each crash, from the corpus
  # it has built, until its seconds or runs are used up.
  while :; do
    segment=$((segment + 1))
    log="$work/$name.$segment.log"
    left_seconds=$((seconds - total_seconds))
    left_runs=""
    [[ -n "$runs" ]] && left_runs=$((runs - total_runs))
    started=$(date +%s)
    # TMPDIR: targets that hand file names to a library make their directory there, inside our
    # work directory.
    if TMPDIR="$work/tmp" "$build/tools/fuzz/$target" -max_total_time="$left_seconds" \
      ${left_runs:+-runs="$left_runs"} -max_len=65536 -timeout=10 -artifact_prefix="$artifacts/$name/" \
      "$corpus" "$(seeds_of "$name")" >"$log" 2>&1; then
      done_line="$(grep -oE 'Done [0-9]+ runs in [0-9]+ second' "$log" | tail -n1 | awk '{ print $2 " " $5 }')"
      total_runs=$((total_runs + ${done_line% *}))
      total_seconds=$((total_seconds + ${done_line#* }))
      break
    fi
    status=1
    # The runs up to the last status line before the crash: a lower bound.
    total_runs=$((total_runs + $(grep -oE '^#[0-9]+' "$log" | tail -n1 | tr -d '#' || echo 0)))
    total_seconds=$((total_seconds + $(date +%s) - started))
    found="$(grep -oE 'Test unit written to [^ ]+' "$log" | tail -n1 | cut -d' ' -f5)"
    crashes+=("${found:-unknown}")
    if ((${#crashes[@]} == 1)); then
      tail -n 60 "$log" >&2
      [[ -n "$found" && -f "$found" ]] && od -A x -t x1z -N 320 "$found" >&2
    else
      echo "$target: another crash, ${found:-unknown}" >&2
    fi
    [[ "$keep_going" == true ]] || break
    # A crash while the corpus was still being read would only come again.
    grep -q 'INITED' "$log" || break
    ((total_seconds < seconds)) || break
    [[ -z "$runs" ]] || ((total_runs < runs)) || break
  done
  # The coverage of the last segment: code edges (cov) and features (ft) reached, corpus size.
  coverage="$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$log" | tail -n1 |
    awk '{ print "cov=" $2 " ft=" $4 " corpus=" $6 }')"
  [[ -n "$coverage" ]] || coverage="cov=unknown"
  if ((${#crashes[@]} == 0)); then
    summary+=("fuzz target=$target runs=$total_runs seconds=$total_seconds $coverage result=ok")
  else
    summary+=("fuzz target=$target runs=$total_runs seconds=$total_seconds $coverage result=CRASH crashes=${#crashes[@]} input=${crashes[0]} (replay: $build/tools/fuzz/$target ${crashes[0]})")
    for found in "${crashes[@]:1}"; do summary+=("  also: $found"); done
  fi
done

printf '%s\n' "${summary[@]}"
exit "$status"
