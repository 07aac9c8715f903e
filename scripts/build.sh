#!/usr/bin/env bash
# build.sh DIR TYPE [CMAKE-ARGS...]: configures and builds the tree into DIR;
# $JX_TARGETS, when set, names the only targets built.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
type=$2
shift 2
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Clones in other folders share the cache, debugging builds too: the working
# folder is left out of the key (a debugger may then be shown the folder of
# the clone that filled the cache).
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$top}
export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DJX_TESTS=ON "${launcher[@]}" "$@" >/dev/null
# shellcheck disable=SC2086 # a list of target names
ninja -C "$dir" ${JX_TARGETS:-}
