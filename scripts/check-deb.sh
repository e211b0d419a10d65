#!/usr/bin/env bash
# The Debian package as a user gets it: make deb, apt-get install ./vantrel_*.deb on this machine,
# the README's quick start against the installed files (/usr/bin/vantrel, vantrel-sim, the man
# page, the completion, pkg-config, import vantrel), then apt-get remove leaves none of them.
# Also: pip install . from the source tree leaves nothing inside build/. Needs root (CI).
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
deb_build=${DEB_BUILD:-build-deb}

make deb DEB_BUILD="$deb_build"
debs=("$deb_build"/vantrel_*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "FAILED: expected one vantrel_*.deb in $deb_build, got ${debs[*]}"; exit 1; }
deb=$(cd "$(dirname "${debs[0]}")" && pwd)/$(basename "${debs[0]}")
echo "package: $deb"

failed=0
check() {  # check WHAT COMMAND...
    local what=$1
    shift
    if "$@" >/dev/null 2>&1; then echo "ok: $what"; else echo "FAILED: $what"; failed=1; fi
}

# What the package holds, before it is installed.
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/vantrel ./usr/bin/vantrel-sim ./usr/include/vantrel/ctrl.hpp \
    ./usr/lib/x86_64-linux-gnu/pkgconfig/vantrel.pc \
    ./usr/lib/x86_64-linux-gnu/cmake/vantrel/vantrelConfig.cmake \
    ./usr/lib/python3/dist-packages/vantrel/__init__.py \
    ./usr/share/man/man1/vantrel.1 ./usr/share/bash-completion/completions/vantrel \
    ./usr/lib/udev/rules.d/60-vantrel.rules; do
    check "the package holds ${f#.}" grep -qx "$f" <<<"$contents"
done
for f in vantrel-log@.service vantrel-serve.service vantrel-serve.socket; do
    check "the package holds the unit $f" grep -qx "./usr/lib/systemd/system/$f" <<<"$contents"
done
check "the package needs Chart.js for the live page" sh -c "dpkg-deb -f '$deb' Depends | grep -q libjs-chart.js"
check "the package needs libcurl for InfluxDB (found by dpkg-shlibdeps)" sh -c "dpkg-deb -f '$deb' Depends | grep -q libcurl4"
check "the package holds libvantrel.so.1" grep -q '^\./usr/lib/x86_64-linux-gnu/libvantrel\.so\.1' <<<"$contents"

trap 'apt-get remove -y vantrel >/dev/null 2>&1 || true' EXIT
apt-get install -y "$deb"

# The quick start, line for line, with the installed programs in place of ./build/.
check "the README quick start runs against /usr/bin" bash tests/readme_quickstart.sh README.md /usr/bin
out=$(cd / && env -u PYTHONPATH /usr/bin/python3 -c 'import vantrel; print(vantrel.__file__, vantrel.__version__)')
echo "python: $out"
check "import vantrel finds the installed package" grep -q '^/usr/lib/python3/dist-packages/vantrel/' <<<"$out"
check "pkg-config knows vantrel" pkg-config --exists vantrel
check "man vantrel has its examples" sh -c 'man -P cat vantrel 2>/dev/null | grep -q EXAMPLES || zcat -f /usr/share/man/man1/vantrel.1* | grep -q "SH EXAMPLES"'
# A host program built against the installed library, as the README says.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"; apt-get remove -y vantrel >/dev/null 2>&1 || true' EXIT
printf '#include <vantrel/ctrl.hpp>\nint main() { return vantrel::VantrelCtrl::createNew() ? 0 : 1; }\n' >"$tmp/host.cpp"
check "a program builds with pkg-config and runs" sh -c "g++ -std=c++20 $tmp/host.cpp \$(pkg-config --cflags --libs vantrel) -o $tmp/host && $tmp/host"

apt-get remove -y vantrel
for f in /usr/bin/vantrel /usr/bin/vantrel-sim /usr/lib/python3/dist-packages/vantrel/__init__.py \
    /usr/lib/udev/rules.d/60-vantrel.rules; do
    check "removed: $f" test ! -e "$f"
done

# pip builds beside build/, not in it.
stamp=$tmp/stamp
touch "$stamp"
venv=$tmp/venv
/usr/bin/python3 -m venv --system-site-packages "$venv"
"$venv/bin/python" -m pip install --no-build-isolation --no-index -q "$src"
check "pip install . imports" "$venv/bin/python" -c 'import vantrel, sys; sys.exit(0 if vantrel.__version__ else 1)'
check "pip install . leaves nothing inside build/" test -z "$(find build -newer "$stamp" -print -quit 2>/dev/null)"
exit $failed
