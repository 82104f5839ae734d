#!/bin/sh
# Draws ui/mark.png, the 512x512 application icon shown in the setup page's header:
# a rounded square with a diagonal violet-to-blue gradient and a white "V" folded
# from two strokes. Drawn at twice the size and scaled down for smooth edges;
# metadata and time stamps are left out so that the same ImageMagick gives the same bytes.
#
#   ui/make-mark.sh [output.png]
set -eu

here=$(cd "$(dirname "$0")" && pwd)
out=${1:-"$here/mark.png"}

# The real ImageMagick, even where a wrapper of that name comes first on PATH.
convert=convert
[ -x /usr/bin/convert ] && convert=/usr/bin/convert
if ! "$convert" -version 2>/dev/null | grep -q ImageMagick; then
  echo "make-mark.sh: ImageMagick's convert is needed (apt-get install imagemagick)" >&2
  exit 1
fi

# Geometry on a 1024 canvas. Each arm is a band 128 wide; the right arm lies over
# the left one, which is tinted, so the V reads as folded. The left arm's foot is
# cut along the right arm's outer edge so that no corner shows past it.
left_arm="252,280 380,280 576,721 566,744 458,744"
right_arm="644,280 772,280 566,744 438,744"

"$convert" \
  -size 1024x1024 xc: -colorspace sRGB \
  -sparse-color Barycentric '0,0 #9a7bff 1023,1023 #2f6bf0' \
  \( -size 1024x1024 xc:none \
     -fill 'rgba(255,255,255,0.16)' -draw 'roundrectangle 40,40 983,520 210,210' \
     -blur 0x60 \) -compose over -composite \
  \( -size 1024x1024 xc:none -fill 'rgba(18,12,70,0.40)' \
     -draw "polygon $left_arm" -draw "polygon $right_arm" \
     -blur 0x22 -geometry +0+18 \) -compose over -composite \
  -fill '#d8d2ff' -draw "polygon $left_arm" \
  -fill '#ffffff' -draw "polygon $right_arm" \
  \( -size 1024x1024 xc:black -fill white -draw 'roundrectangle 40,40 983,983 210,210' \) \
  -alpha off -compose CopyOpacity -composite \
  -filter Lanczos -resize 512x512 \
  -strip -define png:exclude-chunks=date,time -depth 8 \
  "PNG32:$out"
