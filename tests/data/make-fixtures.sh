#!/bin/sh
# Regenerates the workbook fixtures from their flat-ODF sources with a real spreadsheet
# application: LibreOffice headless (Debian package libreoffice-calc-nogui).
# The tests read the committed .xlsx/.xls files; they never run this script.
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
