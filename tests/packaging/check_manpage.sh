#!/usr/bin/env bash
# Checks the manual page: man, groff and mandoc render it without a warning,
# and it names every console line and every failure label the service's
# source can write, so a new line cannot go undocumented.
# Usage: check_manpage.sh PAGE SOURCE-DIR
set -euo pipefail

page=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

groff -ww -z -man -Tutf8 "$page" 2>"$work/groff" || fail "groff exited with status $?"
[ -s "$work/groff" ] && fail "groff -ww warns: $(cat "$work/groff")"

mandoc -T lint "$page" >"$work/mandoc" 2>&1 || fail "mandoc -T lint: $(cat "$work/mandoc")"
[ -s "$work/mandoc" ] && fail "mandoc -T lint: $(cat "$work/mandoc")"

MANWIDTH=80 man --warnings -l "$page" >"$work/man" 2>"$work/man-errors" || fail "man -l exited with status $?"
[ -s "$work/man-errors" ] && fail "man -l warns: $(cat "$work/man-errors")"
grep -q 'CONSOLE LINES' "$work/man" || fail "man -l rendered no CONSOLE LINES section"

# The rendered text on very long lines, blanks squeezed, so that no console
# line is broken or padded by filling.
groff -man -Tutf8 -P-cbou -rLL=2000n "$page" 2>/dev/null | tr -s ' ' >"$work/text"

# Console lines: the literal pieces of every console format in the service,
# between its conversions (a lead built for ConsoleText included). The
# WSAStartup line exists only on Windows.
grep -rhoE '(ConsoleLine\(|ConsoleQuoted\("[a-z]+", |snprintf\(lead, sizeof lead, )"([^"\\]|\\.)*"' "$source_dir/service" \
  "$source_dir/intake" "$source_dir/db" |
  sed -e 's/^ConsoleQuoted("[a-z]*", //' -e 's/^[^"]*"//' -e 's/"$//' | grep -v '^WSAStartup' >"$work/formats"
[ "$(wc -l <"$work/formats")" -ge 15 ] || fail "found only $(wc -l <"$work/formats") console formats in the source"
while IFS= read -r format; do
  printf '%s\n' "$format" | sed -e 's/\\n//g' -e 's/\\"/"/g' -e 's/%[-.*0-9l]*[sdu]/\n/g' >"$work/pieces"
  while IFS= read -r piece; do
    piece=$(printf '%s' "$piece" | tr -s ' ' | sed -e 's/^ //' -e 's/ $//')
    [ -z "$piece" ] && continue
    grep -qF -- "$piece" "$work/text" || fail "console line \"$format\": \"$piece\" is not in the page"
  done <"$work/pieces"
done <"$work/formats"

# Failure labels, as handed to the diagnostics report.
grep -rhoE '(ReportOdbcErrors\([^")]*|failedStep = )"[^"]+"' "$source_dir/service" "$source_dir/db" |
  sed -e 's/.*"\(.*\)"$/\1/' | sort -u >"$work/labels"
[ "$(wc -l <"$work/labels")" -ge 9 ] || fail "found only $(wc -l <"$work/labels") failure labels in the source"
while IFS= read -r label; do
  grep -qF -- "$label" "$work/text" || fail "failure label \"$label\" is not in the page"
done <"$work/labels"

if [ $failures -ne 0 ]; then
  exit 1
fi
echo "ok: the page renders cleanly and names $(wc -l <"$work/formats") console formats and $(wc -l <"$work/labels") failure labels"
