#!/usr/bin/env bash
# Makes the demo's ads: small real pictures and movies, each movie packed with its
# thumbnail into a cabinet, and the manifest the ad server reads. The output is
# committed (a few KB each); run this only to change it.
# Needs the Debian packages imagemagick, ffmpeg, gcab and fonts-noto-cjk.
set -euo pipefail
cd "$(dirname "$0")"
out=content
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
font=$(fc-match -f '%{file}' 'Noto Sans CJK JP' 2>/dev/null || true)

picture() {  # file colour text
    convert -size 240x135 "gradient:$2" -gravity center ${font:+-font "$font"} -pointsize 26 \
        -fill white -annotate 0 "$3" -strip "$1"
}
picture "$out/spring-sale.png" 'lightpink-crimson' '春のセール'
picture "$out/coffee.jpg" 'sienna-saddlebrown' 'コーヒー 20% OFF'
picture "$out/books.png" 'lightblue-navy' '新刊入荷'
convert "$out/coffee.jpg" -quality 70 "$out/coffee.jpg"

movie() {  # name colour text seconds
    ffmpeg -loglevel error -y -f lavfi -i "color=c=$2:s=160x90:d=$4:r=10" \
        -vf "drawbox=x='mod(t*40,160)':y=30:w=30:h=30:color=white:t=fill" \
        -c:v wmv2 -b:v 40k -an "$work/$1.wmv"
    convert -size 160x90 "xc:$2" -gravity center ${font:+-font "$font"} -pointsize 18 \
        -fill white -annotate 0 "$3" -quality 70 -strip "$work/$1.jpg"
    # Stored with a fixed date, as the ad server's own packing tool would keep it.
    touch -d '2026-04-01 09:00:00' "$work/$1.wmv" "$work/$1.jpg"
    (cd "$work" && gcab -c -z "$OLDPWD/$out/$1.cab" "$1.wmv" "$1.jpg")
}
movie trailer teal '予告編' 3
movie cooking darkorange '料理教室' 2

cat > "$out/manifest.txt" <<'MANIFEST'
# code	ext	priority	name	link	payload
1001	png	3	春のセール	http://shop.example.test/spring	spring-sale.png
1002	jpg	5	コーヒー割引	http://cafe.example.test/coupon?id=20	coffee.jpg
1003	png	1	新刊のお知らせ	http://books.example.test/new	books.png
2001	cab	2	映画の予告編	http://cinema.example.test/trailer	trailer.cab
2002	cab	4	料理教室の紹介	http://cooking.example.test/class	cooking.cab
MANIFEST
ls -l "$out"
