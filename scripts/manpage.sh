#!/usr/bin/env bash
# manpage.sh README PAGE SECTION HEADING: prints, as a man page, the README
# section "## HEADING" (up to the next "## "): paragraphs, "- " lists and
# indented blocks, with Markdown's backticks and emphasis dropped.
set -eu
readme=$1 page=$2 sec=$3 heading=$4
grep -qx "## $heading" "$readme" || {
    echo "manpage: no section \"$heading\" in $readme" >&2
    exit 1
}
awk -v page="$page" -v sec="$sec" -v heading="$heading" '
function text(s) {
    gsub(/\\/, "\\e", s)
    gsub(/`|\*\*/, "", s)
    sub(/^[.'"'"']/, "\\\\\\&&", s)
    return s
}
BEGIN { printf ".TH %s %s \"\" jxbridge\n.SH NAME\n%s \\- %s\n.SH DESCRIPTION\n", toupper(page), sec, page, heading }
$0 == "## " heading { on = 1; next }
on && /^## / { exit }
!on { next }
/^#+ / { sub(/^#+ /, ""); print ".SS " text($0); mode = ""; next }
/^$/ { if (mode == "code") { print ".fi"; mode = "" } pending = 1; next }
/^    / && mode != "list" || mode == "code" && /^    / {
    if (mode != "code") { print ".PP\n.nf"; mode = "code" }
    sub(/^    /, ""); print text($0); pending = 0; next
}
/^- / { if (mode == "code") print ".fi"; sub(/^- /, ""); print ".IP \\(bu 2"; print text($0); mode = "list"; pending = 0; next }
{
    if (mode == "code") { print ".fi"; mode = "" }
    if (pending) { print (mode == "list" && /^  /) ? ".IP" : ".PP"; if (!/^  /) mode = ""; pending = 0 }
    sub(/^ +/, ""); print text($0)
}
END { if (mode == "code") print ".fi" }
' "$readme"
