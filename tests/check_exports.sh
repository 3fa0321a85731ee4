#!/bin/sh
# The library exports the functions of include/flyerbank_exports.inc and nothing else of
# ours, and the link's own lists (version script, definition file) name the same ordinals.
lib=$1 src=$(dirname "$0")/..
want=$(sed -n 's/^FLB_EXPORT(\([A-Za-z]*\), \([0-9]*\))$/\1 \2/p' "$src/include/flyerbank_exports.inc")
names=$(echo "$want" | cut -d' ' -f1 | sort)
got=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | grep -v '^_' | sort)
map=$(tr ' ;' '\n\n' <"$src/src/frame/flyerbank.map" | grep '^FLB' | sort)
def=$(sed -n 's/^ *\(FLB[A-Za-z]*\) *@\([0-9]*\).*/\1 \2/p' "$src/src/frame/Flyerbank.def")
[ "$got" = "$names" ] || { printf 'exported:\n%s\nwanted:\n%s\n' "$got" "$names"; exit 1; }
[ "$map" = "$names" ] || { echo "flyerbank.map differs from flyerbank_exports.inc"; exit 1; }
[ "$def" = "$want" ] || { echo "Flyerbank.def differs from flyerbank_exports.inc"; exit 1; }
echo "$(echo "$want" | wc -l) exports, nothing else"
