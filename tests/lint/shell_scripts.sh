#!/bin/sh
# Every shell script tracked in the source tree $1 (by name, *.sh, or by its #!/bin/sh line)
# parses under sh and under bash, and passes shellcheck -s sh (warnings and errors), so
# that a script a shell cannot read never lands; and every tracked *.cmd file has CR LF line
# ends only (Windows' cmd misfinds goto labels in a file of LF ones). Prints each failure's
# messages and one closing line; exits 1 when any script fails.
set -eu
[ $# -eq 1 ] || { echo "usage: $0 SOURCE_TREE" >&2; exit 2; }
cd "$1"
for tool in bash shellcheck git; do
    command -v "$tool" >/dev/null || { echo "lint: no $tool here (make deps installs it)" >&2; exit 1; }
done
tracked=$(git ls-files) || { echo "lint: $1 is not a git checkout" >&2; exit 1; }
scripts=$(
    printf '%s\n' "$tracked" | while read -r file; do
        case $file in
            *.sh) echo "$file" ;;
            *) [ ! -f "$file" ] || ! head -n 1 "$file" | grep -q -x -e '#! */bin/sh' || echo "$file" ;;
        esac
    done
)
count=0 failed=0
while read -r script; do
    [ -f "$script" ] || continue
    count=$((count + 1))
    # -x follows the files a script sources, by the paths its directives give from here; the
    # check without it reads each file alone, as someone who opens just that file does.
    for check in "sh -n" "bash -n" "shellcheck -s sh -x -S warning" "shellcheck -s sh -S warning"; do
        # shellcheck disable=SC2086 # $check is the command and its options, one word each
        if ! said=$($check "$script" 2>&1); then
            failed=$((failed + 1))
            printf 'FAIL  %s: %s\n%s\n' "$script" "$check" "$said"
        fi
    done
done <<LIST
$scripts
LIST
cr=$(printf '\r')
batches=0
for batch in $(printf '%s\n' "$tracked" | grep -e '\.cmd$'); do
    batches=$((batches + 1))
    # A line that does not end in CR, the last one included, is an LF line end (or none).
    if [ -f "$batch" ] && grep -q -v -e "$cr\$" "$batch"; then
        failed=$((failed + 1))
        printf 'FAIL  %s: a line that does not end in CR LF\n' "$batch"
    fi
done
echo "lint: $count shell scripts and $batches batch files, $failed failures of sh -n, bash -n, shellcheck -s sh and CR LF"
[ "$count" -gt 0 ] && [ "$batches" -gt 0 ] && [ "$failed" -eq 0 ]
