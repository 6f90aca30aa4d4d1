#!/usr/bin/env bash
# Draws the window's artwork into res/ with ImageMagick (needs imagemagick and
# fonts-wqy-microhei). The results are committed; the build does not run this.
#   133  background, 437 x 192
#   140  close button: four 26 x 16 cells (normal, hover, pressed, grey)
#   141  progress fill, 378 x 8
#   142  Skip button: four 101 x 28 cells labelled 跳过
#   143  Switch-server button: four 101 x 28 cells labelled 切换服务器
#   128  window icon; 130-132 the three frames of the tray animation
set -euo pipefail
cd "$(dirname "$0")/../res"
font=$(fc-match -f '%{file}' 'WenQuanYi Micro Hei')
bmp() { convert "$@" -alpha off -type TrueColor "BMP3:$out"; }

# Background: a deep blue panel with a title strip, a framed progress track
# and a light plate under the status line, whose text is drawn in the
# default (black) text colour.
out=bitmap_133.bmp
bmp -size 437x192 gradient:'#1b2a4a-#0d1526' \
  -fill '#0a1120' -draw 'rectangle 0,0 436,20' \
  -fill '#2f6fd6' -draw 'rectangle 0,21 436,21' \
  -fill '#e8eefc' -font "$font" -pointsize 12 -draw "text 10,15 '自动升级'" \
  -fill '#101a30' -stroke '#3a5890' -strokewidth 1 -draw 'roundrectangle 28,115 411,128 4,4' \
  -stroke '#8fb0e8' -fill '#e6ecf8' -draw 'roundrectangle 28,130 411,149 3,3' -stroke none \
  -fill '#2a3d66' -draw 'rectangle 20,104 416,104' \
  -fill '#5b74a8' -font "$font" -pointsize 11 -draw "text 31,98 '正在为您更新游戏，请稍候'" \
  -fill '#0a1120' -draw 'rectangle 0,188 436,191'

# Close button: a cross on a plate that lights up and sinks in.
out=bitmap_140.bmp
cell() { # fill stroke cross dy
  convert -size 26x16 xc:'#0a1120' -fill "$1" -draw 'roundrectangle 1,1 24,14 3,3' \
    -stroke "$2" -strokewidth 2 -draw "line 9,$((4 + $3)) 16,$((11 + $3))" \
    -draw "line 16,$((4 + $3)) 9,$((11 + $3))" miff:-
}
{ cell '#0a1120' '#c9d3ea' 0; cell '#c0392b' '#ffffff' 0; cell '#8e2a20' '#f0d0cc' 1; cell '#0a1120' '#4a5570' 0; } |
  convert - +append -alpha off -type TrueColor "BMP3:$out"

# Progress fill: cyan to green with a highlight along the top.
out=bitmap_141.bmp
bmp -size 378x8 gradient:'#27c4f5-#3ee08f' -rotate 0 \
  \( -size 378x8 gradient:'#27c4f5-#3ee08f' -rotate 90 -resize '378x8!' \) -delete 0 \
  -fill '#ffffff40' -draw 'rectangle 0,1 377,2'

# The two wide buttons: normal, hover, pressed (sunk by a pixel), grey.
button() { # label out
  local label=$1
  out=$2
  b() { # top bottom border text dy
    convert -size 101x28 xc:'#0d1526' \
      \( -size 97x24 gradient:"$1-$2" \) -geometry +2+$((2 + $5)) -composite \
      -fill none -stroke "$3" -strokewidth 1 -draw "roundrectangle 2,$((2 + $5)) 98,$((25 + $5)) 5,5" \
      -stroke none -fill "$4" -font "$font" -pointsize 13 -gravity center \
      -draw "text 0,$5 '$label'" miff:-
  }
  { b '#3b82f6' '#1d4ed8' '#93c5fd' '#ffffff' 0
    b '#60a5fa' '#2563eb' '#dbeafe' '#ffffff' 0
    b '#1e40af' '#1e3a8a' '#3b82f6' '#dbe4ff' 1
    b '#4b5563' '#374151' '#6b7280' '#9ca3af' 0; } |
    convert - +append -alpha off -type TrueColor "BMP3:$out"
}
button '跳过' bitmap_142.bmp
button '切换服务器' bitmap_143.bmp

# Icons: a round badge with a down arrow; the tray frames turn a ring.
icon() { # out ring-start
  convert -size 32x32 xc:none -fill '#1d4ed8' -draw 'circle 16,16 16,2' \
    -fill none -stroke '#7dd3fc' -strokewidth 3 -draw "arc 4,4 28,28 $2,$(($2 + 240))" \
    -stroke none -fill '#ffffff' -draw 'polygon 11,13 21,13 16,21' -draw 'rectangle 14,8 18,13' \
    -define icon:auto-resize=32,16 "$1"
}
icon icon_128.ico 0
icon icon_130.ico 0
icon icon_131.ico 120
icon icon_132.ico 240
echo "artwork written to $(pwd)"
