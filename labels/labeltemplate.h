// The label template an administrator edits: a small line-based text file.
//
//   # comment
//   size <width mm> <height mm>                  (default 50 30)
//   qr   <x mm> <y mm> <side mm>                 the QR of {uuid}, its quiet zone included
//   text <x mm> <y mm> <width mm> <pt> <text>    one line of text with placeholders
//
// Placeholders: {uuid} {serial} {type} {customer} {date} {station}.
#pragma once

#include <QCoreApplication>
#include <QList>
#include <QString>

namespace labels {

// The values a label's placeholders stand for.
struct LabelValues {
    QString uuid;
    QString serial;
    QString type;
    QString customer;
    QString date;
    QString station;
};

struct LabelItem {
    enum Kind {
        Text,
        Qr
    };
    Kind kind = Text;
    double x = 0;         // mm from the label's left edge
    double y = 0;         // mm from its top edge
    double width = 0;     // mm; a QR's side
    double pointSize = 0; // text only
    QString text;         // text only, placeholders unreplaced
    int line = 0;         // where the template defines it

    double height() const; // mm: a QR's side, or a text's line height
};

class LabelTemplate
{
    Q_DECLARE_TR_FUNCTIONS(LabelTemplate)

public:
    double width = 50;  // mm
    double height = 30; // mm
    QList<LabelItem> items;

    // Parses `text`; on the first fault returns false with `error` naming its line.
    static bool parse(const QString &text, LabelTemplate *out, QString *error);
    static bool load(const QString &path, LabelTemplate *out, QString *error);

    // `text` with each placeholder replaced by its value, in one pass: a value holding
    // "{serial}" stays as it is.
    static QString fill(const QString &text, const LabelValues &values);
};

} // namespace labels
