#include "widgets/displaytext.h"

#include <QVector>

namespace {

bool needsEscape(uint ucs4)
{
    switch (QChar::category(ucs4)) {
    case QChar::Other_Control: // C0, DEL, C1
    case QChar::Other_Format:  // bidi marks, embeddings, overrides, isolates, zero-width joiners
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
    case QChar::Other_Surrogate: // an unpaired half
    case QChar::Other_NotAssigned:
        return true;
    default:
        return false;
    }
}

} // namespace

QString displayText(const QString &raw)
{
    QString shown;
    const QVector<uint> chars = raw.toUcs4();
    bool escaped = false;
    for (uint c : chars) {
        if (needsEscape(c)) {
            shown += c > 0xFFFF ? QStringLiteral("\\U%1").arg(c, 8, 16, QLatin1Char('0'))
                                : QStringLiteral("\\u%1").arg(c, 4, 16, QLatin1Char('0'));
            escaped = true;
        } else {
            shown += QString::fromUcs4(&c, 1);
        }
    }
    return escaped ? shown : raw;
}
