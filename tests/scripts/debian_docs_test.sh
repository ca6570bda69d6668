#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# packaging/debian-docs.sh: the Debian changelog made from CHANGELOG.md (entries, items,
# Markdown marks, wrapping, dates, malformed headings refused) and the copyright file made
# from the license; the project's own CHANGELOG.md gives a changelog dpkg can parse.
#
#   tests/scripts/debian_docs_test.sh SOURCE_DIR
set -u -o pipefail
SOURCE=${1:?usage: $0 SOURCE_DIR}
DOCS=$SOURCE/packaging/debian-docs.sh
WHO="Kestrel developers <k@example.org>"
export SOURCE_DATE_EPOCH=1767225600  # 2026-01-01 00:00:00 UTC

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
. "$(dirname "$0")/checks.sh"

# name | CHANGELOG.md text | expected changelog ("!" for a refusal)
CASES=(
"two releases, items and a paragraph|# Changelog\n\nIntro text.\n\n## 1.1.0 - unreleased\n\nSmaller outputs.\n\n- \`kestrel qc\`: a [quality](docs/qc.md) report,\n  continued on a second line.\n- **Faster** parsing.\n\n## 1.0.0 - 2026-03-02\n\n- First release.\n|kestrel (1.1.0) unstable; urgency=medium\n\n  * Smaller outputs.\n  * kestrel qc: a quality report, continued on a second line.\n  * Faster parsing.\n\n -- $WHO  Thu, 01 Jan 2026 00:00:00 +0000\n\nkestrel (1.0.0) unstable; urgency=medium\n\n  * First release.\n\n -- $WHO  Mon, 02 Mar 2026 00:00:00 +0000"
"long item wrapped at 78 columns|## 2.0.0 - 2026-01-05\n\n- aaaa bbbb cccc dddd eeee ffff gggg hhhh iiii jjjj kkkk llll mmmm nnnn oooo pppp qqqq rrrr ssss tttt uuuu\n|kestrel (2.0.0) unstable; urgency=medium\n\n  * aaaa bbbb cccc dddd eeee ffff gggg hhhh iiii jjjj kkkk llll mmmm nnnn oooo\n    pppp qqqq rrrr ssss tttt uuuu\n\n -- $WHO  Mon, 05 Jan 2026 00:00:00 +0000"
"release without items|## 1.0.1 - 2026-01-02\n|kestrel (1.0.1) unstable; urgency=medium\n\n  * Release 1.0.1.\n\n -- $WHO  Fri, 02 Jan 2026 00:00:00 +0000"
"heading without a date|## 1.0.0\n\n- x\n|!"
"date not YYYY-MM-DD|## 1.0.0 - March 2026\n\n- x\n|!"
"no release heading|# Changelog\n\nNothing yet.\n|!"
)
for case in "${CASES[@]}"; do
    IFS='|' read -r name input expected <<<"$case"
    printf "$input" >"$WORK/CHANGELOG.md"
    actual=$("$DOCS" changelog "$WORK/CHANGELOG.md" "$WHO" 2>/dev/null)
    status=$?
    if [ "$expected" = "!" ]; then
        check "$name: refused" "not 0" "$([ $status -eq 0 ] && echo 0 || echo "not 0")"
    else
        check "$name: status" 0 "$status"
        check "$name" "$(printf "$expected")" "$actual"
    fi
done

printf 'Some License\n\nCopyright (c) 2026, the Kestrel developers\n\nFirst term.\n\nSecond term,\n  indented.\n' >"$WORK/LICENSE"
check "copyright file" "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Kestrel

Files: *
Copyright: 2026, the Kestrel developers
License: BSD-2-Clause
 First term.
 .
 Second term,
   indented." "$("$DOCS" copyright "$WORK/LICENSE")"
printf 'No holder named.\n' >"$WORK/LICENSE"
"$DOCS" copyright "$WORK/LICENSE" >/dev/null 2>&1
check "copyright refused without a Copyright line" 1 $?

# The project's own files.
"$DOCS" changelog "$SOURCE/CHANGELOG.md" "$WHO" >"$WORK/changelog"
check "CHANGELOG.md converts" 0 $?
if command -v dpkg-parsechangelog >/dev/null; then
    version=$(dpkg-parsechangelog -l "$WORK/changelog" -S Version 2>&1)
    check "dpkg-parsechangelog reads the first release" \
        "$(sed -n 's/^## \([^ ]*\) - .*/\1/p' "$SOURCE/CHANGELOG.md" | head -n 1)" "$version"
fi
long=$(awk 'length > 80' "$WORK/changelog")
check "no changelog line longer than 80" "" "$long"
"$DOCS" copyright "$SOURCE/LICENSE" | grep -q '^Copyright: 2026, the Kestrel developers$'
check "LICENSE names the holder" 0 $?

finish
