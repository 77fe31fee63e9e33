// The layout of an exported pool, shared by the export that writes it and the import
// that recognises it: a header row of the table's column titles, then one row per
// serial number. A file in this layout is imported row by row: its unused identifiers
// like any list, the others with their state and device. A Label column follows these
// columns; the import reads only the columns of header(), so files written before the
// Label column and files with it import alike.
#pragma once

#include <QCoreApplication>
#include <QStringList>

namespace exportformat {

// UUID, Customer, Is used, Type, SN., IP: the table's titles as the operator sees them
// (translated), or their source texts.
inline QStringList header(bool translated = true)
{
    static const char *const titles[] = {QT_TRANSLATE_NOOP("Serial", "UUID"),
                                         QT_TRANSLATE_NOOP("Serial", "Customer"),
                                         QT_TRANSLATE_NOOP("Serial", "Is used"),
                                         QT_TRANSLATE_NOOP("Serial", "Type"),
                                         QT_TRANSLATE_NOOP("Serial", "SN."),
                                         QT_TRANSLATE_NOOP("Serial", "IP")};
    QStringList out;
    for (const char *title : titles)
        out << (translated ? QCoreApplication::translate("Serial", title) : QString::fromLatin1(title));
    return out;
}

// True when `cells` (a header row's first cells) start with the export's header, in
// the current language or the source texts.
inline bool isHeader(const QStringList &cells)
{
    const QStringList mine = header(true);
    const QStringList source = header(false);
    const QStringList first = cells.mid(0, mine.size());
    return first == mine || first == source;
}

// The Is-used column: the Serial page's texts for IsUse 0 (unused), 1 (used), 2
// (pending), 3 (void) and 4 (released), translated or as their source texts.
constexpr int kStates = 5;
inline QString stateText(int isUse, bool translated = true)
{
    static const char *const texts[kStates] = {QT_TRANSLATE_NOOP("Serial", "NO"), QT_TRANSLATE_NOOP("Serial", "YES"),
                                               QT_TRANSLATE_NOOP("Serial", "Pending"),
                                               QT_TRANSLATE_NOOP("Serial", "Void"),
                                               QT_TRANSLATE_NOOP("Serial", "Released")};
    if (isUse < 0 || isUse >= kStates)
        return QString();
    return translated ? QCoreApplication::translate("Serial", texts[isUse]) : QString::fromLatin1(texts[isUse]);
}

// The IsUse a text of the Is-used column stands for, in either language; -1 for any other text.
inline int stateOf(const QString &text)
{
    for (int isUse = 0; isUse < kStates; ++isUse)
        if (text == stateText(isUse, true) || text == stateText(isUse, false))
            return isUse;
    return -1;
}

// The title of the Label column, written after header()'s.
inline QString labelTitle(bool translated = true)
{
    static const char *const title = QT_TRANSLATE_NOOP("Serial", "Label");
    return translated ? QCoreApplication::translate("Serial", title) : QString::fromLatin1(title);
}

// The latest copy of an identifier's label as the Serial page and the export word it:
// `state` is the stored label state (0 due and 1 sending wait, 2 printed, 3 failed; -1 or
// any other number: no label), `error` why a failed one failed. A copy after the first
// names its number, so a reprint that waits is not taken for the first print.
inline QString labelText(int state, int copy, const QString &error)
{
    switch (state) {
    case 0:
    case 1:
        return copy > 1 ? QCoreApplication::translate("Serial", "Waiting, copy %1").arg(copy)
                        : QCoreApplication::translate("Serial", "Waiting");
    case 2:
        return copy > 1 ? QCoreApplication::translate("Serial", "Printed, copy %1").arg(copy)
                        : QCoreApplication::translate("Serial", "Printed");
    case 3:
        return copy > 1 ? QCoreApplication::translate("Serial", "Failed, copy %1: %2").arg(QString::number(copy), error)
                        : QCoreApplication::translate("Serial", "Failed: %1").arg(error);
    default:
        return QString();
    }
}

// A field of the CSV export as it was before the writer guarded it (base/csvfield.h): a
// field that starts with an apostrophe got exactly one put in front.
inline QString unguarded(const QString &field)
{
    return field.startsWith(QLatin1Char('\'')) ? field.mid(1) : field;
}

} // namespace exportformat
