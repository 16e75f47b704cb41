#!/usr/bin/env bash
# scripts/check-links against one page per case: a sound link must pass, a link to a missing
# file or to an anchor no heading makes must fail and be named.
set -uo pipefail
check="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/check-links"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/docs"
printf '# Guide\n## The spool: nothing read is lost\n## What `scripts/test` runs\n## Notes\n## Notes\n```\n## Fenced\n```\n' \
    >"$work/docs/guide.md"

failed=0
# name | the link on the page | expected exit
while IFS='|' read -r name link want; do
    printf 'See [there](%s).\n' "$link" >"$work/page.md"
    out="$(cd "$work" && "$check" page.md 2>&1)"
    rc=$?
    [ "$rc" = "$want" ] || { echo "FAIL $name: exit $rc, expected $want: $out"; failed=1; }
    [ "$want" = 0 ] || [[ "$out" == *"page.md: $link:"* ]] || { echo "FAIL $name: not named: $out"; failed=1; }
done <<'CASES'
a file|docs/guide.md|0
an anchor with punctuation|docs/guide.md#the-spool-nothing-read-is-lost|0
an anchor with inline code|docs/guide.md#what-scriptstest-runs|0
a repeated heading's anchor|docs/guide.md#notes-1|0
a web address|https://example.org/missing#nowhere|0
a missing file|docs/missing.md|1
a missing anchor|docs/guide.md#the-spool|1
an anchor inside a code block|docs/guide.md#fenced|1
an anchor a heading would make a second time only|docs/guide.md#notes-2|1
CASES
[ "$failed" = 0 ] && echo "all cases passed"
exit "$failed"
