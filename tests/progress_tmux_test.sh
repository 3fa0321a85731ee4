#!/bin/sh
# The progress line on real terminals of 60 and 80 columns (tmux): while an update runs
# no line is wider than the terminal, and once it is over no stale row is left.
#   progress_tmux_test.sh FLB_HOST ADS_SERVER CONTENT_DIR
set -eu
host=$1 server=$2 content=$3
work=$(mktemp -d /tmp/flb-tmux-XXXXXX)
socket_base=flb-progress-$$ socket=$socket_base
server_pid=
cleanup() {
  tmux -L "$socket" kill-server 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export LC_ALL=C.UTF-8

"$server" --port 0 --content "$content" --fault slow-payload=20 >"$work/server.out" 2>/dev/null &
server_pid=$!
for _ in $(seq 100); do grep -q '^listening on' "$work/server.out" && break; sleep 0.1; done
port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$work/server.out")
[ -n "$port" ] || { echo "ads-server did not start"; exit 1; }
FLB_REGISTRY_DIR=$work/registry "$host" settings --server-base "http://127.0.0.1:$port/ads/" >/dev/null

for width in 60 80; do
  socket=$socket_base-$width
  tmux -L "$socket" new-session -d -x "$width" -y 20 \
    "env FLB_REGISTRY_DIR=$work/registry no_proxy=127.0.0.1 LC_ALL=C.UTF-8 $host --folder $work/ads$width \
       update --user u1 --version 1.0; echo flb-finished; sleep 60"
  seen=0 over=0
  for _ in $(seq 600); do
    # -J joins what the terminal wrapped, so a line too wide shows as wider than the pane.
    tmux -L "$socket" capture-pane -p -J >"$work/pane"
    if grep -q '\] *[0-9]*%' "$work/pane"; then
      seen=1
      widest=$(grep '\] *[0-9]*%' "$work/pane" | wc -L)
      [ "$widest" -lt "$width" ] || { over=1; cp "$work/pane" "$work/wide"; }
    fi
    grep -q '^flb-finished' "$work/pane" && break
    sleep 0.05
  done
  grep -q '^update done' "$work/pane" || { echo "$width columns: the update did not finish:"; cat "$work/pane"; exit 1; }
  [ "$over" -eq 0 ] || { echo "$width columns: a progress line was wider than the terminal:"; cat "$work/wide"; exit 1; }
  [ "$seen" -eq 1 ] || { echo "$width columns: no progress line was ever drawn"; exit 1; }
  if grep -q '\] *[0-9]*%' "$work/pane"; then
    echo "$width columns: a stale progress row is left:"; cat "$work/pane"; exit 1
  fi
  tmux -L "$socket" kill-server
  echo "$width columns: one line, nothing left behind"
done
