#!/usr/bin/env bash
# Checks the manual pages against the programs: every command flashtool's --help lists has its
# section in flashtool(1), every option a command's --help lists is in that section (or in the
# unit options its section refers to), and so for unitsim(1); the pages render without warnings.
#   tests/package/check_manuals.sh FLASHTOOL UNITSIM MAN_DIR
set -uo pipefail
flashtool="$1"
unitsim="$2"
man_dir="$3"
passed=0
failed=0
fail() {
    failed=$((failed + 1))
    echo "$*"
}

# The long options a --help text lists, one a line.
options_of() { sed -n 's/^  \(-[a-zA-Z],\)\{0,1\}\(--[a-z][a-z0-9-]*\).*/\2/p'; }
# The text of a page's section (.SH NAME) or subsection (.SS "TITLE..."), by its heading's pattern.
section_of() { # PAGE HEADING_REGEX
    awk -v pattern="$2" '/^\.S[HS] / { inside = ($0 ~ pattern) } inside' "$1"
}
# Whether roff text names the option (written \-\-name, not as the start of a longer one).
names() { # TEXT OPTION
    local roff="${2//-/\\\\-}"
    grep -Eq -- "${roff}([^a-z0-9\\\\-]|$)" <<<"$1"
}

page="$man_dir/flashtool.1"
commands="$("$flashtool" --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z][a-z-]*\) .*/\1/p')"
[ -n "$commands" ] || fail "flashtool --help lists no commands"
unit_section="$(section_of "$page" '^\.SS "Unit options"')"
for command in $commands; do
    text="$(section_of "$page" "^\\.SS \"flashtool $command( |\")")"
    if [ -z "$text" ]; then
        fail "flashtool.1 has no section for $command"
        continue
    fi
    [[ "$text" == *"unit options"* ]] && text+=$'\n'"$unit_section"
    # --help, which every command takes, is among the options of the program.
    for option in $("$flashtool" "$command" --help | options_of | grep -vx -- --help); do
        if names "$text" "$option"; then
            passed=$((passed + 1))
        else
            fail "flashtool.1: $command's section lacks $option"
        fi
    done
done
text="$(section_of "$page" '^\.SH OPTIONS')"
for option in $("$flashtool" --help | sed '/^Subcommands:/,$d' | options_of); do
    names "$text" "$option" && passed=$((passed + 1)) || fail "flashtool.1: OPTIONS lacks $option"
done
for setting in FLASHTOOL_PORT FLASHTOOL_LOG FLASHTOOL_CONFIRM FLASHTOOL_RETRIES \
    FLASHTOOL_WORK_DIR FLASHTOOL_INSTALL_DIR FLASHTOOL_EDITION; do
    section_of "$page" '^\.SH ENVIRONMENT' | grep -q "^\.B $setting\$" && passed=$((passed + 1)) ||
        fail "flashtool.1: ENVIRONMENT lacks $setting"
done
for file in tmp.bin log1.bin log2.bin .flashtool.lock flashtool.conf; do
    section_of "$page" '^\.SH FILES' | grep -qF "$file" && passed=$((passed + 1)) ||
        fail "flashtool.1: FILES lacks $file"
done

page="$man_dir/unitsim.1"
text="$(section_of "$page" '^\.SH OPTIONS')"
for option in $("$unitsim" --help | options_of); do
    names "$text" "$option" && passed=$((passed + 1)) || fail "unitsim.1: OPTIONS lacks $option"
done
# The fault plan's kinds and steps, as unitsim's own help lists them.
text="$(section_of "$page" '^\.SH "?FAULT PLAN')"
help="$("$unitsim" --help)"
kinds="$(sed -n '/^Fault plan items:/,/^STEP:/p' <<<"$help" | grep -oE '(^  |, )[a-z-]+:' |
    tr -d ' ,:')"
steps="$(sed -n '/^STEP:/,$p' <<<"$help" | sed 's/^STEP://' | tr ',.' '  ')"
[ -n "$kinds" ] && [ -n "$steps" ] || fail "unitsim --help lists no fault plan"
for word in $kinds $steps; do
    grep -q "^\.BI\{0,1\} ${word//-/\\\\-}\( \|:\|$\)" <<<"$text" && passed=$((passed + 1)) ||
        fail "unitsim.1: FAULT PLAN lacks $word"
done

# Every page renders, without a warning, with the sections a reader looks for.
for page in "$man_dir"/*.1; do
    rendered="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l -P cat "$page" 2>"$man_dir.warnings")"
    if [ -s "$man_dir.warnings" ]; then
        fail "$(basename "$page"): $(cat "$man_dir.warnings")"
    fi
    for heading in NAME SYNOPSIS DESCRIPTION; do
        grep -q "^$heading" <<<"$rendered" && passed=$((passed + 1)) ||
            fail "$(basename "$page") lacks $heading"
    done
done
rm -f "$man_dir.warnings"
for page in flashtool unitsim; do
    for heading in "EXIT STATUS" EXAMPLES; do
        grep -q "^\.SH \"\{0,1\}$heading" "$man_dir/$page.1" && passed=$((passed + 1)) ||
            fail "$page.1 lacks $heading"
    done
done
echo "manuals: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
