#include "jobs/historywords.h"

#include "store/datastore.h"

#include <QRegularExpression>

namespace jobs {

QString HistoryWords::event(SerialEventKind kind)
{
    switch (kind) {
    case SerialEventKind::PoolState:
        return tr("state");
    case SerialEventKind::Imported:
        return tr("imported");
    case SerialEventKind::Claimed:
        return tr("claimed");
    case SerialEventKind::Written:
        return tr("written");
    case SerialEventKind::WriteFailed:
        return tr("write failed");
    case SerialEventKind::Confirmed:
        return tr("confirmed");
    case SerialEventKind::NotConfirmed:
        return tr("not confirmed");
    case SerialEventKind::Kept:
        return tr("kept");
    case SerialEventKind::Voided:
        return tr("voided");
    case SerialEventKind::Released:
        return tr("released");
    case SerialEventKind::Deleted:
        return tr("deleted");
    case SerialEventKind::Exported:
        return tr("exported");
    case SerialEventKind::LabelPrinted:
        return tr("label printed");
    case SerialEventKind::Recorded:
        return tr("recorded");
    case SerialEventKind::Replacement:
        return tr("replacement");
    case SerialEventKind::LabelReprint:
        return tr("label reprint asked");
    case SerialEventKind::Skipped:
        return tr("skipped");
    case SerialEventKind::PassStopped:
        return tr("pass stopped");
    }
    // A kind a later version records: shown by its number rather than dropped.
    return tr("event %1").arg(int(kind));
}

namespace {

QString stateWord(const HistoryEntry &e)
{
    if (e.retired)
        return HistoryWords::tr("retired");
    switch (e.isUse) {
    case SerialUnused:
        return HistoryWords::tr("unused");
    case SerialUsed:
        return HistoryWords::tr("used");
    case SerialPending:
        return HistoryWords::tr("pending");
    case SerialVoid:
        return HistoryWords::tr("void");
    case SerialReleased:
        return HistoryWords::tr("released");
    default:
        return HistoryWords::tr("state %1").arg(e.isUse);
    }
}

} // namespace

QString HistoryWords::detail(const HistoryEntry &entry)
{
    switch (entry.kind) {
    case SerialEventKind::PoolState:
        return tr("%1 now (no event recorded)").arg(stateWord(entry));
    case SerialEventKind::Voided:
        if (!entry.related.isEmpty())
            return entry.detail.isEmpty() ? tr("replaced by %1").arg(entry.related)
                                          : tr("replaced by %1: %2").arg(entry.related, entry.detail);
        break;
    case SerialEventKind::Replacement:
        if (!entry.related.isEmpty())
            return tr("in place of %1").arg(entry.related);
        break;
    case SerialEventKind::LabelPrinted: {
        // Stored as "copy N on PRINTER", with ": REASON" after a reprint's (a printer's name
        // such as pdf:labels has no blank after its colon).
        static const QRegularExpression printed(QStringLiteral("^copy (\\d+) on (.*?)(?:: (.*))?$"),
                                                QRegularExpression::DotMatchesEverythingOption);
        const QRegularExpressionMatch m = printed.match(entry.detail);
        if (m.hasMatch())
            return m.captured(3).isEmpty()
                ? tr("copy %1 on %2").arg(m.captured(1), m.captured(2))
                : tr("copy %1 on %2, reprinted: %3").arg(m.captured(1), m.captured(2), m.captured(3));
        break;
    }
    case SerialEventKind::LabelReprint: {
        static const QRegularExpression asked(QStringLiteral("^copy (\\d+): (.*)$"),
                                              QRegularExpression::DotMatchesEverythingOption);
        const QRegularExpressionMatch m = asked.match(entry.detail);
        if (m.hasMatch())
            return tr("copy %1: %2").arg(m.captured(1), m.captured(2));
        break;
    }
    default:
        break;
    }
    if (!entry.related.isEmpty())
        return entry.detail.isEmpty() ? entry.related : tr("%1 (%2)").arg(entry.detail, entry.related);
    return entry.detail;
}

} // namespace jobs
