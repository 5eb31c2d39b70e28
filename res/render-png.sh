#!/usr/bin/env bash
# Renders the 256x256 RGBA PNG icons from their SVG sources. The PNGs are
# committed; run this again after changing an SVG (needs rsvg-convert, librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for name in wave export-arrow delete-bin; do
    rsvg-convert --width 256 --height 256 --keep-aspect-ratio --format png \
        --output "$name.png" "$name.svg"
done
