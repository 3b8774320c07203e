#!/bin/sh
# Renders Tandrel's icons from the hand-written SVG sources in src/.
#
# Needs (Debian packages):
#   rsvg-convert  - librsvg2-bin  (SVG -> PNG; ImageMagick's own SVG renderer
#                                  gets gradients and thin outlines wrong)
#   convert, identify - imagemagick (PNG -> ICO, checks)
#   od            - coreutils     (reads the ICO directory back)
#
# Writes, next to this script:
#   tandrel.ico   32x32 8-bit palette + 32x32 32-bit with alpha
#   file.ico      16x16 8-bit palette + 16x16 32-bit with alpha
#   folder.ico    16x16 8-bit palette + 16x16 32-bit with alpha
#   file.png, folder.png                    16 px fallbacks
#   hicolor/<N>x<N>/apps/org.tandrel.tandrel.png   N = 16 32 48 64 128 256
#   hicolor/scalable/apps/org.tandrel.tandrel.svg  copy of src/tandrel.svg
#
# The desktop icons are named by the application id, org.tandrel.tandrel,
# as the desktop entry's Icon key names them.
#
# The 16 px application icon comes from src/tandrel-16.svg, a pixel-tuned
# redraw of src/tandrel.svg; every other size comes from src/tandrel.svg.
# The outputs are kept in the repository, so building never needs these tools;
# run this script again after editing a source and commit what it writes.
set -eu

cd "$(dirname "$0")"

for tool in rsvg-convert convert identify od; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "generate.sh: '$tool' not found (rsvg-convert: apt-get install librsvg2-bin;" \
             "convert/identify: apt-get install imagemagick)" >&2
        exit 1
    fi
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# render SVG SIZE OUT: an SVG at SIZE x SIZE px, metadata stripped so that
# re-running the script gives byte-identical files.
render() {
    rsvg-convert -w "$2" -h "$2" "$1" -o "$tmp/raw.png"
    convert "$tmp/raw.png" -strip -define png:exclude-chunks=date,time \
        -type TrueColorAlpha "PNG32:$3"
}

# make_ico PNG OUT: a two-image icon from one rendering. The first image is
# the 256-colour one: alpha cut to on/off at 50% (the icon's AND mask), colours
# reduced to a palette without dithering. ImageMagick stores a palette image
# with the fewest bits its colour count allows (a 16-colour picture would go
# out as 4-bit), so the palette is padded to exactly 256 entries with unused
# greys first. The second image is the 32-bit one with the full alpha channel.
# Fully transparent pixels are black in both, as the AND-mask convention expects.
make_ico() {
    convert "$1" -background black -alpha background "$tmp/full.png"
    convert "$tmp/full.png" -channel A -threshold 50% +channel \
        -background black -alpha background -dither None -colors 256 "$tmp/mask.png"
    convert "$tmp/mask.png" -unique-colors "$tmp/used.png"
    used=$(identify -format %w "$tmp/used.png")
    if [ "$used" -lt 256 ]; then
        convert "$tmp/used.png" \( -size "$((256 - used))x1" gradient:'#010203-#fdfefc' \) \
            +append "$tmp/palette.png"
    else
        cp "$tmp/used.png" "$tmp/palette.png"
    fi
    colours=$(identify -format %k "$tmp/palette.png")
    [ "$colours" -eq 256 ] || { echo "$2: padded palette has $colours colours" >&2; exit 1; }
    convert "$tmp/mask.png" -dither None -remap "$tmp/palette.png" \
        \( "$tmp/full.png" -type TrueColorAlpha \) "$2"
}

u8()  { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' '; }
u16() { od -An -tu2 -j "$2" -N2 "$1" | tr -d ' '; }
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }

# check_ico ICO SIZE: the file holds exactly two SIZE x SIZE bitmap images,
# the first with 8 bits per pixel and a palette, the second with 32.
check_ico() {
    count=$(u16 "$1" 4)
    [ "$count" -eq 2 ] || { echo "$1: $count images, expected 2" >&2; exit 1; }
    for i in 0 1; do
        entry=$((6 + 16 * i))
        width=$(u8 "$1" "$entry")
        height=$(u8 "$1" $((entry + 1)))
        offset=$(u32 "$1" $((entry + 12)))
        bits=$(u16 "$1" $((offset + 14)))
        palette=$(u32 "$1" $((offset + 32)))
        if [ "$i" -eq 0 ]; then want=8; else want=32; fi
        if [ "$width" -ne "$2" ] || [ "$height" -ne "$2" ] || [ "$bits" -ne "$want" ]; then
            echo "$1: image $i is ${width}x${height} with $bits bits per pixel," \
                 "expected ${2}x${2} with $want" >&2
            exit 1
        fi
        if [ "$want" -eq 8 ] && { [ "$palette" -eq 0 ] || [ "$palette" -gt 256 ]; }; then
            echo "$1: image 0 has a palette of $palette colours" >&2
            exit 1
        fi
        if [ "$want" -eq 8 ]; then
            echo "$1: image $i ${width}x${height}, $bits bits per pixel, $palette-colour palette"
        else
            echo "$1: image $i ${width}x${height}, $bits bits per pixel"
        fi
    done
}

# Application icon at every desktop size, plus the scalable source.
id=org.tandrel.tandrel
for n in 16 32 48 64 128 256; do
    mkdir -p "hicolor/${n}x${n}/apps"
    if [ "$n" -eq 16 ]; then src=src/tandrel-16.svg; else src=src/tandrel.svg; fi
    render "$src" "$n" "hicolor/${n}x${n}/apps/$id.png"
done
mkdir -p hicolor/scalable/apps
cp src/tandrel.svg "hicolor/scalable/apps/$id.svg"

# Status-bar pictures.
render src/file.svg 16 file.png
render src/folder.svg 16 folder.png

make_ico "hicolor/32x32/apps/$id.png" tandrel.ico
make_ico file.png file.ico
make_ico folder.png folder.ico

check_ico tandrel.ico 32
check_ico file.ico 16
check_ico folder.ico 16
identify tandrel.ico file.ico folder.ico
