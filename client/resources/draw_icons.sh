#!/usr/bin/env bash
# Draws the client's icons as PNG files next to this script, with ImageMagick,
# using only colours of the 16-colour palette and no anti-aliasing:
#   program-32.png, program-16.png  icon 128, the program: a speech balloon
#                                   with a red dot for the voice
#   program-48/64/128/256.png       the same, scaled up for desktop menus
#   member.png                      icon 130, a small red dot
#   speaker.png                     icon 131, a red ring around a red dot
# The PNGs are committed; run this again only to change a picture.
set -euo pipefail
cd "$(dirname "$0")"

draw() {  # size output draw-arguments...
  local size=$1 out=$2
  shift 2
  convert -size "${size}x${size}" xc:none +antialias "$@" -define png:color-type=6 "$out"
}

draw 32 member.png \
  -fill '#FF0000' -stroke '#800000' -strokewidth 1 -draw 'circle 15.5,15.5 15.5,8.5'

draw 32 speaker.png \
  -fill none -stroke '#FF0000' -strokewidth 3 -draw 'circle 15.5,15.5 15.5,3.5' \
  -fill '#FF0000' -stroke '#800000' -strokewidth 1 -draw 'circle 15.5,15.5 15.5,10.5'

draw 32 program-32.png \
  -fill '#FFFFFF' -stroke '#000080' -strokewidth 2 -draw 'roundrectangle 2,3 29,21 5,5' \
  -fill '#FFFFFF' -stroke '#000080' -strokewidth 2 -draw 'polygon 8,20 7,28 15,20' \
  -stroke none -fill '#FFFFFF' -draw 'rectangle 9,19 13,21' \
  -stroke '#808080' -strokewidth 2 -draw 'line 7,9 20,9' -draw 'line 7,14 17,14' \
  -stroke '#800000' -strokewidth 1 -fill '#FF0000' -draw 'circle 24.5,23.5 24.5,18.5'

draw 16 program-16.png \
  -fill '#FFFFFF' -stroke '#000080' -strokewidth 1 -draw 'roundrectangle 0,1 14,10 3,3' \
  -fill '#FFFFFF' -stroke '#000080' -strokewidth 1 -draw 'polygon 3,10 3,14 7,10' \
  -stroke none -fill '#FFFFFF' -draw 'rectangle 4,9 6,10' \
  -stroke '#808080' -draw 'line 3,4 10,4' -draw 'line 3,7 8,7' \
  -stroke '#800000' -fill '#FF0000' -draw 'circle 12,12 12,9'

# The program's icon for desktop menus at the usual sizes, scaled by whole
# factors with no smoothing so that every pixel stays a block of one colour.
scale() {  # source factor output
  convert "$1" -filter point -resize "$(( $2 * 100 ))%" -strip -define png:color-type=6 "$3"
}
scale program-16.png 3 program-48.png
scale program-32.png 2 program-64.png
scale program-32.png 4 program-128.png
scale program-32.png 8 program-256.png
