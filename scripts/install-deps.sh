#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running Merolune need, skipping
# those already present. Used by ./run.sh and ./test.sh; "sudo" is used when not root.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config   # the build
  libgtest-dev                       # unit tests
  libfftw3-dev                       # the benchmark's reference transform
  sox ffmpeg mpg123 lame flac vorbis-tools  # peer tools the tests check our files with
  libjmac-java default-jre-headless  # jmac, the Java Monkey's Audio codec our .ape files are compared with
  zlib1g-dev                         # CRC-32 of the Monkey's Audio encoder
  libmpg123-dev libavformat-dev libavcodec-dev libswresample-dev libavutil-dev  # codec libraries
  libflac-dev libogg-dev libvorbis-dev libmp3lame-dev libopusenc-dev libopus-dev  # headers of the codecs opened at run time
  opus-tools                         # opusinfo and opusdec read our .opus files in the tests
  libtag1-dev                        # TagLib: the tags copied from a source to its karaoke track (libtagcopy.so)
  qt6-base-dev libgl-dev             # the desktop program (Qt 6 Widgets, D-Bus, Network)
  qt6-svg-dev                        # tools/MakeVersionPicture: the version picture drawn from the SVG icon
  qt6-tools-dev qt6-l10n-tools       # the windows' English texts: i18n/merolune_en.ts compiled by lrelease
  fonts-noto-cjk                     # Japanese text in the windows
  fonts-liberation                   # the widths of Times New Roman and Arial, which the banners ask for
  dbus libglib2.0-bin                # a private session bus and gdbus for the remote-control tests
  portaudio19-dev libasound2-dev libjack-jackd2-dev  # sound output for the monitor (and silencing ALSA and JACK)
  jackd2 libasound2-plugins          # playback tests: JACK's dummy driver behind ALSA, recorded by ALSA's file plugin
  ccache                             # compiler cache of the package's build (scripts/build-deb.sh)
  dpkg-dev file lintian man-db       # the Debian package: cpack's dependency scan, its check, the man page
  appstream desktop-file-utils       # the package's AppStream metainfo and desktop entry checked
)
case "${1:-}" in
  --fuzz) packages+=(clang libclang-rt-14-dev) ;;
  --screenshots) packages+=(xvfb xauth imagemagick openbox xdotool) ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=()
  [[ "$(id -u)" -eq 0 ]] || sudo=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
