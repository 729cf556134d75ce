#!/usr/bin/env bash
# Builds the Debian package from this build tree into a temporary folder and checks what a user
# relies on: the files a desktop looks for at their paths, valid desktop entry and metadata,
# the package fields apt reads, and an installed binary that answers without a display.
# Usage: deb_package_test.sh BUILD_DIR VERSION APP_ID
set -uo pipefail

BUILD_DIR=$1 VERSION=$2 APP_ID=$3
ICON_SIZES=(16 24 32 48 64 128 256)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for tool in cpack dpkg-deb dpkg-shlibdeps desktop-file-validate appstreamcli lintian; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/test installs it)"; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! cpack --config "$BUILD_DIR/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack"
    exit 1
fi
debs=("$work"/out/penshelf_"$VERSION"_*.deb)
if [ ! -f "${debs[0]}" ] || [ "${#debs[@]}" -ne 1 ]; then
    ls -l "$work/out"
    echo "FAIL: expected one penshelf_${VERSION}_ARCH.deb"
    exit 1
fi
deb=${debs[0]}
echo "built $(basename "$deb")"

# The control fields apt acts on.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = penshelf ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$VERSION" ] || fail "Version is '$(field Version)', the project is $VERSION"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@]+@[^\>]+\>$ ]] || fail "Maintainer is '$(field Maintainer)'"
# names FIELD: the package names in a relation field, one a line, without versions.
names() { field "$1" | tr ',|' '\n\n' | sed 's/(.*//; s/[[:space:]]//g' | grep .; }
for library in libc6 libstdc++6 libudev1 libqt6core6 libqt6gui6 libqt6widgets6 libqt6dbus6; do
    names Depends | grep -xF "$library" >/dev/null || fail "Depends lacks $library: $(field Depends)"
done
for package in udisks2 qt6-wayland libqt6svg6; do
    names Recommends | grep -xF "$package" >/dev/null || fail "Recommends lacks $package: $(field Recommends)"
done

# The files, at the paths the desktop and the shell look them up.
expected=(
    ./usr/bin/penshelf
    "./usr/share/applications/$APP_ID.desktop"
    "./usr/share/metainfo/$APP_ID.metainfo.xml"
    "./usr/share/icons/hicolor/scalable/apps/$APP_ID.svg"
    ./usr/share/man/man1/penshelf.1.gz
    ./usr/share/doc/penshelf/copyright
    ./usr/share/doc/penshelf/changelog.gz
)
for size in "${ICON_SIZES[@]}"; do
    expected+=("./usr/share/icons/hicolor/${size}x${size}/apps/$APP_ID.png")
done
dpkg-deb -c "$deb" >"$work/listing"
awk '{ print $6 }' "$work/listing" >"$work/contents"
for path in "${expected[@]}"; do
    grep -qxF "$path" "$work/contents" || fail "the package lacks $path"
done
grep -q '^-rwxr-xr-x root/root .* \./usr/bin/penshelf$' "$work/listing" ||
    fail "usr/bin/penshelf is not an executable owned by root"

root="$work/root"
dpkg-deb -x "$deb" "$root"

# A menu shows the entry only when it is valid and its icon and command exist.
desktop="$root/usr/share/applications/$APP_ID.desktop"
if [ -f "$desktop" ]; then
    desktop-file-validate "$desktop" >"$work/validate" 2>&1 || fail "desktop-file-validate: $(cat "$work/validate")"
    grep -v ': hint: ' "$work/validate" | grep -q . && fail "desktop-file-validate: $(cat "$work/validate")"
    key() { sed -n "s/^$1=//p" "$desktop"; }
    [ "$(key Name)" = "点读笔管理" ] || fail "Name is '$(key Name)'"
    [ "$(key Icon)" = "$APP_ID" ] || fail "Icon is '$(key Icon)', not $APP_ID"
    [ -x "$root/usr/bin/$(key Exec)" ] || fail "Exec '$(key Exec)' is not a program in the package"
fi

metainfo="$root/usr/share/metainfo/$APP_ID.metainfo.xml"
if [ -f "$metainfo" ]; then
    appstreamcli validate --no-net "$metainfo" >"$work/appstream" 2>&1 || fail "appstreamcli: $(cat "$work/appstream")"
    grep -qF "<id>$APP_ID</id>" "$metainfo" || fail "metainfo id is not $APP_ID"
    grep -qF "<launchable type=\"desktop-id\">$APP_ID.desktop</launchable>" "$metainfo" ||
        fail "metainfo does not launch $APP_ID.desktop"
    grep -qF "<release version=\"$VERSION\"" "$metainfo" || fail "metainfo has no release $VERSION"
fi

# Each PNG is as large as the folder it sits in says (width and height from the IHDR chunk).
for size in "${ICON_SIZES[@]}"; do
    png="$root/usr/share/icons/hicolor/${size}x${size}/apps/$APP_ID.png"
    [ -f "$png" ] || continue
    dimensions=$(od -An -tu1 -j16 -N8 "$png" | awk '{ print $1*16777216+$2*65536+$3*256+$4 "x" $5*16777216+$6*65536+$7*256+$8 }')
    [ "$dimensions" = "${size}x${size}" ] || fail "the ${size}x${size} icon is $dimensions"
done

# The installed program answers --version and --help on a machine without any display.
headless=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 20)
if output=$("${headless[@]}" "$root/usr/bin/penshelf" --version 2>&1); then
    [ "$output" = "penshelf $VERSION" ] || fail "--version printed '$output'"
else
    fail "--version exited with $?: $output"
fi
if output=$("${headless[@]}" "$root/usr/bin/penshelf" --help 2>&1); then
    [[ "$output" == *--version* && "$output" == *--help* ]] || fail "--help printed '$output'"
else
    fail "--help exited with $?: $output"
fi

lintian --tag-display-limit 0 "$deb" >"$work/lintian" 2>&1
sed 's/^/lintian: /' "$work/lintian"
grep -q '^E: ' "$work/lintian" && fail "lintian reports errors"

[ "$failures" -eq 0 ] && echo "all package checks passed"
exit $((failures > 0))
