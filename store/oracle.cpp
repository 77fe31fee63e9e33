#include "store/oracle.h"
#include "store/storecore.h"

using namespace storecore;

namespace oracle {

QString filterText(const SerialFilter &filter)
{
    QString text;
    if (!filter.deviceType.isEmpty()) {
        QString pattern = filter.deviceType;
        pattern.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
            .replace(QLatin1Char('%'), QLatin1String("\\%"))
            .replace(QLatin1Char('_'), QLatin1String("\\_"))
            .replace(QLatin1Char('\''), QLatin1String("''"));
        text += QLatin1String(" AND s.DeviceType LIKE '%") + pattern + QLatin1String("%' ESCAPE '\\'");
    }
    if (filter.isUse >= 0)
        text += QStringLiteral(" AND s.IsUse=%1").arg(filter.isUse);
    if (filter.customerId != 0)
        text += QStringLiteral(" AND c.CustomerID=%1").arg(filter.customerId);
    return text;
}

int countSerials(const QString &filter)
{
    const StoreCall call;
    return firstInt(QStringLiteral("SELECT COUNT(*) FROM SerialNumbers as s JOIN Customers as c "
                                   "ON c.CustomerID=s.CustomerID WHERE 1=1 ")
                        + filter,
                    {}, 0);
}

QList<SerialRecord> pageSerials(int pageIndex, int pageSize, const QString &filter)
{
    const StoreCall call;
    pageSize = rowLimit(pageSize);
    // The filter goes in verbatim; without one, the blanks around it are one blank.
    const QString order =
        QStringLiteral("ORDER BY s.SNID DESC LIMIT %1, %2").arg(qint64(pageIndex) * pageSize).arg(pageSize);
    return serialRows(kSerialSelect + QStringLiteral("WHERE 1=1 ")
                      + (filter.isEmpty() ? order : filter + QLatin1Char(' ') + order));
}

} // namespace oracle
