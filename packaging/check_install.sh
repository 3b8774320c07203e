#!/usr/bin/env bash
# What an install and the Debian package put on a machine.
#
#   check_install.sh CHECK SOURCE_DIR BUILD_DIR VERSION [ui|cli-only]
#
# CHECK is one of
#   desktop_entry  the launcher entry validates and names the icon and the
#                  program that the install provides
#   metainfo       the AppStream entry validates without a note, pedantic ones
#                  included (appstreamcli, offline), and names the launcher
#                  entry, its categories, a screenshot and this release
#   manual_pages   the manual pages render without a warning and document every
#                  option that tandrel-cli --help lists
#   install_tree   `cmake --install` into a scratch root: exactly the expected
#                  files, icons of the size their folder says, programs that start
#   deb            cpack in a scratch folder: the package's name, fields,
#                  dependencies and contents
#   lintian        the same package passes lintian without an error or a
#                  warning, and its copyright file Debian's machine-readable
#                  format without a note
# Exit status 77: a tool the check needs is missing (the test is skipped).
set -euo pipefail

check=$1 src=$2 build=$3 version=$4 flavour=${5:-ui}
# The application id: the name of the desktop entry, of the AppStream entry
# and of the icons.
id=org.tandrel.tandrel
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*" >&2; exit 77; }
need() { command -v "$1" > /dev/null || skip "$1 is not installed${2:+ (package $2)}"; }

# Every file an install into PREFIX holds, relative to the root, sorted.
expected_files() {
    local prefix=$1
    {
        echo "$prefix/bin/tandrel-cli"
        echo "$prefix/share/doc/tandrel/changelog.gz"
        echo "$prefix/share/doc/tandrel/copyright"
        echo "$prefix/share/man/man1/tandrel-cli.1.gz"
        if [ "$flavour" = ui ]; then
            echo "$prefix/bin/tandrel"
            echo "$prefix/share/applications/$id.desktop"
            echo "$prefix/share/metainfo/$id.metainfo.xml"
            for size in 16 32 48 64 128 256; do
                echo "$prefix/share/icons/hicolor/${size}x${size}/apps/$id.png"
            done
            echo "$prefix/share/icons/hicolor/scalable/apps/$id.svg"
            echo "$prefix/share/man/man1/tandrel.1.gz"
        fi
    } | LC_ALL=C sort
}

# Width and height of a PNG file, from its IHDR chunk.
png_size() {
    local w h
    w=$(od -An -tu1 -j16 -N4 "$1" | awk '{ print ($1 * 16777216) + ($2 * 65536) + ($3 * 256) + $4 }')
    h=$(od -An -tu1 -j20 -N4 "$1" | awk '{ print ($1 * 16777216) + ($2 * 65536) + ($3 * 256) + $4 }')
    echo "${w}x${h}"
}

# The programs under ROOT start: both give their version and licence (the
# window without a display), tandrel-cli copies a file, and the window keeps
# running until it is stopped.
programs_start() {
    local bin=$1 program out
    local programs=(tandrel-cli)
    [ "$flavour" = ui ] && programs+=(tandrel)
    for program in "${programs[@]}"; do
        out=$(env -u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY "$bin/$program" --version 2>&1) \
            || fail "$program --version: $out"
        [ "$(sed -n 1p <<< "$out")" = "$program $version" ] || fail "$program --version: $out"
        grep -q '^License GPL-3.0-or-later: ' <<< "$out" || fail "$program --version names no licence: $out"
    done
    mkdir -p "$work/tree/src"
    printf 'data' > "$work/tree/src/a.txt"
    XDG_CONFIG_HOME="$work/config" "$bin/tandrel-cli" --dest "$work/tree/out" "$work/tree/src" < /dev/null > /dev/null
    [ "$(cat "$work/tree/out/src/a.txt")" = data ] || fail "the installed tandrel-cli did not copy"
    if [ "$flavour" = ui ]; then
        local status=0
        QT_QPA_PLATFORM=offscreen timeout 3 "$bin/tandrel" > "$work/ui.log" 2>&1 || status=$?
        # 124: still running when timeout stopped it.
        [ "$status" -eq 124 ] || { cat "$work/ui.log" >&2; fail "tandrel ended with status $status on its own"; }
    fi
}

# Builds the Debian package with cpack in a scratch folder, as $deb.
build_deb() {
    need dpkg-deb dpkg
    need dpkg-shlibdeps dpkg-dev
    need cpack cmake
    [ -f "$build/CPackConfig.cmake" ] || fail "no CPackConfig.cmake in $build"
    cpack --config "$build/CPackConfig.cmake" -B "$work/pkg" > "$work/cpack.log" 2>&1 \
        || { cat "$work/cpack.log" >&2; fail "cpack"; }
    arch=$(dpkg --print-architecture)
    deb=$work/pkg/tandrel_${version}_$arch.deb
    [ -f "$deb" ] || { ls "$work/pkg" >&2; fail "no tandrel_${version}_$arch.deb"; }
}

case $check in
desktop_entry)
    need desktop-file-validate desktop-file-utils
    entry=$src/packaging/$id.desktop
    out=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate: $out"
    [ -z "$out" ] || fail "desktop-file-validate warns: $out"
    value() { sed -n "s/^$1=//p" "$entry"; }
    [ "$(value Name)" = Tandrel ] || fail "Name"
    [ "$(value Type)" = Application ] || fail "Type"
    [ "$(value Terminal)" = false ] || fail "Terminal"
    [ -n "$(value GenericName)" ] && [ -n "$(value Comment)" ] || fail "GenericName or Comment missing"
    for category in Utility Archiving; do
        [[ ";$(value Categories)" == *";$category;"* ]] || fail "Categories lacks $category"
    done
    # Exec and Icon name what the install puts in bin/ and in the icon theme.
    [ "$(value Exec)" = tandrel ] || fail "Exec is not the installed program"
    icon=$(value Icon)
    [ "$icon" = "$id" ] || fail "Icon is $icon, not the application id"
    for size in 16 32 48 64 128 256; do
        [ -f "$src/resources/icons/hicolor/${size}x${size}/apps/$icon.png" ] || fail "no ${size}px icon named $icon"
    done
    [ -f "$src/resources/icons/hicolor/scalable/apps/$icon.svg" ] || fail "no scalable icon named $icon"
    # Under Wayland the window finds its icon through the entry that the
    # application names: the entry's file name without .desktop.
    grep -q "setDesktopFileName(QStringLiteral(\"$id\"))" "$src/ui/main.cpp" \
        || fail "ui/main.cpp does not name the desktop entry $id"
    ;;

metainfo)
    need appstreamcli appstream
    info=$src/packaging/$id.metainfo.xml
    # Software centres take the pedantic notes as well: none may remain.
    # appstreamcli ends with status 0 on those, so its report is read.
    out=$(appstreamcli validate --no-net --strict --pedantic "$info" 2>&1) \
        || fail "appstreamcli validate: $out"
    ! grep -qE '^[A-Z]: ' <<< "$out" || fail "appstreamcli validate notes: $out"
    text() { sed -n "s|.*<$1[^>]*>\(.*\)</$1>.*|\1|p" "$info"; }
    [ "$(text id)" = "$id" ] || fail "id is not $id"
    [ "$(sed -n 's|.*<launchable type="desktop-id">\(.*\)</launchable>.*|\1|p' "$info")" = "$id.desktop" ] \
        || fail "launchable is not $id.desktop"
    # The newest release is the one being built.
    [ "$(grep -m1 -o '<release version="[^"]*"' "$info")" = "<release version=\"$version\"" ] \
        || fail "the newest release is not $version"
    [ "$(text name)" = Tandrel ] || fail "name"
    [ -n "$(text summary)" ] || fail "summary missing"
    grep -q '<description>' "$info" || fail "description missing"
    grep -q '<content_rating type="oars-1.1"' "$info" || fail "content_rating missing"
    grep -q '<screenshot type="default">' "$info" || fail "no default screenshot"
    [ -f "$src/docs/screenshot.png" ] || fail "docs/screenshot.png, the screenshot, is missing"
    # The same categories as the desktop entry.
    entry_categories=$(sed -n 's/^Categories=//p' "$src/packaging/$id.desktop" | tr ';' '\n' | sed '/^$/d')
    [ "$(text category)" = "$entry_categories" ] || fail "categories differ from the desktop entry's"
    # The licence claimed is the one whose text the sources carry.
    [ "$(text project_license)" = GPL-3.0-or-later ] || fail "project_license is $(text project_license)"
    if [ -f /usr/share/common-licenses/GPL-3 ]; then
        cmp -s "$src/LICENSE" /usr/share/common-licenses/GPL-3 || fail "LICENSE is not the text of the GPL 3"
    fi
    ;;

manual_pages)
    need groff groff-base
    pages=(tandrel-cli)
    [ "$flavour" = ui ] && pages+=(tandrel)
    for page in "${pages[@]}"; do
        file=$build/packaging/man/$page.1
        [ -f "$file" ] || fail "$file was not generated"
        grep -q '@PROJECT_VERSION@' "$file" && fail "$page.1: version not filled in"
        grep -q "\"Tandrel $version\"" "$file" || fail "$page.1: no version $version in its title"
        grep -q '^License GPL-3.0-or-later: ' "$file" || fail "$page.1: no licence"
        warnings=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$file" 2>&1)
        [ -z "$warnings" ] || fail "$page.1: groff warns: $warnings"
        if command -v man > /dev/null; then
            warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$file" 2>&1 > /dev/null)
            [ -z "$warnings" ] || fail "$page.1: man warns: $warnings"
        fi
        [ -f "$file.gz" ] && { gzip -dc "$file.gz" | cmp -s - "$file" || fail "$page.1.gz is stale"; }
    done
    # Every option of the program's own summary is documented.
    text=$(LC_ALL=C.UTF-8 MANWIDTH=200 groff -man -Tutf8 -P-cbou "$build/packaging/man/tandrel-cli.1" 2>/dev/null)
    options=$("$build/cli/tandrel-cli" --help | grep -o -- '--[a-z][a-z-]*' | sort -u)
    [ -n "$options" ] || fail "tandrel-cli --help lists no option"
    for option in $options; do
        grep -q -- "$option" <<< "$text" || fail "tandrel-cli.1 does not document $option"
    done
    ;;

install_tree)
    root=$work/root
    DESTDIR=$root cmake --install "$build" --prefix /usr > "$work/install.log" \
        || { cat "$work/install.log" >&2; fail "cmake --install"; }
    actual=$(cd "$root" && find . -type f -o -type l | sed 's/^\.//' | LC_ALL=C sort)
    diff <(expected_files /usr) <(echo "$actual") > "$work/diff" \
        || { cat "$work/diff" >&2; fail "the installed files differ from the expected (< expected, > installed)"; }
    if [ "$flavour" = ui ]; then
        for size in 16 32 48 64 128 256; do
            got=$(png_size "$root/usr/share/icons/hicolor/${size}x${size}/apps/$id.png")
            [ "$got" = "$size"x"$size" ] || fail "the ${size}x${size} icon is $got"
        done
        grep -q '<svg' "$root/usr/share/icons/hicolor/scalable/apps/$id.svg" || fail "scalable icon is no SVG"
    fi
    for program in "$root"/usr/bin/*; do
        [ -x "$program" ] || fail "$program is not executable"
    done
    programs_start "$root/usr/bin"
    ;;

deb)
    need file file
    build_deb
    field() { dpkg-deb -f "$deb" "$1"; }
    [ "$(field Package)" = tandrel ] || fail "Package"
    [ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
    changelog_version=$(dpkg-parsechangelog -l "$src/packaging/changelog" -S Version)
    [ "$changelog_version" = "$version" ] || fail "the changelog's newest entry is $changelog_version"
    [ "$(field Architecture)" = "$arch" ] || fail "Architecture"
    [ "$(field Section)" = utils ] || fail "Section"
    [[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer is not 'Name <address>'"
    [ -n "$(field Description)" ] || fail "Description"
    # The package names of a relation field, without versions, one a line.
    names() { field "$1" | tr ',|' '\n\n' | sed 's/(.*//; s/[[:space:]]//g'; }
    needed="libc6 libstdc++6"
    [ "$flavour" = ui ] && needed="$needed libqt6core6 libqt6gui6 libqt6widgets6 qt6-qpa-plugins"
    for name in $needed; do
        names Depends | grep -qxF "$name" || fail "Depends lacks $name: $(field Depends)"
    done
    if [ "$flavour" = ui ]; then
        names Recommends | grep -qxF fonts-liberation || fail "Recommends lacks fonts-liberation"
    fi
    # The package holds the same files as an install into /usr, and no folder
    # of its own outside /usr.
    actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's/^\.//' | LC_ALL=C sort)
    diff <(expected_files /usr) <(echo "$actual") > "$work/diff" \
        || { cat "$work/diff" >&2; fail "the package's files differ from the expected (< expected, > packaged)"; }
    dpkg-deb -c "$deb" | awk '{ print $6 }' | grep -v -E '^\./(usr/?.*)?$' && fail "files outside /usr"
    # Stripped, and still working.
    dpkg-deb -x "$deb" "$work/root"
    if command -v file > /dev/null; then
        file -L "$work/root/usr/bin/tandrel-cli" | grep -q 'not stripped' && fail "tandrel-cli is not stripped"
    fi
    programs_start "$work/root/usr/bin"
    ;;

lintian)
    need lintian lintian
    need dpkg-source dpkg-dev
    need git git
    git -C "$src" rev-parse --git-dir > /dev/null 2>&1 || skip "$src is not a git checkout"
    build_deb
    # Any error or warning fails. A tag that cannot apply to a package that
    # cpack builds would be overridden in usr/share/lintian/overrides/tandrel,
    # with its reason; none is. lintian's own messages (among them that it
    # runs as root) go to standard error, shown when it fails.
    status=0
    out=$(lintian --fail-on error,warning "$deb" 2> "$work/lintian.err") || status=$?
    [ "$status" -eq 0 ] || { cat "$work/lintian.err" >&2; fail "lintian (status $status): $out"; }
    # lintian reads the copyright file as machine-readable only in a source
    # package: a native one of the checked-out sources, with the changelog
    # and the copyright file under debian/, goes through that check alone,
    # which fails on its pedantic notes too (a file not in that format is one).
    tree=$work/source/tandrel-$version
    mkdir -p "$tree/debian/source"
    git -C "$src" ls-files -z | (cd "$src" && tar --null -T - --ignore-failed-read -cf - 2> /dev/null) \
        | tar -C "$tree" -xf -
    cp "$src/packaging/changelog" "$src/packaging/copyright" "$tree/debian/"
    echo '3.0 (native)' > "$tree/debian/source/format"
    printf 'Source: tandrel\nMaintainer: %s\n\nPackage: tandrel\nArchitecture: any\nDescription: %s\n' \
        "$(dpkg-deb -f "$deb" Maintainer)" "$(dpkg-deb -f "$deb" Description)" > "$tree/debian/control"
    (cd "$work/source" && dpkg-source -b "tandrel-$version") > "$work/source.log" 2>&1 \
        || { cat "$work/source.log" >&2; fail "dpkg-source"; }
    status=0
    out=$(lintian -C debian/copyright/dep5 --display-info --pedantic --fail-on error,warning,info,pedantic \
        "$work/source/tandrel_$version.dsc" 2> "$work/lintian.err") || status=$?
    [ "$status" -eq 0 ] || { cat "$work/lintian.err" >&2; fail "lintian on the copyright file (status $status): $out"; }
    ;;

*)
    echo "unknown check '$check'" >&2
    exit 2
    ;;
esac
echo "$check: ok"
