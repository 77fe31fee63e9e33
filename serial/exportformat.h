// The layout of an exported pool, shared by the export that writes it and the import
// that recognises it: a header row of the table's column titles, then one row per
// serial number. A file in this layout is imported by its UUID column only.
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

} // namespace exportformat
