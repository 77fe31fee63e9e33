#!/bin/sh
# Regenerates the fixtures the import tests read. The tests read the committed files;
# they never run this script.
#  - workbook.xlsx and workbook.xls: from the flat-ODF source workbook.fods with a real
#    spreadsheet application, LibreOffice headless (Debian package libreoffice-calc-nogui).
#  - serials.csv (UTF-8 with a byte order mark) and serials-utf16.csv (UTF-16LE with one):
#    the same records with quoting, CRLF line ends and a blank line, written byte by byte.
set -eu
cd "$(dirname "$0")"
profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
for src in *.fods; do
    for format in xlsx xls; do
        libreoffice --headless "-env:UserInstallation=file://$profile" \
            --convert-to "$format" --outdir . "$src"
    done
done

records='CSV-0001,"CSV-0002","CSV,0003"\r\n\r\n"CSV ""0004""",,CSV-0005\r\n"CSV-0006\r\nline",\350\256\276\345\244\207-0007\r\nCSV-0001\r\n'
{ printf '\357\273\277'; printf "$records"; } > serials.csv
{ printf '\377\376'; printf "$records" | iconv -f UTF-8 -t UTF-16LE; } > serials-utf16.csv
