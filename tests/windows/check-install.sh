#!/bin/sh
# Installs the Windows build into a fresh prefix with `cmake --install` and
# fails unless bin/kelmora.dll is the built DLL, with its exports, and no
# import library was installed (nothing links against an agent).
# Usage: check-install.sh CMAKE BUILD_DIR DLL OBJDUMP EXPORT...
set -eu
cmake=$1
build=$2
dll=$3
objdump=$4
shift 4
prefix=$build/install-check

rm -rf "$prefix"
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
cmp "$dll" "$prefix/bin/kelmora.dll"
sh "$(dirname "$0")/check-dll-exports.sh" "$objdump" "$prefix/bin/kelmora.dll" "$@"
files=$(cd "$prefix" && find . -type f | sort)
echo "installed:" $files
for file in $files; do
    case $file in
    *.a | *.lib)
        echo "FAIL: an import library was installed: $file"
        exit 1
        ;;
    esac
done
