#!/bin/sh
# Writes a program's man page from a template beside its sources and the
# program's own --help, so the page says what the program does today.
#   manpage.sh PROGRAM TEMPLATE OUTPUT VERSION
# In the template, @HELP@ becomes the synopsis and description from
# "PROGRAM --help", @COMMANDS@ one subsection per command listed under
# "Commands:" from "PROGRAM COMMAND --help", @VERSION@ the version.
# OUTPUT ending in .gz is compressed as Debian wants it (gzip -9n).
set -eu
program=$1 template=$2 output=$3 version=$4
here=$(cd "$(dirname "$0")" && pwd)
name=$(basename "$program")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# No terminal, no locale of the builder's in the text.
help() { LC_ALL=C COLUMNS=80 "$program" "$@" --help </dev/null; }

help >"$tmp/help" || { echo "manpage.sh: '$program --help' failed" >&2; exit 1; }
awk -v prog="$name" -v mode=main -f "$here/help2roff.awk" "$tmp/help" >"$tmp/help.roff"

: >"$tmp/commands.roff"
if grep -q '@COMMANDS@' "$template"; then
  commands=$(awk '/^Commands:/ { on = 1; next } on && /^$/ { exit } on && /^  [a-z]/ { print $1 }' "$tmp/help")
  [ -n "$commands" ] || { echo "manpage.sh: no commands under 'Commands:' in '$program --help'" >&2; exit 1; }
  for c in $commands; do
    help "$c" >"$tmp/cmd" || { echo "manpage.sh: '$program $c --help' failed" >&2; exit 1; }
    printf '.SS %s\n' "$c" >>"$tmp/commands.roff"
    awk -v prog="$name" -v mode=sub -f "$here/help2roff.awk" "$tmp/cmd" >>"$tmp/commands.roff"
  done
fi

awk -v version="$version" -v helpf="$tmp/help.roff" -v cmdf="$tmp/commands.roff" '
  function cat(f,    l) { while ((getline l < f) > 0) print l; close(f) }
  /^@HELP@$/ { cat(helpf); next }
  /^@COMMANDS@$/ { cat(cmdf); next }
  { gsub(/@VERSION@/, version); print }' "$template" >"$tmp/page"

case $output in
  *.gz) gzip -9n <"$tmp/page" >"$tmp/page.gz" && mv "$tmp/page.gz" "$output" ;;
  *) mv "$tmp/page" "$output" ;;
esac
