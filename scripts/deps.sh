#!/usr/bin/env bash
# Makes sure the tools and headers that the build and tests need are there. Each Debian package
# named is checked by what it provides (a program on the PATH, a header, a file), so any system
# that has them passes, with or without dpkg. What is missing is installed with apt-get (through
# sudo when not root) where apt-get exists; elsewhere the missing pieces are named and the
# script fails.
# Usage: scripts/deps.sh PACKAGE...
set -euo pipefail

# Whether the header is in one of the C++ compiler's include folders (asked once).
include_dirs=()
has_header() {
    if [ ${#include_dirs[@]} -eq 0 ]; then
        local compiler
        compiler=$(command -v c++ || command -v g++ || command -v clang++) || return 1
        mapfile -t include_dirs < <("$compiler" -x c++ -E -v - </dev/null 2>&1 |
            sed -n '/^#include <...> search starts here:/,/^End of search list/s/^ //p')
        include_dirs+=(/usr/include)
    fi
    local dir
    for dir in "${include_dirs[@]}"; do
        [ -f "$dir/$1" ] && return 0
    done
    return 1
}

# Whether what the package provides is there; status 2 for a package this script does not know.
provided() {
    case $1 in
    cmake) command -v cmake ;;
    ninja-build) command -v ninja ;;
    g++) command -v g++ ;;
    clang) command -v clang++ ;;
    python3) command -v python3 ;;
    unzip) command -v unzip ;;
    dpkg-dev) command -v dpkg-shlibdeps ;;
    gnuplot-nox | gnuplot) command -v gnuplot ;;
    wine) command -v wine ;;
    wine64) command -v wine64 || [ -x /usr/lib/wine/wine64 ] ;;
    g++-mingw-w64-x86-64-posix) command -v x86_64-w64-mingw32-g++-posix ;;
    libgtest-dev) has_header gtest/gtest.h ;;
    libgmock-dev) has_header gmock/gmock.h ;;
    googletest) [ -f /usr/src/googletest/CMakeLists.txt ] ;;
    libeigen3-dev) has_header eigen3/Eigen/Dense ;;
    nlohmann-json3-dev) has_header nlohmann/json.hpp ;;
    libcli11-dev) has_header CLI/CLI.hpp ;;
    libtomlplusplus-dev) has_header toml++/toml.h ;;
    libssl-dev) has_header openssl/evp.h ;;
    unixodbc-dev) has_header sql.h && has_header sqlext.h ;;
    odbc-postgresql) [ -f /usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so ] ;;
    postgresql) compgen -G "/usr/lib/postgresql/*/bin/initdb" ;;
    chromium) command -v chromium || command -v chromium-browser ;;
    poppler-utils) command -v pdfinfo ;;
    tidy) command -v tidy ;;
    libclang-rt-*-dev) # libFuzzer's driver, where clang looks for it
        compgen -G "$(clang++ -print-resource-dir)/lib/*/libclang_rt.fuzzer-x86_64.a" ;;
    *) return 2 ;;
    esac
}

missing=()
for package in "$@"; do
    status=0
    provided "$package" >/dev/null 2>&1 || status=$?
    if [ "$status" -eq 2 ]; then
        # Not one of ours: only the package manager can tell.
        command -v dpkg-query >/dev/null &&
            dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' &&
            status=0
    fi
    [ "$status" -eq 0 ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if ! command -v apt-get >/dev/null; then
    echo "deps.sh: missing, and no apt-get here to install it: ${missing[*]}" \
        "(Debian package names; install their equivalents)" >&2
    exit 1
fi
echo "installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
