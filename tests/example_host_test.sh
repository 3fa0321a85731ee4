#!/usr/bin/env bash
# The POSIX example host, as built, against the reference servers on the demo content:
# its update completes on the pipe, it lists every ad in display order with its files,
# and the log server stores its view under the update's user id.
#   example_host_test.sh EXAMPLE_HOST FLB_HOST ADS_SERVER AVLS_SERVER CONTENT_DIR
set -euo pipefail
example=$1 flbhost=$2 ads=$3 avls=$4 content=$5
work=$(mktemp -d /tmp/flb-example-XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null; wait; rm -rf "$work"' EXIT
export FLB_REGISTRY_DIR=$work/registry FLB_MESSAGE_LOG= no_proxy=127.0.0.1
"$ads" --port 0 --content "$content" >"$work/ads.out" 2>&1 &
"$avls" --port 0 --db "$work/views.db" >"$work/avls.out" 2>&1 &
port_of() { timeout 10 sh -c "until grep -q '^listening' $1; do sleep 0.1; done" && sed -n 's/^listening on .*://p' "$1"; }
"$flbhost" settings --server-base "http://127.0.0.1:$(port_of "$work/ads.out")/ads/" \
  --notify "http://127.0.0.1:$(port_of "$work/avls.out")/avls/log.php3" >/dev/null

fail() { echo "$1"; echo "--- example host said:"; echo "$out"; exit 1; }
out=$("$example" "$work/ads" example-user) || fail "the example host exited with $?"
out=$(iconv -f CP932 -t UTF-8 <<<"$out")  # names are code page 932 bytes, as the library keeps them
[ "$(head -1 <<<"$out")" = "update done" ] || fail "no completion"
# Movies first, then by priority; each line: code, name, file, thumbnail, link.
order=$(sed -n '2,6s/\t.*//p' <<<"$out" | paste -sd' ')
[ "$order" = "0002002 0002001 0001002 0001001 0001003" ] || fail "order is '$order'"
[ "$(sed -n 2p <<<"$out")" = "0002002	料理教室の紹介	$work/ads/0002002.wmv	$work/ads/0002002.jpg	http://cooking.example.test/class" ] ||
  fail "wrong line for the movie"
for f in 0002002.wmv 0002002.jpg 0002001.wmv 0001002.jpg 0001001.png 0001003.png; do [ -s "$work/ads/$f" ] || fail "no $f"; done
[ "$(tail -1 <<<"$out")" = "view reported" ] || fail "no view reported"
kill %2 && wait %2 || true
[ "$("$avls" --dump --db "$work/views.db" | cut -f1-4)" = "example-user	0002002	1	front page" ] || fail "view not stored"
echo "example host: update, order, files and a view as expected"
