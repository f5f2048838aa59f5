#!/usr/bin/env bash
# The README's two commands on a fresh Debian 12 machine: a minimal root
# (debootstrap --variant=minbase, plus git) with a fresh clone of this
# repository, entered with chroot inside namespaces of its own. Nothing of
# the host is changed but the root's folder.
#   --no-32bit   the machine cannot run 32-bit x86 programs (a binfmt_misc
#                entry of the root's own namespace refuses them, as a kernel
#                without the 32-bit mode does): qemu-i386 must be set up
#                before the i386 packages.
#   --failing-step   first a setup whose package step fails (a local package
#                source offers a make whose install script fails): it must
#                name the step and leave no package half installed.
# Usage (as root, with debootstrap installed, on an x86-64 Linux 6.7 or
# later): tests/fresh-machine/run.sh [--no-32bit] [--failing-step] DIR [BRANCH]
# DIR is made (or, if it holds root.tar from an earlier run, unpacked from
# it); BRANCH (default: the current one) is cloned from this repository.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
no32=
failing=
while [ $# -gt 0 ]; do
    case $1 in
    --no-32bit) no32=1 ;;
    --failing-step) failing=1 ;;
    *) break ;;
    esac
    shift
done
dir=${1:?usage: $0 [--no-32bit] [--failing-step] DIR [BRANCH]}
branch=${2:-$(git -C "$repo" rev-parse --abbrev-ref HEAD)}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
root=$dir/root

start=$SECONDS
rm -rf "$root"
if [ -f "$dir/root.tar" ]; then
    tar -C "$dir" -xf "$dir/root.tar"
else
    debootstrap --variant=minbase --include=git bookworm "$root" http://deb.debian.org/debian >"$dir/debootstrap.log"
    tar -C "$dir" -cf "$dir/root.tar" root
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
# Certificate authorities that this machine's kind trusts beyond Debian's
# (a proxy's, say) are the machine's, not the project's: the root gets them
# too, for ca-certificates to take in when setup.sh installs it.
mkdir -p "$root/usr/local/share/ca-certificates"
cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/" 2>/dev/null || true
# And the variables that point programs at them, as CI's environment has them.
passed=()
for name in NODE_EXTRA_CA_CERTS SSL_CERT_FILE SSL_CERT_DIR CURL_CA_BUNDLE GIT_SSL_CAINFO REQUESTS_CA_BUNDLE; do
    [ -n "${!name:-}" ] && passed+=("$name=${!name}")
done
git clone -q --branch "$branch" "$repo" "$root/kelmora"
echo "== fresh root ready in $((SECONDS - start)) s"

# What runs inside, as root of the new namespaces.
cat >"$root/inside.sh" <<EOF
#!/bin/sh
while [ "\$(id -u)" != 0 ]; do sleep 0.05; done
set -e
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --rbind /dev "$root/dev"
if [ -n "$no32" ]; then
    # Any i386 program is handed to an "interpreter" that is none: the
    # exec fails with ENOEXEC, as on a kernel without the 32-bit mode.
    mount -t binfmt_misc binfmt_misc "$root/proc/sys/fs/binfmt_misc"
    printf '\001 not a program' >"$root/not-a-program"
    chmod +x "$root/not-a-program"
    printf '%s' ':no-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/not-a-program:' \
        >"$root/proc/sys/fs/binfmt_misc/register"
fi
exec chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    CI=true FAILING=$failing ${passed[*]} /bin/bash /inside-root.sh
EOF

cat >"$root/inside-root.sh" <<'EOF'
#!/bin/bash
set -uo pipefail
cd /kelmora
if [ -e /kelmora/scripts/i386-binfmt.sh ]; then
    /kelmora/scripts/i386-binfmt.sh check && echo "32-bit programs run" || echo "32-bit programs do not run"
fi
if [ -n "${FAILING:-}" ]; then
    echo "== A setup whose package step fails"
    mkdir -p /failing/pkg/DEBIAN /failing/repo
    printf 'Package: make\nVersion: 99\nArchitecture: all\nMaintainer: test <test@example.org>\nDescription: a make whose install fails\n' \
        >/failing/pkg/DEBIAN/control
    printf '#!/bin/sh\necho "this install fails on purpose" >&2\nexit 1\n' >/failing/pkg/DEBIAN/postinst
    chmod 755 /failing/pkg/DEBIAN/postinst
    dpkg-deb -b /failing/pkg /failing/repo/make_99_all.deb >/dev/null
    (cd /failing/repo && {
        dpkg-deb -f make_99_all.deb
        echo "Filename: ./make_99_all.deb"
        echo "Size: $(stat -c %s make_99_all.deb)"
        echo "SHA256: $(sha256sum make_99_all.deb | cut -d' ' -f1)"
        echo
    } >Packages)
    echo "deb [trusted=yes] file:/failing/repo ./" >/etc/apt/sources.list.d/failing.list
    dpkg-query -W -f='${binary:Package} ${db:Status-Abbrev}\n' | sort >/failing/before.txt
    ./scripts/setup.sh build >/failing/setup.txt 2>&1
    status=$?
    cat /failing/setup.txt | grep -v "^Get:\|^Selecting\|^Preparing\|^Unpacking\|^Setting up\|^(Reading" | tail -25
    dpkg-query -W -f='${binary:Package} ${db:Status-Abbrev}\n' | sort >/failing/after.txt
    verdict=ok
    [ "$status" -ne 0 ] || { echo "FAIL: setup.sh exited 0"; verdict=bad; }
    grep -q "^Step 1 of 1 (packages for the build and the tests) failed" /failing/setup.txt ||
        { echo "FAIL: the failed step was not named"; verdict=bad; }
    [ -z "$(dpkg --audit)" ] || { echo "FAIL: dpkg --audit: $(dpkg --audit)"; verdict=bad; }
    # Installed before and after: the same packages (purged ones are gone
    # from the list, removed ones may stay as config-files).
    if ! diff <(awk '$2 == "ii"' /failing/before.txt) <(awk '$2 == "ii"' /failing/after.txt); then
        echo "FAIL: the installed packages differ"; verdict=bad
    fi
    echo "== failing step: $verdict"
    rm -f /etc/apt/sources.list.d/failing.list
    apt-get -q update >/dev/null
    [ $verdict = ok ] || exit 1
fi
echo "== ./scripts/run-example.sh"
t=$SECONDS
./scripts/run-example.sh >/run-example.txt 2>&1
status=$?
grep -v "^Get:\|^Selecting\|^Preparing\|^Unpacking\|^Setting up\|^Processing\|^(Reading\|^update-alternatives" /run-example.txt | tail -40
echo "== run-example.sh: exit $status in $((SECONDS - t)) s"
[ $status -eq 0 ] || exit 1
echo "== ./scripts/run-tests.sh"
t=$SECONDS
./scripts/run-tests.sh >/run-tests.txt 2>&1
status=$?
grep -E "^== |tests passed|tests failed|Windows build:|Total Test time|FAIL|Error" /run-tests.txt | tail -60
echo "== run-tests.sh: exit $status in $((SECONDS - t)) s"
exit $status
EOF
chmod +x "$root/inside.sh" "$root/inside-root.sh"

# A user namespace whose ids are the host's (so that files keep their
# owners), with a mount and a process namespace of its own: the root's
# mounts and its binfmt_misc entries end with it.
unshare --user --mount --pid --fork --kill-child "$root/inside.sh" &
inner=$!
sleep 0.5
echo "0 0 65536" >"/proc/$inner/uid_map"
echo "0 0 65536" >"/proc/$inner/gid_map"
status=0
wait $inner || status=$?
echo "== fresh machine: exit $status after $((SECONDS - start)) s; logs in $root/run-example.txt and $root/run-tests.txt"
exit $status
