#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# Write the sample documents that Debian's ipp-everywhere.test (with the
# ipp-1.1 and ipp-2.0 tests it includes) names, next to copies of those test
# files in DIR: ipptool 2.4 refuses a test file when any document it names
# is missing, even one a skipped test would send.
#
#   make_ipp_samples.sh DIR
#
# PDF, PostScript and JPEG documents are drawn by Ghostscript.  Of the PWG
# raster samples, those the printers can take (8-bit sGray and 1-bit black
# at 300 dpi) are real pages; the others (resolutions and colour spaces the
# printers do not offer, so the suite skips them) are empty placeholders.
#
set -euo pipefail
dir=$1
tests=/usr/share/cups/ipptool
mkdir -p "$dir"
cp "$tests/ipp-everywhere.test" "$tests/ipp-1.1.test" "$tests/ipp-2.0.test" "$dir/"
cd "$dir"

gsw() { gs -q -dNOPAUSE -dBATCH -dSAFER "$@" >/dev/null 2>&1; }

cat >doc.ps <<'PS'
%!PS
/Helvetica findfont 24 scalefont setfont
72 700 moveto (Sample document) show
0.5 setgray 72 400 200 200 rectfill
0 setgray 72 300 moveto 300 0 rlineto 4 setlinewidth stroke
showpage
PS
for paper in a4 letter; do
  gsw -sPAPERSIZE=$paper -sDEVICE=pdfwrite -o document-$paper.pdf doc.ps
  cp doc.ps document-$paper.ps
done
picture='0.9 0.2 0.1 setrgbcolor 20 20 150 250 rectfill 0.1 0.3 0.9 setrgbcolor 100 100 150 150 rectfill showpage'
gsw -g400x600 -r100 -sDEVICE=jpeg -o color.jpg -c "$picture"
gsw -g400x600 -r100 -sDEVICE=jpeggray -o gray.jpg -c "$picture"

# name: document pages, page size
declare -A sources=([color.jpg-4x6]="-c {$picture}" [gray.jpg-4x6]="-c {$picture}"
                    [document-a4]=a4 [document-letter]=letter [onepage-a4]=a4 [onepage-letter]=letter)
for res in 150 180 300 360 600 720; do
  for type in black-1 cmyk-8 sgray-8 srgb-8 srgb-16; do
    mkdir -p "pwg-raster-samples-${res}dpi/$type"
    for name in "${!sources[@]}"; do
      [[ $type == srgb-16 && $name != color.jpg-4x6 ]] && continue
      file="pwg-raster-samples-${res}dpi/$type/$name-$type-${res}dpi.pwg"
      if [[ $res == 300 && ($type == sgray-8 || $type == black-1) ]]; then
        # sGray (18) 8-bit or black (3) 1-bit
        layout=(-dcupsColorSpace=18 -dcupsBitsPerColor=8)
        [[ $type == black-1 ]] && layout=(-dcupsColorSpace=3 -dcupsBitsPerColor=1)
        case ${sources[$name]} in
          a4 | letter) gsw -sDEVICE=pwgraster -r300 "${layout[@]}" \
                         -sPAPERSIZE="${sources[$name]}" -o "$file" doc.ps ;;
          *) gsw -sDEVICE=pwgraster -r300 "${layout[@]}" \
               -dDEVICEWIDTHPOINTS=288 -dDEVICEHEIGHTPOINTS=432 -dFIXEDMEDIA -o "$file" \
               -c "$picture" ;;
        esac
      else
        : >"$file"
      fi
    done
  done
done
