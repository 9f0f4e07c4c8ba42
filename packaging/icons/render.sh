#!/usr/bin/env bash
# Renders the PNG sizes of the application icon from the same shapes as hicolor/scalable/apps/wendrix.svg (drawn ten
# times larger, then reduced, for clean edges at 16 px). Needs ImageMagick.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 24 32 48; do
  mkdir -p "hicolor/${size}x${size}/apps"
  convert -size 480x480 xc:none \
    -fill '#0080ff' -draw 'roundrectangle 20,20 459,459 80,80' \
    -fill '#ffffff' -draw 'polygon 90,150 200,150 230,190 390,190 390,380 90,380' \
    -fill '#0080ff' -draw 'polygon 210,230 210,350 310,290' \
    -resize "${size}x${size}" -define png:color-type=6 "png32:hicolor/${size}x${size}/apps/wendrix.png"
done
