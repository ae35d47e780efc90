#!/usr/bin/env bash
# Regenerates the agent's icons from their SVG sources in
# agent/resources/icons/ and checks the result:
#   app.svg  (icon 128) -> app-32.png app-48.png app-71.png app-256.png app.ico
#   tray.svg (icon 130) -> tray-32.png tray-48.png tray-71.png tray.ico
# Each ICO holds the 32, 48 and 71 px images as 32-bit (alpha) bitmaps.
# The output is the same bytes on every run: the PNGs carry no date, time
# or text chunks. Installs what is missing (librsvg2-bin, imagemagick,
# cmake for the check) with apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=agent/resources/icons
ico_sizes=(32 48 71)

# Package and the command it brings. /usr/local/bin/convert may be something
# else than ImageMagick, so ImageMagick is asked for by its full path.
needed=(librsvg2-bin:rsvg-convert cmake:cmake)
command -v magick >/dev/null || needed+=(imagemagick:/usr/bin/convert)
missing=()
for entry in "${needed[@]}"; do
  command -v "${entry#*:}" >/dev/null || missing+=("${entry%%:*}")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  sudo=()
  [[ $(id -u) -ne 0 ]] && sudo=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
if command -v magick >/dev/null; then
  im=(magick)
else
  im=(/usr/bin/convert)
fi

# One SVG rendered at one size, as 8-bit RGBA with no ancillary chunks.
render() {  # svg size out.png
  rsvg-convert --width "$2" --height "$2" "$1" |
    "${im[@]}" png:- -strip -define png:exclude-chunks=all \
      -depth 8 "PNG32:$3"
}

for name in app tray; do
  sizes=("${ico_sizes[@]}")
  [[ $name == app ]] && sizes+=(256)
  for size in "${sizes[@]}"; do
    render "$dir/$name.svg" "$size" "$dir/$name-$size.png"
  done
  # Direct-colour with alpha, so every entry is written as a 32-bit bitmap.
  pngs=()
  for size in "${ico_sizes[@]}"; do pngs+=("$dir/$name-$size.png"); done
  "${im[@]}" "${pngs[@]}" -alpha set -type TrueColorAlpha "ICO:$dir/$name.ico"
done

cmake -DICON_DIR="$PWD/$dir" -P tests/check_icons.cmake
