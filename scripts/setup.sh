#!/usr/bin/env bash
# Makes this machine ready to build Kelmora (level `build`) or to build it and
# run every test (level `test`). Each need is checked first, and only what is
# missing is installed, with apt-get: as root, or through sudo. When everything
# is there it installs nothing, so running it again costs a few checks.
# Usage: scripts/setup.sh build|test
# The one list of what the build and the tests need is below; scripts/run-example.sh,
# scripts/run-tests.sh and .ci/run all come through here.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
level=${1:-}
case $level in
build | test) ;;
*)
    echo "usage: $0 build|test" >&2
    exit 2
    ;;
esac

packages=()    # Debian packages still to install
foreign_arch=  # a dpkg architecture still to add (for Wine's 32-bit half)
backports=     # set when a package has to come from bookworm-backports

at_least() { # at_least HAVE WANT: version HAVE is WANT or later
    [ "$(printf '%s\n%s\n' "$2" "$1" | sort -V | head -n 1)" = "$2" ]
}

# The major version of a java or javac binary ("1.8.0_402" counts as 8).
java_major() {
    local text
    text=$("$1" -version 2>&1 | grep -v "^Picked up") || return 1
    text=${text%%$'\n'*}
    text=$(printf '%s' "$text" | sed -n 's/^[^0-9]*\([0-9][0-9.]*\).*/\1/p')
    case $text in
    1.*) text=${text#1.} ;;
    esac
    printf '%s\n' "${text%%.*}"
}

# The JDK that CMake builds against: JAVA_HOME, or the one javac comes from.
build_jdk_ok() {
    local javac
    if [ -n "${JAVA_HOME:-}" ]; then
        javac=$JAVA_HOME/bin/javac
    else
        javac=$(command -v javac) || return 1
    fi
    [ -x "$javac" ] || return 1
    local home
    home=$(dirname "$(dirname "$(readlink -f "$javac")")")
    [ -e "$home/include/jni.h" ] && [ -e "$home/include/jvmti.h" ] || return 1
    local major
    major=$(java_major "$javac") || return 1
    [ "${major:-0}" -ge 17 ]
}

have() { command -v "$1" >/dev/null 2>&1; }

# Whether any of the paths (glob patterns) exists.
have_file() {
    local pattern
    for pattern in "$@"; do
        compgen -G "$pattern" >/dev/null && return 0
    done
    return 1
}

installed_package() {
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}

check_build() {
    have c++ || have g++ || packages+=(g++)
    have make || packages+=(make)
    if ! have cmake || ! at_least "$(cmake --version | sed -n 's/^cmake version //p')" 3.16; then
        packages+=(cmake)
    fi
    if ! build_jdk_ok; then
        if [ -n "${JAVA_HOME:-}" ]; then
            echo "JAVA_HOME=$JAVA_HOME is not a JDK 17 or later (javac, include/jni.h):" \
                "unset it or point it to one" >&2
            exit 1
        fi
        packages+=(openjdk-17-jdk-headless)
    fi
}

check_test() {
    # GoogleTest: built for the host, and its sources for the Windows build.
    have_file /usr/include/gtest/gtest.h /usr/local/include/gtest/gtest.h || packages+=(libgtest-dev)
    have_file /usr/src/googletest/CMakeLists.txt || packages+=(googletest)
    # The end-to-end checks of whole trace files.
    have python3 || packages+=(python3)
    # The 32-bit Windows build: mingw-w64 with the posix thread model, and Wine
    # with its 32-bit loader for the unit suite.
    have i686-w64-mingw32-g++-posix && have i686-w64-mingw32-objdump || packages+=(g++-mingw-w64-i686)
    have wine && have wineserver || packages+=(wine)
    if ! installed_package wine32:i386; then
        case " $(dpkg --print-foreign-architectures | tr '\n' ' ') " in
        *" i386 "*) ;;
        *) foreign_arch=i386 ;;
        esac
        packages+=(wine32:i386)
    fi
    # Rewritten classes checked by ASM, and a program that works inside two
    # libraries of /usr/share/java.
    have_file /usr/share/java/asm-analysis.jar || packages+=(libasm-java)
    have_file /usr/share/java/guava.jar || packages+=(libguava-java)
    have_file /usr/share/java/commons-lang3.jar || packages+=(libcommons-lang3-java)
    # A real program whose classes its own class loaders define.
    have mvn || packages+=(maven)
    # The report's browser test: headless Chromium driven from Node.
    have chromium || packages+=(chromium)
    have node || packages+=(nodejs)
    have npm || packages+=(npm)
    # npm's downloads go over TLS, checked against the system's certificates.
    have_file /etc/ssl/certs/ca-certificates.crt || packages+=(ca-certificates)
}

# Wine's loader is a 32-bit program; where the machine cannot run those, the
# Windows test script runs them under qemu-i386, 8 or later (7 makes every Wine
# start take minutes). Only known once Wine is installed.
check_32bit() {
    wine --version >/dev/null 2>&1 && return 0
    if have qemu-i386; then
        local version
        version=$(qemu-i386 --version | sed -n 's/^qemu-i386 version \([0-9.]*\).*/\1/p')
        at_least "${version:-0}" 8 && return 0
    fi
    packages+=(qemu-user)
    # shellcheck disable=SC1091
    [ "$(. /etc/os-release && echo "${VERSION_CODENAME:-}")" = bookworm ] && backports=bookworm-backports
    return 0
}

# How root's commands are run here, or empty when they cannot be.
as_root=
if [ "$(id -u)" -eq 0 ]; then
    as_root=env
elif have sudo; then
    as_root="sudo env"
fi

# The mirror the machine already uses, from either form of apt's sources.
mirror() {
    local uri
    uri=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
    if [ -z "$uri" ]; then
        uri=$(awk '$1 == "deb" && $0 ~ / bookworm / { print ($2 ~ /^\[/ ? $3 : $2); exit }' \
            /etc/apt/sources.list 2>/dev/null || true)
    fi
    printf '%s\n' "${uri:-http://deb.debian.org/debian}"
}

# The commands that install what is missing, one per line.
install_commands() {
    [ -n "$foreign_arch" ] && echo "dpkg --add-architecture $foreign_arch"
    if [ -n "$backports" ] && ! grep -rqs "$backports" /etc/apt/sources.list /etc/apt/sources.list.d; then
        echo "echo 'deb $(mirror) $backports main' >/etc/apt/sources.list.d/$backports.list"
    fi
    echo "apt-get -q update"
    echo "apt-get -q install -y --no-install-recommends ${backports:+-t $backports }${packages[*]}"
}

install_missing() {
    [ ${#packages[@]} -eq 0 ] && return 0
    if [ -z "$as_root" ]; then
        local joined
        joined=$(install_commands | paste -sd'&' | sed 's/&/ \&\& /g')
        echo "Kelmora needs ${packages[*]}, which only root can install. Run:" >&2
        echo "  su -c \"$joined\"" >&2
        echo "then this command again." >&2
        exit 1
    fi
    echo "== Installing what is missing: ${packages[*]}"
    local commands command
    mapfile -t commands <<<"$(install_commands)"
    for command in "${commands[@]}"; do
        $as_root DEBIAN_FRONTEND=noninteractive sh -c "$command"
    done
    packages=()
    foreign_arch=
    backports=
}

# The browser test's own packages, from the npm registry: again only when
# package.json or its lock file changed since the last install.
install_node_modules() {
    local dir=$root/tests/browser
    [ -e "$dir/package.json" ] || return 0
    local stamp=$dir/node_modules/.kelmora-installed
    if [ -e "$stamp" ] && [ ! "$dir/package.json" -nt "$stamp" ] &&
        { [ ! -e "$dir/package-lock.json" ] || [ ! "$dir/package-lock.json" -nt "$stamp" ]; }; then
        return 0
    fi
    echo "== Installing the browser test's npm packages"
    # Chromium is Debian's: no npm package may fetch a browser of its own.
    local npm_command=install
    [ -e "$dir/package-lock.json" ] && npm_command=ci
    (cd "$dir" && PUPPETEER_SKIP_DOWNLOAD=1 PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 \
        npm "$npm_command" --no-audit --no-fund)
    mkdir -p "$dir/node_modules"
    touch "$stamp"
}

check_build
if [ "$level" = test ]; then
    check_test
fi
install_missing
if [ "$level" = test ]; then
    check_32bit
    install_missing
    install_node_modules
fi
# What an install could not provide (a javac older than 17 chosen by the
# system's alternatives, say) is said here, not as a build error later.
check_build
[ "$level" = test ] && check_test
if [ ${#packages[@]} -ne 0 ]; then
    echo "still missing after the install: ${packages[*]}" >&2
    exit 1
fi
