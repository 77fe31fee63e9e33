// Writes small XLSX packages (and plain zip files) for the import's tests and benchmark,
// so that odd and hostile workbooks can be made at run time instead of being committed.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace xlsxfile {

struct Entry {
    QString name;
    QByteArray data;
    bool stored = false; // kept uncompressed instead of deflated
};
using Entries = QList<Entry>;

bool writeZip(const QString &path, const Entries &entries);

// A worksheet part around the given <sheetData> contents; `dimension` empty leaves the
// <dimension> element out.
QByteArray worksheet(const QByteArray &sheetData, const QByteArray &dimension = QByteArray());

// A shared-strings part holding the given texts (escaped for XML).
QByteArray sharedStrings(const QList<QString> &texts);

// The whole package for worksheets given as parts, in workbook order; shared strings
// only when not empty.
Entries package(const QList<QByteArray> &worksheets, const QByteArray &sharedStringsPart = QByteArray());

// One inline-string cell, for sheetData built by hand.
QByteArray textCell(const QString &ref, const QString &text);

} // namespace xlsxfile
