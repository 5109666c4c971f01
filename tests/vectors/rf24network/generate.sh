#!/bin/sh
# Builds generate.cpp against the RF24Network and RF24Mesh sources and writes the
# vectors. The libraries are not part of this project: give the folder of git
# clones of github.com/nRF24/RF24Network and github.com/nRF24/RF24Mesh (or of
# their bare mirrors, read at HEAD).
#   usage: generate.sh LIBRARIES_DIR > vectors.txt
set -eu
if [ $# -ne 1 ]; then
    echo "usage: $0 LIBRARIES_DIR > vectors.txt" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for lib in RF24Network RF24Mesh; do
    src="$1/$lib"
    mkdir -p "$work/$lib"
    if [ -d "$src/.git" ] || [ -f "$src/$lib.cpp" ]; then
        cp "$src"/*.h "$src"/*.cpp "$work/$lib/"
    elif git --git-dir="$src" rev-parse HEAD >/dev/null 2>&1; then
        for file in $(git --git-dir="$src" ls-tree --name-only HEAD | grep -E '\.(h|cpp)$'); do
            git --git-dir="$src" show "HEAD:$file" > "$work/$lib/$file"
        done
    else
        echo "$0: no $lib sources in $src" >&2
        exit 2
    fi
    echo "# $lib $(git --git-dir="$src" rev-parse HEAD 2>/dev/null || git -C "$src" rev-parse HEAD)"
done
g++ -std=c++17 -O1 -w -I"$here/stub" -I"$work" -I"$work/RF24Network" -I"$work/RF24Mesh" \
    -o "$work/generate" "$here/generate.cpp"
"$work/generate"
