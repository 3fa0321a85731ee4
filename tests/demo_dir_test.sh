#!/bin/sh
# scripts/demo empties its folder: a folder holding the user's files, a file, or a link
# must be refused before anything is touched.
#   demo_dir_test.sh SOURCE_DIR
set -eu
demo=$1/scripts/demo
work=$(mktemp -d /tmp/flb-demo-dir-XXXXXX)
trap 'rm -rf "$work"' EXIT

mkdir "$work/mine"
echo "the user's notes" >"$work/mine/notes.txt"
echo "the user's file" >"$work/file"
ln -s "$work/mine" "$work/link"
for dir in "$work/mine" "$work/file" "$work/link"; do
  if FLB_DEMO_DIR=$dir "$demo" >"$work/out" 2>&1; then
    echo "the demo took $dir"; exit 1
  fi
  grep -q 'left alone' "$work/out" || { cat "$work/out"; exit 1; }
done
[ "$(cat "$work/mine/notes.txt")" = "the user's notes" ] || { echo "notes.txt changed"; exit 1; }
[ "$(cat "$work/file")" = "the user's file" ] || { echo "the file changed"; exit 1; }
[ "$(ls -A "$work/mine")" = notes.txt ] || { echo "files added to the user's folder"; exit 1; }
echo "folders of the user's are refused and left as they were"
