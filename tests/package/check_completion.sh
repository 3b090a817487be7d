#!/usr/bin/env bash
# Runs flashtool's bash completion for each command and compares what it offers.
#   tests/package/check_completion.sh COMPLETION_FILE
set -uo pipefail
completion="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
[ -r /usr/share/bash-completion/bash_completion ] || { echo "bash-completion is missing"; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir dir
touch a.mot b.txt
# shellcheck disable=SC1091
source /usr/share/bash-completion/bash_completion
# shellcheck disable=SC1090
source "$completion"
flashtool() { printf ' 1  /dev/ttyUSB0\n 2  /dev/ttyS0\n'; }  # the port list, not the system's

unit="--edition --install-dir --json --log --port --sim-boot-mode --sim-faults --sim-in-loader"
unit+=" --sim-model --sim-restart-ms --sim-unit-id --sim-version --sim-virtual --trace --work-dir"
# The command line up to the cursor (the word after the last blank is completed) | what is offered
cases=(
    "flashtool |boot check flash identify image mppt ports restart station"
    "flashtool --|--config --help --print-config --version"
    "flashtool ports |--help"
    "flashtool ports --|--help"
    "flashtool image |a.mot dir"
    "flashtool image --|--help --work-dir"
    "flashtool image a.mot |--help --work-dir"
    "flashtool identify |--help $unit"
    "flashtool identify --port 1 |--help $unit"
    "flashtool flash |a.mot dir"
    "flashtool flash --port sim |a.mot dir"
    "flashtool flash --port sim a.mot |--confirm --help --retries --unchecked $unit"
    "flashtool flash --work-dir dir |a.mot dir"
    "flashtool mppt --|--confirm --help --retries --unchecked $unit"
    "flashtool restart --|--block --confirm --help --only --retries $unit"
    "flashtool boot --|--confirm --help $unit"
    "flashtool check --|--help $unit"
    "flashtool station --|--confirm --edition --help --install-dir --json --log --port --retries --trace --work-dir"
    "flashtool station a.mot --port 1 |--confirm --edition --help --install-dir --json --log --port --retries --trace --work-dir"
    "flashtool flash a.mot --port |/dev/ttyS0 /dev/ttyUSB0 sim"
    "flashtool flash a.mot --port s|sim"
    "flashtool flash a.mot --port=s|sim"
    "flashtool restart a.mot --block |control mppt temperase"
    "flashtool flash a.mot --edition |A B"
    "flashtool flash a.mot --sim-in-loader |control mppt"
    "flashtool flash a.mot --work-dir |dir"
    "flashtool flash a.mot --retries |"
    "flashtool flash a.mot --sim-faults |"
)
passed=0
failed=0
for entry in "${cases[@]}"; do
    line="${entry%%|*}"
    expected="${entry#*|}"
    read -ra COMP_WORDS <<<"$line"
    [[ "$line" == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="$line"
    COMP_POINT=${#line}
    COMPREPLY=()
    _flashtool flashtool "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    offered="$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | tr '\n' ' ' | sed 's/ $//')"
    want="$(printf '%s\n' $expected | sort | tr '\n' ' ' | sed 's/ $//')"
    if [ "$offered" = "$want" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'after "%s":\n  offered  %s\n  expected %s\n' "$line" "$offered" "$want"
    fi
done
echo "completion: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
