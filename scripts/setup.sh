#!/usr/bin/env bash
# Makes this machine ready to build Kelmora (level `build`) or to build it and
# run every test (level `test`). Each need is checked first, and only what is
# missing is installed, with apt-get: as root, or through sudo. When everything
# is there it installs nothing, so running it again costs a few checks.
# Usage: scripts/setup.sh build|test
# The one list of what the build and the tests need is below; scripts/run-example.sh,
# scripts/run-tests.sh and .ci/run all come through here.
# The install goes in steps. A step that fails is undone (the packages it
# brought are removed again, an architecture or a package source it added is
# taken away), the script says which step failed and stops; run it again
# once the cause is fixed, and it goes on from there.
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

packages=()       # Debian packages still to install
qemu_packages=()  # QEMU's user-mode emulator, for a machine that runs no 32-bit program
i386_packages=()  # 32-bit packages, installed only once 32-bit programs run
foreign_arch=     # a dpkg architecture still to add (for Wine's 32-bit half)
backports=        # set when QEMU has to come from bookworm-backports
register_qemu=    # set when qemu-i386 has to be registered to run 32-bit programs
windows_jre=      # set when the Windows JVM of the windows-jvm tests is missing

# The Windows JVM: Temurin 17 x64 from npm, unpacked into tests/windows/jre,
# where the 64-bit Windows build looks for it. The tarball's SHA-512 is
# checked before anything of it is used.
jre_package=@node-plantuml-2/jre-win32-x64@1.1.8
jre_sha512=b4c638cecf8a84c9575483d514ea84d463ac7038093c572338296f2f95dec01fac74b19a9248d4c6e1edf188d55bc4e30948be01b42513b9de697b4da184bc84
jre_dir=$root/tests/windows/jre

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
    # The Windows builds: mingw-w64 with the posix thread model for 32 and 64
    # bits; Wine with its 32-bit loader for the 32-bit unit suite, and wine64
    # for the 64-bit build's tests and the Windows JVM.
    have i686-w64-mingw32-g++-posix && have i686-w64-mingw32-objdump || packages+=(g++-mingw-w64-i686)
    have x86_64-w64-mingw32-g++-posix && have x86_64-w64-mingw32-objdump ||
        packages+=(g++-mingw-w64-x86-64-posix)
    have wine && have wineserver || packages+=(wine)
    [ -x /usr/lib/wine/wine64 ] || packages+=(wine64)
    if ! installed_package wine32:i386; then
        case " $(dpkg --print-foreign-architectures | tr '\n' ' ') " in
        *" i386 "*) ;;
        *) foreign_arch=i386 ;;
        esac
        i386_packages+=(wine32:i386)
    fi
    [ -f "$jre_dir/bin/java.exe" ] && [ -f "$jre_dir/.kelmora-package" ] &&
        [ "$(cat "$jre_dir/.kelmora-package")" = "$jre_package" ] || windows_jre=1
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

# Wine's 32-bit loader is a 32-bit program, and so are programs that the
# i386 packages' install scripts run: where the machine cannot run those,
# qemu-i386 (8 or later; 7 makes every Wine start take minutes) is installed
# and registered before any i386 package.
check_32bit() {
    "$root/scripts/i386-binfmt.sh" check && return 0
    register_qemu=1
    if have qemu-i386; then
        local version
        version=$(qemu-i386 --version | sed -n 's/^qemu-i386 version \([0-9.]*\).*/\1/p')
        at_least "${version:-0}" 8 && return 0
    fi
    qemu_packages+=(qemu-user)
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

# The steps that install what is missing, one "name|command" per line.
install_steps() {
    local apt="apt-get -q install -y --no-install-recommends"
    if [ ${#packages[@]} -ne 0 ]; then
        echo "packages for the build and the tests|apt-get -q update && $apt ${packages[*]}"
    fi
    if [ ${#qemu_packages[@]} -ne 0 ]; then
        local source=
        if [ -n "$backports" ] && ! grep -rqs "$backports" /etc/apt/sources.list /etc/apt/sources.list.d; then
            source="echo 'deb $(mirror) $backports main' >/etc/apt/sources.list.d/$backports.list && "
        fi
        echo "QEMU's user-mode emulator${backports:+ from $backports}|${source}apt-get -q update && $apt ${backports:+-t $backports }${qemu_packages[*]}"
    fi
    if [ -n "$register_qemu" ]; then
        echo "qemu-i386 registered to run 32-bit programs|$root/scripts/i386-binfmt.sh register"
    fi
    if [ ${#i386_packages[@]} -ne 0 ]; then
        echo "Wine's 32-bit half|${foreign_arch:+dpkg --add-architecture $foreign_arch && }apt-get -q update && $apt ${i386_packages[*]}"
    fi
}

# Each package's state, "name status" (ii: installed), one per line.
package_states() {
    dpkg-query -W -f='${binary:Package} ${db:Status-Abbrev}\n' 2>/dev/null | sort
}

# Undoes what a failed step left: the packages it brought, whole or in part,
# are removed again (purged where nothing of them was there before), then
# an architecture or a package source it added is taken away. Says what
# could not be undone.
undo_step() {
    local before=$1 architectures=$2 added_source=$3
    local fresh purge remove
    # "name status" lines; the status's second letter n or c: not installed.
    fresh=$(package_states | awk 'NR == FNR { was[$1] = substr($2, 2, 1); next }
        substr($2, 2, 1) !~ /[nc]/ && was[$1] != "i" { print $1, (was[$1] == "c" ? "remove" : "purge") }' \
        <(printf '%s\n' "$before") -)
    purge=$(printf '%s\n' "$fresh" | awk '$2 == "purge" { print $1 }')
    remove=$(printf '%s\n' "$fresh" | awk '$2 == "remove" { print $1 }')
    if [ -n "$purge$remove" ]; then
        echo "== Removing what the failed step installed:" $purge $remove >&2
        # shellcheck disable=SC2086
        [ -z "$purge" ] || $as_root dpkg --purge --force-depends --force-remove-reinstreq $purge >&2 || true
        # shellcheck disable=SC2086
        [ -z "$remove" ] || $as_root dpkg --remove --force-depends --force-remove-reinstreq $remove >&2 || true
    fi
    $as_root dpkg --configure -a >&2 || true
    local arch
    for arch in $(dpkg --print-foreign-architectures); do
        case " $architectures " in
        *" $arch "*) ;;
        *) $as_root dpkg --remove-architecture "$arch" >&2 || true ;;
        esac
    done
    [ -n "$added_source" ] && $as_root rm -f "$added_source"
    local left
    left=$(dpkg --audit 2>/dev/null || true)
    if [ -n "$left" ]; then
        echo "dpkg still reports packages not fully installed; 'dpkg --configure -a' or" \
            "'apt-get -f install' as root may finish them:" >&2
        printf '%s\n' "$left" >&2
        return 1
    fi
    return 0
}

install_missing() {
    local steps
    steps=$(install_steps)
    [ -z "$steps" ] && return 0
    if [ -z "$as_root" ]; then
        local joined
        joined=$(printf '%s\n' "$steps" | cut -d'|' -f2- | paste -sd'&' | sed 's/&/ \&\& /g')
        echo "Kelmora needs ${packages[*]} ${qemu_packages[*]} ${i386_packages[*]}," \
            "which only root can install. Run:" >&2
        echo "  su -c \"$joined\"" >&2
        echo "then this command again." >&2
        exit 1
    fi
    # A package left half installed by an earlier install would make every
    # apt-get below fail; it is for its owner to finish or remove.
    local audit
    audit=$(dpkg --audit 2>/dev/null || true)
    if [ -n "$audit" ]; then
        echo "dpkg reports packages not fully installed (by an earlier install):" >&2
        printf '%s\n' "$audit" >&2
        echo "Finish them ('dpkg --configure -a' as root) or remove them, then run this command again." >&2
        exit 1
    fi
    local count number=0 line name command
    count=$(printf '%s\n' "$steps" | wc -l)
    while IFS= read -r line; do
        number=$((number + 1))
        name=${line%%|*}
        command=${line#*|}
        echo "== Step $number of $count: $name"
        local before architectures added_source=
        before=$(package_states)
        architectures=$(dpkg --print-foreign-architectures | tr '\n' ' ')
        [ -n "$backports" ] && [ ! -e "/etc/apt/sources.list.d/$backports.list" ] &&
            added_source=/etc/apt/sources.list.d/$backports.list
        if ! $as_root DEBIAN_FRONTEND=noninteractive sh -c "$command"; then
            echo "Step $number of $count ($name) failed: $command" >&2
            if undo_step "$before" "$architectures" "$added_source"; then
                echo "It has been undone: the machine is as it was before it." >&2
            fi
            echo "Fix the cause (above), then run $0 $level again: it goes on from this step." >&2
            exit 1
        fi
    done <<<"$steps"
    packages=()
    qemu_packages=()
    i386_packages=()
    foreign_arch=
    backports=
    register_qemu=
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
    if ! (cd "$dir" && PUPPETEER_SKIP_DOWNLOAD=1 PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 \
        npm "$npm_command" --no-audit --no-fund); then
        # Without its stamp the next run installs them again, whole.
        echo "Installing the browser test's npm packages failed (npm's messages above);" \
            "fix the cause, then run $0 $level again." >&2
        exit 1
    fi
    mkdir -p "$dir/node_modules"
    touch "$stamp"
}

# The Windows JVM of the windows-jvm tests: the npm package's tarball,
# checked, unpacked beside tests/windows/jre and only then moved there, so
# that a failure leaves no half of it.
install_windows_jre() {
    [ -n "$windows_jre" ] || return 0
    echo "== Installing the Windows JVM ($jre_package) into $jre_dir"
    local temp
    temp=$(mktemp -d "$(dirname "$jre_dir")/.jre-install.XXXXXX")
    if ! (cd "$temp" && npm pack --silent "$jre_package" >/dev/null &&
        set -- *.tgz && [ "$#" -eq 1 ] &&
        echo "$jre_sha512  $1" | sha512sum --quiet -c - &&
        tar -xzf "$1" && [ -f package/jre/bin/java.exe ] &&
        echo "$jre_package" >package/jre/.kelmora-package); then
        rm -rf "$temp"
        echo "Installing the Windows JVM failed (the download, or its SHA-512 differs);" \
            "nothing of it was kept. Fix the cause, then run $0 $level again." >&2
        exit 1
    fi
    rm -rf "$jre_dir"
    mv "$temp/package/jre" "$jre_dir"
    rm -rf "$temp"
    windows_jre=
}

check_build
if [ "$level" = test ]; then
    check_test
    check_32bit
fi
install_missing
if [ "$level" = test ]; then
    install_node_modules
    install_windows_jre
fi
# What an install could not provide (a javac older than 17 chosen by the
# system's alternatives, say) is said here, not as a build error later.
check_build
if [ "$level" = test ]; then
    check_test
    check_32bit
fi
missing="${packages[*]} ${qemu_packages[*]} ${i386_packages[*]}${register_qemu:+ (qemu-i386 registered)}${windows_jre:+ (the Windows JVM)}"
if [ -n "${missing// /}" ]; then
    echo "still missing after the install: $missing" >&2
    exit 1
fi
