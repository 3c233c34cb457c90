#!/bin/sh
# Renders a manual page as a small HTML page: groff's plain-text rendering
# (the one the Windows manual is made from) in a <pre>, its overstruck bold
# and underlined letters as <b> and <i>. The desktop spooler's Help menu
# opens the page in the user's browser.
#   render_manual_html.sh PAGE.1 OUT.html
set -eu
page=$1
out=$2
title=$(basename "$page" | sed 's/\.\([1-9]\)$/(\1)/')
bs=$(printf '\b')
soh=$(printf '\001'); stx=$(printf '\002'); etx=$(printf '\003'); eot=$(printf '\004')
{
  printf '<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
  printf '<title>%s</title>\n</head>\n<body>\n<pre>\n' "$title"
  # Overstrikes first, into marks that no text holds; then the text's own
  # <, > and & are escaped; then the marks become tags, runs merged.
  groff -man -Tascii -P-c "$page" 2>/dev/null |
    LC_ALL=C sed -e "s/_$bs\\(.\\)/$soh\\1$stx/g" \
                 -e "s/\\(.\\)$bs\\1/$etx\\1$eot/g" \
                 -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' \
                 -e "s/$soh/<i>/g" -e "s/$stx/<\\/i>/g" \
                 -e "s/$etx/<b>/g" -e "s/$eot/<\\/b>/g" \
                 -e 's/<\/i><i>//g' -e 's/<\/b><b>//g'
  printf '</pre>\n</body>\n</html>\n'
} >"$out.tmp"
# groff said nothing useful: no page rather than an empty one.
grep -q '[A-Za-z]' "$out.tmp" && [ "$(wc -l <"$out.tmp")" -gt 20 ] || {
  rm -f "$out.tmp"
  echo "groff rendered nothing of $page" >&2
  exit 1
}
mv "$out.tmp" "$out"
