#!/usr/bin/env bash
# Builds the Debian package build/deb/merolune_<version>_amd64.deb and checks it: lintian finds no
# error or warning; the AppStream metainfo, the desktop entry and the manual pages are valid; and the
# unpacked programs, with LD_LIBRARY_PATH unset, start and convert the demo song into every written
# format with the libraries of their own tree, each result read back by ffprobe. As root it also
# installs the package with apt-get, runs both programs from /usr/bin and removes it again.
# Exits non-zero on any failure.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
start=$SECONDS

scripts/install-deps.sh

fail() {
  echo "build-deb: $*" >&2
  exit 1
}

# A Release build of its own, installed under /usr, with Debian's hardening flags (those of
# dpkg-buildflags with hardening=+all, optimisation left to the Release build). ccache serves the
# objects an earlier build made with the same flags.
build=build/deb
export CCACHE_BASEDIR="$top"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DMEROLUNE_TESTS=OFF -DMEROLUNE_BENCH=OFF \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache \
  "-DCMAKE_CXX_FLAGS=-D_FORTIFY_SOURCE=2 -fstack-protector-strong -Wformat -Werror=format-security" \
  "-DCMAKE_EXE_LINKER_FLAGS=-Wl,-z,relro -Wl,-z,now" \
  "-DCMAKE_SHARED_LINKER_FLAGS=-Wl,-z,relro -Wl,-z,now" \
  "-DCMAKE_MODULE_LINKER_FLAGS=-Wl,-z,relro -Wl,-z,now"
cmake --build "$build" -j "$(nproc)"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb="$build/merolune_${version}_amd64.deb"
rm -f "$build"/merolune_*.deb
(cd "$build" && cpack -G DEB)
[[ -f "$deb" ]] || fail "cpack made no $deb"

# The package's changelog and the metainfo's newest release name the version being packaged.
changelog_version=$(dpkg-parsechangelog -l packaging/changelog -S Version)
[[ "$changelog_version" == "$version" ]] ||
  fail "packaging/changelog's newest entry is $changelog_version, the project is $version"
metainfo=app/org.merolune.Merolune.metainfo.xml
release_version=$(grep -o -m1 '<release version="[^"]*"' "$metainfo" | cut -d'"' -f2)
[[ "$release_version" == "$version" ]] ||
  fail "$metainfo's newest release is $release_version, the project is $version"

echo "== dpkg-deb --info $deb"
dpkg-deb --info "$deb"
echo "== dpkg-deb --contents"
dpkg-deb --contents "$deb"

echo "== lintian"
lintian --display-info --fail-on error,warning "$deb" || fail "lintian found errors or warnings (above)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root="$work/root"
dpkg-deb -x "$deb" "$root"

echo "== appstreamcli validate"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.merolune.Merolune.metainfo.xml"
echo "== desktop-file-validate"
desktop-file-validate "$root/usr/share/applications/merolune.desktop"
echo "desktop entry valid"

# The manual pages render without a groff warning, and merolune-cli's names every option that
# --help lists.
echo "== manual pages"
for page in "$root"/usr/share/man/man1/*.1.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  [[ -z "$warnings" ]] || fail "$(basename "$page"): $warnings"
  echo "$(basename "$page") renders"
done
cli="$root/usr/bin/merolune-cli"
rendered=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -E UTF-8 -l "$root/usr/share/man/man1/merolune-cli.1.gz" 2>/dev/null)
for option in $(env -u LD_LIBRARY_PATH "$cli" --help | grep -oE '^ +--[a-z-]+' | tr -d ' '); do
  grep -qF -- "$option" <<<"$rendered" || fail "merolune-cli.1 lacks $option, which --help lists"
done
echo "merolune-cli.1 names every option of --help"

# The unpacked programs find their libraries in the unpacked tree, through a run path relative to
# themselves and nothing else.
echo "== the unpacked programs"
for program in merolune merolune-cli; do
  rpath=$(readelf -d "$root/usr/bin/$program" | sed -n 's/.*(RPATH).*\[\(.*\)\]/\1/p')
  [[ "$rpath" == '$ORIGIN/../lib/merolune' ]] || fail "$program's run path is '$rpath'"
done
env -u LD_LIBRARY_PATH "$root/usr/bin/merolune" --version

# Converts `source` into `dest` with the merolune-cli at `cli`, and checks that ffprobe reads the
# result as `codec`, stereo, and as long as the song to within 0.25 s (the container's length of a
# WMA or MP3 file counts the encoder's padding).
seconds=4
convert_and_probe() {
  local cli=$1 source=$2 dest=$3 codec=$4
  env -u LD_LIBRARY_PATH "$cli" --quiet --overwrite "$source" "$dest" ||
    fail "$cli $source $dest failed"
  local probe
  probe=$(ffprobe -v error -select_streams a:0 -show_entries stream=codec_name,channels:format=duration \
                  -of default=noprint_wrappers=1 "$dest") || fail "ffprobe cannot read $dest"
  grep -qx "codec_name=$codec" <<<"$probe" || fail "$dest is not $codec: $probe"
  grep -qx "channels=2" <<<"$probe" || fail "$dest is not stereo: $probe"
  local duration
  duration=$(sed -n 's/^duration=//p' <<<"$probe")
  awk -v d="$duration" -v s="$seconds" 'BEGIN { exit !(d > s - 0.25 && d < s + 0.25) }' ||
    fail "$dest lasts $duration s, the song $seconds s"
  echo "$(basename "$source") -> $(basename "$dest"): $codec, 2 channels, $duration s"
}

song="$work/demo-song.wav"
"$build/tools/merolune-demosong" --seconds "$seconds" "$song"
formats=(wav:pcm_s16le mp3:mp3 ogg:vorbis flac:flac ape:ape wma:wmav2 opus:opus m4a:aac)
for format in "${formats[@]}"; do
  convert_and_probe "$cli" "$song" "$work/karaoke.${format%%:*}" "${format#*:}"
done
# Back from the compressed formats the package's libraries decode (libvbmp3, libmacdll, libwmafile,
# libanyaudio and the Vorbis and FLAC decoders).
for extension in mp3 ogg flac ape wma opus m4a; do
  convert_and_probe "$cli" "$work/karaoke.$extension" "$work/again-from-$extension.wav" pcm_s16le
done

# Installed with apt-get, as root only; an installed merolune package (not ours to remove) skips it.
echo "== installed"
if [[ "$(id -u)" -ne 0 ]]; then
  echo "skipped: not root (apt-get install ./$deb would install the package)"
elif dpkg-query -W -f='${Status}' merolune 2>/dev/null | grep -q "install ok installed"; then
  echo "skipped: a merolune package is installed already"
else
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./$deb"
  trap 'DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq merolune; rm -rf "$work"' EXIT
  [[ "$(command -v merolune-cli)" == /usr/bin/merolune-cli ]] || fail "merolune-cli is not /usr/bin/merolune-cli"
  merolune-cli --help >/dev/null
  convert_and_probe /usr/bin/merolune-cli "$song" "$work/installed.mp3" mp3
  merolune --version
  # The window starts on Qt's offscreen platform and answers its remote control on a private session
  # bus: the tuning dialog's code (0x8018) shows the dialog and returns 1.
  dbus-run-session -- bash -c '
    QT_QPA_PLATFORM=offscreen merolune "$1" & window=$!
    reply=
    for _ in $(seq 100); do
      reply=$(gdbus call --session --timeout 5 --dest org.merolune.Merolune --object-path /Merolune \
                --method org.merolune.Remote.Message 0x8018 2>/dev/null) && break
      sleep 0.1
    done
    kill "$window"
    wait "$window"
    echo "the window answered the remote control: $reply"
    [[ "$reply" == "(1,)" ]]' merolune "$song" 2>&1 | grep -v "Failed to set fd limit" ||
    fail "the installed merolune did not start and show its tuning dialog"
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq merolune
  trap 'rm -rf "$work"' EXIT
  ! dpkg-query -W -f='${Status}' merolune 2>/dev/null | grep -q "install ok installed" || fail "merolune stayed installed"
  echo "installed, ran and removed"
fi

echo "== $deb: checked in $((SECONDS - start)) s"
