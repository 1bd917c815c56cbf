#!/usr/bin/env bash
# Installs what is missing, builds (Release) and runs Merolune.
#   ./run.sh SOURCE DEST [options]   runs merolune-cli with these arguments
#   ./run.sh                         makes the demo song and turns it into a karaoke track
set -euo pipefail
top="$(cd "$(dirname "$0")" && pwd)"

"$top/scripts/install-deps.sh" >&2
cmake -S "$top" -B "$top/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$top/build/release" -j "$(nproc)" --target merolune merolune-cli merolune-demosong merolune-wavstat >/dev/null
bin="$top/build/release"

if (($#)); then
  exec "$bin/cli/merolune-cli" "$@"
fi

if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" && -x "$bin/app/ui/merolune" ]]; then
  exec "$bin/app/ui/merolune"
fi

out="$top/out"
mkdir -p "$out"
song="$out/demo-song.wav"
karaoke="$out/demo-karaoke.wav"
"$bin/tools/merolune-demosong" "$song"
"$bin/cli/merolune-cli" --overwrite "$song" "$karaoke"
drop=$("$bin/tools/merolune-wavstat" "$karaoke" "$song" | awk '$1 == "centre_drop_db" { print $2 }')
echo "Source:  $song"
echo "Karaoke: $karaoke"
echo "Centre (L+R) energy reduced by $drop dB"
