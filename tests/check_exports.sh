#!/bin/sh
# The library must export the fifteen FLB functions and nothing else of ours.
lib=$1
got=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | grep -v '^_' | sort)
want=$(printf '%s\n' FLBGetFavoriteFlag FLBGetFileName FLBGetMovieList FLBGetName FLBGetOrder \
  FLBGetPictureList FLBGetThumbnail FLBGetURL FLBNotifyAVLS FLBRemove FLBSetFavoriteFlag \
  FLBSetFolder FLBSetName FLBUpdate FLBUpdateCancel | sort)
if [ "$got" != "$want" ]; then
  echo "exported symbols differ:"; echo "$got" | diff - /dev/stdin <<E
$want
E
  exit 1
fi
echo "15 exports, nothing else"
