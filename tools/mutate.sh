#!/usr/bin/env bash
# Shows what the tests are worth: applies the deliberate faults of tools/mutations.txt one at a
# time to a scratch copy of the tree, builds, runs the unit tests of the fault's folder and, when
# they pass, the integration tests, and reports which faults the tests caught.
#
#   tools/mutate.sh                  every fault; writes tools/mutations.last
#   tools/mutate.sh --only A,B       the named faults only (printed, mutations.last kept)
#   tools/mutate.sh --unit-only      unit tests only (a quick run; integration is skipped)
#   tools/mutate.sh --integration-only   integration tests only, whatever the unit tests say (shows
#                                    which faults the integration tests catch on their own;
#                                    writes tools/mutations-integration.last)
#   tools/mutate.sh --check          only checks that every snippet is found once; no build
#   tools/mutate.sh --keep DIR ...   works in DIR and keeps it, so the next run with the same DIR
#                                    builds incrementally instead of from scratch
#
# Environment: MUTATE_JOBS (build jobs, default 2), MUTATE_TIMEOUT (seconds per unit-test run,
# default 300), MUTATE_IT_TIMEOUT (seconds per integration test, default 300; the whole
# integration run is bounded by ten times that), SOLVANE_FIXTURES (recorded responses, default
# ../shared/fixtures beside the tree).
#
# The user's tree is never written except tools/mutations.last: the tree (tracked and untracked,
# not ignored files) is copied to a temporary folder, built there once, and each fault is applied
# to the copy, built incrementally, tested and reverted. The folder is removed at exit unless
# --keep names it.
#
# Results per fault:
#   caught (unit)          the folder's unit tests failed, or its tests no longer compiled
#   caught (integration)   the unit tests passed and an integration test failed
#   NOT CAUGHT             every test passed
#   stale                  the snippet is not in the file (or not once): the code moved on
#   does not compile       the product code itself no longer builds; rewrite the fault
# A test that already fails without any fault does not count as catching one.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
list="$root/tools/mutations.txt"
last="$root/tools/mutations.last"
jobs=${MUTATE_JOBS:-2}
unit_timeout=${MUTATE_TIMEOUT:-300}
it_timeout=${MUTATE_IT_TIMEOUT:-300}
fixtures=${SOLVANE_FIXTURES:-$root/../shared/fixtures}

only=""
keep=""
unit_only=0
it_only=0
check_only=0
while [ $# -gt 0 ]; do
    case "$1" in
        --only) only="${2:-}"; shift 2 ;;
        --only=*) only="${1#--only=}"; shift ;;
        --unit-only) unit_only=1; shift ;;
        --check) check_only=1; shift ;;
        --keep) keep="${2:-}"; shift 2 ;;
        --keep=*) keep="${1#--keep=}"; shift ;;
        --integration-only) it_only=1; shift ;;
        -h|--help) sed -n '2,/^set -uo/{/^set -uo/d;p}' "$0"; exit 0 ;;
        *) echo "mutate.sh: unknown option '$1' (see --help)" >&2; exit 2 ;;
    esac
done

# The fault list: blocks separated by blank lines, each with the lines
#   id: NAME   file: PATH   what: ONE LINE   find: SNIPPET   replace: REPLACEMENT
# "find" and "replace" take the rest of their line literally (the single space after the colon
# is not part of it); "replace:" may be empty to drop the snippet. Lines starting with # are
# comments. The helper below lists the faults and applies or reverts one of them.
helper=$(mktemp /tmp/solvane-mutate-helper.XXXXXX.py)
cat >"$helper" <<'PY'
import os, sys

def parse(path):
    faults, block = [], {}
    def flush():
        if block:
            missing = [k for k in ("id", "file", "what", "find", "replace") if k not in block]
            if missing:
                sys.exit("mutations.txt: fault %r lacks %s" % (block.get("id", "?"), ", ".join(missing)))
            faults.append(dict(block))
            block.clear()
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            if line.startswith("#"):
                continue
            if not line.strip():
                flush()
                continue
            key, sep, value = line.partition(":")
            if not sep or key not in ("id", "file", "what", "find", "replace"):
                sys.exit("mutations.txt:%d: expected 'id:', 'file:', 'what:', 'find:' or 'replace:'" % number)
            if key in block:
                sys.exit("mutations.txt:%d: '%s' given twice in one fault" % (number, key))
            block[key] = value[1:] if value.startswith(" ") else value
    flush()
    seen = set()
    for fault in faults:
        if fault["id"] in seen:
            sys.exit("mutations.txt: id %r used twice" % fault["id"])
        seen.add(fault["id"])
        if not fault["find"]:
            sys.exit("mutations.txt: fault %r has an empty 'find'" % fault["id"])
        if fault["find"] == fault["replace"]:
            sys.exit("mutations.txt: fault %r changes nothing" % fault["id"])
    return faults

def find(faults, name):
    for fault in faults:
        if fault["id"] == name:
            return fault
    sys.exit("mutations.txt: no fault named %r" % name)

command, path = sys.argv[1], sys.argv[2]
faults = parse(path)
if command == "list":
    # id, folder, file, description; tab-separated.
    for fault in faults:
        print("\t".join((fault["id"], fault["file"].split("/")[0], fault["file"], fault["what"])))
elif command in ("count", "apply"):
    # count: 0 when found once, 3 when absent, 4 when found more than once.
    # apply: the same, and when found once writes the faulty file (keeping FILE.orig).
    tree, fault = sys.argv[3], find(faults, sys.argv[4])
    target = os.path.join(tree, fault["file"])
    try:
        with open(target, encoding="utf-8") as f:
            text = f.read()
    except OSError:
        sys.exit(3)
    times = text.count(fault["find"])
    if times != 1:
        sys.exit(3 if times == 0 else 4)
    if command == "apply":
        # Remembered, so a kept folder rebuilds this file on the next run whatever happens.
        with open(os.path.join(tree, "..", "mutated-files"), "a", encoding="utf-8") as f:
            f.write(fault["file"] + "\n")
        os.replace(target, target + ".orig")
        with open(target, "w", encoding="utf-8") as f:
            f.write(text.replace(fault["find"], fault["replace"]))
elif command == "revert":
    tree, fault = sys.argv[3], find(faults, sys.argv[4])
    target = os.path.join(tree, fault["file"])
    if os.path.exists(target + ".orig"):
        os.replace(target + ".orig", target)
        # The restored text is older than the objects built from the fault: make it newer so
        # the next build compiles it again.
        os.utime(target)
PY

scratch=""
cleanup() {
    rm -f "$helper"
    [ -n "$scratch" ] && [ -z "$keep" ] && rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ "$unit_only" -eq 1 ] && [ "$it_only" -eq 1 ]; then
    echo "mutate.sh: --unit-only and --integration-only exclude each other" >&2
    exit 2
fi
[ "$it_only" -eq 1 ] && last="$root/tools/mutations-integration.last"

faults=$(python3 "$helper" list "$list") || exit 2
# Round-robin over the folders (the first fault of each folder, then the second of each, ...), so
# a run stopped early still says something about every folder.
faults=$(printf '%s\n' "$faults" | awk -F'\t' '{
        if (!($2 in order)) order[$2] = n++
        printf "%06d\t%06d\t%s\n", seen[$2]++, order[$2], $0
    }' | sort -k1,1n -k2,2n | cut -f3-)
if [ -n "$only" ]; then
    selected=""
    IFS=',' read -ra wanted <<<"$only"
    for name in "${wanted[@]}"; do
        row=$(printf '%s\n' "$faults" | awk -F'\t' -v n="$name" '$1 == n')
        [ -n "$row" ] || { echo "mutate.sh: no fault named '$name'" >&2; exit 2; }
        selected+="$row"$'\n'
    done
    faults=${selected%$'\n'}
fi
total=$(printf '%s\n' "$faults" | grep -c .)

if [ "$check_only" -eq 1 ]; then
    bad=0
    while IFS=$'\t' read -r id folder file what; do
        python3 "$helper" count "$list" "$root" "$id"
        case $? in
            0) ;;
            3) echo "stale      $id ($file: snippet not found)"; bad=$((bad + 1)) ;;
            *) echo "stale      $id ($file: snippet found more than once)"; bad=$((bad + 1)) ;;
        esac
    done <<<"$faults"
    echo "$((total - bad)) of $total faults apply"
    [ "$bad" -eq 0 ]
    exit
fi

if [ -n "$keep" ]; then
    mkdir -p "$keep" && scratch=$(cd "$keep" && pwd) || exit 2
else
    scratch=$(mktemp -d /tmp/solvane-mutate.XXXXXX)
fi
tree="$scratch/src"
build="$scratch/build"
mkdir -p "$tree"
# Tracked and untracked files as they are now (uncommitted edits included), ignored ones left out.
# tar keeps the modification times, so a kept build only recompiles what changed since.
rm -rf "$tree"/*
(cd "$root" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -cf -) | tar -xf - -C "$tree" || { echo "mutate.sh: copying the tree failed" >&2; exit 1; }
# A file whose text changed since the last run's copy is made newer than anything built: its
# kept modification time can be older than objects a kept build made from its previous text (an
# edit made while that run was building).
sums=$(cd "$tree" && find . -type f -print0 | sort -z | xargs -0 md5sum)
if [ -f "$scratch/sums" ]; then
    diff "$scratch/sums" - <<<"$sums" | sed -n 's/^> [0-9a-f]*  //p' | while IFS= read -r f; do
        touch "$tree/$f"
    done
fi
printf '%s\n' "$sums" >"$scratch/sums"
# Files a fault touched in an earlier run may have objects built from the fault: rebuild them.
if [ -f "$scratch/mutated-files" ]; then
    sort -u "$scratch/mutated-files" | while IFS= read -r f; do
        [ -e "$tree/$f" ] && touch "$tree/$f"
    done
    rm -f "$scratch/mutated-files"
fi

# The tree tested: the commit, and "+edits" when tracked files differ from it (the results file
# itself aside).
revision=$(cd "$root" && git rev-parse --short HEAD 2>/dev/null || echo unknown)
[ -n "$(cd "$root" && git status --porcelain --untracked-files=no -- . ':!tools/mutations*.last' \
    2>/dev/null)" ] && revision+="+edits"

# mutations.last grows line by line, so a run stopped early still leaves what it finished.
if [ -z "$only" ]; then
    record() { printf '%s\n' "$1"; printf '%s\n' "$1" >>"$last"; }
    : >"$last"
else
    record() { printf '%s\n' "$1"; }
fi

mode="unit and integration tests"
[ "$unit_only" -eq 1 ] && mode="unit tests only"
[ "$it_only" -eq 1 ] && mode="integration tests only"
record "# tools/mutate.sh, $(date -u '+%Y-%m-%d %H:%M UTC'), tree $revision, $mode"

log="$scratch/log"
mkdir -p "$log"

build_targets() {   # build_targets TARGET...: 0 when they all build
    nice -n 19 cmake --build "$build" -j"$jobs" --target "$@" >"$log/build.txt" 2>&1
}

# Prints the names of the failed tests of one unit binary, one per line; a crash or time-out
# without a failure list prints "<crash or time-out>". With "fast" (a run with a fault applied)
# the tests that fail without a fault are left out and the run stops at the first failure.
unit_failures() {   # unit_failures FOLDER [fast]
    local binary="$build/tests/$1_tests" status excluded
    local args=(--gtest_brief=1)
    [ -x "$binary" ] || { echo "<no test binary>"; return; }
    if [ "${2:-}" = fast ]; then
        args+=(--gtest_fail_fast)
        excluded=$(printf '%s\n' "${unit_base[$1]}" | grep -v '^<' | grep . | paste -sd:)
        [ -n "$excluded" ] && args+=("--gtest_filter=-$excluded")
    fi
    # The shell's own "Segmentation fault" line is not wanted: the result says it.
    (cd "$build/tests" && timeout -k 10 "$unit_timeout" nice -n 19 "$binary" "${args[@]}" \
        >"$log/unit.txt" 2>&1) 2>/dev/null
    status=$?
    [ "$status" -eq 0 ] && return
    grep -o '^\[  FAILED  \] [A-Za-z0-9_/.]*' "$log/unit.txt" | awk '{print $4}' | sort -u |
        grep . || echo "<crash or time-out>"
}

# The same for the integration tests; "fast" as above.
integration_failures() {   # integration_failures [fast]
    local status excluded
    local args=(-L integration --timeout "$it_timeout")
    if [ "${1:-}" = fast ]; then
        args+=(--stop-on-failure)
        excluded=$(printf '%s\n' "$it_base" | grep -v '^<' | grep . | paste -sd'|')
        [ -n "$excluded" ] && args+=(-E "^($excluded)\$")
    fi
    (cd "$build" && timeout -k 10 "$((it_timeout * 10))" nice -n 19 ctest "${args[@]}" \
        >"$log/integration.txt" 2>&1) 2>/dev/null
    status=$?
    [ "$status" -eq 0 ] && return
    sed -n 's/^[[:space:]]*[0-9]* - \(integration_[A-Za-z0-9_]*\) .*/\1/p' "$log/integration.txt" |
        sort -u | grep . || echo "<crash or time-out>"
}

# Failures in $2 that are not in the baseline $1 (both newline-separated lists).
new_failures() {
    comm -13 <(printf '%s\n' "$1" | grep . | sort -u) <(printf '%s\n' "$2" | grep . | sort -u)
}

# Builds the plug-in and its probes and runs the integration tests for the applied fault $id;
# sets result and files the fault, with $1 as the word for a fault they miss.
integration_verdict() {
    if ! build_targets solvane overlay_probe playback_probe; then
        result="does not compile (plug-in)"; broken+=("$id")
        return
    fi
    fresh=$(new_failures "$it_base" "$(integration_failures fast)")
    if [ -n "$fresh" ]; then
        result="caught (integration: $(echo $fresh))"; caught_it+=("$id")
    else
        result="$1"; missed+=("$id")
    fi
}

echo "mutate.sh: building the unchanged tree in $scratch ..." >&2
if ! nice -n 19 cmake -S "$tree" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSOLVANE_WERROR=ON \
        -DSOLVANE_FIXTURES="$fixtures" >"$log/configure.txt" 2>&1 ||
   ! nice -n 19 cmake --build "$build" -j"$jobs" >"$log/build.txt" 2>&1; then
    tail -n 30 "$log/configure.txt" "$log/build.txt" >&2
    echo "mutate.sh: the unchanged tree does not build" >&2
    exit 1
fi

# Baselines: tests that fail without any fault, per folder (on first use) and for integration.
declare -A unit_base
it_base=""
if [ "$unit_only" -eq 0 ]; then
    echo "mutate.sh: integration tests on the unchanged tree ..." >&2
    it_base=$(integration_failures)
    [ -n "$it_base" ] && record "# failing without a fault (ignored): $(echo $it_base)"
fi

caught_unit=() caught_it=() missed=() stale=() broken=()
while IFS=$'\t' read -r id folder file what; do
    if [ "$it_only" -eq 0 ] && [ -z "${unit_base[$folder]+set}" ]; then
        build_targets "${folder}_tests"
        unit_base[$folder]=$(unit_failures "$folder")
        [ -n "${unit_base[$folder]}" ] &&
            record "# $folder tests failing without a fault (ignored): $(echo ${unit_base[$folder]})"
    fi
    python3 "$helper" apply "$list" "$tree" "$id" </dev/null
    case $? in
        0) ;;
        3) record "$(printf '%-28s %-8s stale (snippet not found)' "$id" "$folder")"; stale+=("$id"); continue ;;
        4) record "$(printf '%-28s %-8s stale (snippet found more than once)' "$id" "$folder")"; stale+=("$id"); continue ;;
        *) echo "mutate.sh: applying $id failed" >&2; exit 1 ;;
    esac
    result=""
    if ! build_targets "solvane_$folder"; then
        result="does not compile"; broken+=("$id")
    elif [ "$it_only" -eq 1 ]; then
        integration_verdict "NOT CAUGHT (integration)"
    elif ! build_targets "${folder}_tests"; then
        result="caught (unit: tests no longer compile)"; caught_unit+=("$id")
    else
        fresh=$(new_failures "${unit_base[$folder]}" "$(unit_failures "$folder" fast)")
        if [ -n "$fresh" ]; then
            result="caught (unit: $(echo $fresh | cut -c1-100))"; caught_unit+=("$id")
        elif [ "$unit_only" -eq 1 ]; then
            result="NOT CAUGHT (unit)"; missed+=("$id")
        else
            integration_verdict "NOT CAUGHT"
        fi
    fi
    python3 "$helper" revert "$list" "$tree" "$id" </dev/null
    record "$(printf '%-28s %-8s %s' "$id" "$folder" "$result")"
done <<<"$faults"

applied=$((${#caught_unit[@]} + ${#caught_it[@]} + ${#missed[@]}))
caught=$((${#caught_unit[@]} + ${#caught_it[@]}))
summary="caught $caught of $applied (unit ${#caught_unit[@]}, integration ${#caught_it[@]})"
[ ${#missed[@]} -gt 0 ] && summary+="; NOT CAUGHT: ${missed[*]}"
[ ${#stale[@]} -gt 0 ] && summary+="; stale: ${stale[*]}"
[ ${#broken[@]} -gt 0 ] && summary+="; does not compile: ${broken[*]}"
record "$summary"
[ ${#missed[@]} -eq 0 ] && [ ${#stale[@]} -eq 0 ] && [ ${#broken[@]} -eq 0 ]
