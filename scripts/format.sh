#!/usr/bin/env bash
# format.sh [--check] [DIR]: the root .clang-format over every C++ source and
# header in rte/, tests/, bench/ and fuzz/ of DIR (default: this tree). Without
# --check the files are formatted in place; with it nothing is changed and the
# files that drift are listed, with exit status 1.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
check=0
if [ "${1:-}" = --check ]; then
    check=1
    shift
fi
tree=${1:-$top}
cd "$tree"
command -v clang-format >/dev/null || {
    echo "format: clang-format is not installed (scripts/deps.sh installs it)" >&2
    exit 1
}
# The style is the tree's own: clang-format finds .clang-format above each file.
[ -f .clang-format ] || {
    echo "format: no .clang-format in $tree" >&2
    exit 1
}
mapfile -d '' files < <(find rte tests bench fuzz -type f \( -name '*.cc' -o -name '*.h' \) -print0 | sort -z)
if [ $check -eq 0 ]; then
    clang-format -i "${files[@]}"
    exit 0
fi
drift=()
for f in "${files[@]}"; do
    clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || drift+=("$f")
done
if [ ${#drift[@]} -ne 0 ]; then
    echo "format: ${#drift[@]} file(s) differ from .clang-format (fix: bash scripts/format.sh):" >&2
    printf '  %s\n' "${drift[@]}" >&2
    exit 1
fi
echo "format: ${#files[@]} files match .clang-format"
