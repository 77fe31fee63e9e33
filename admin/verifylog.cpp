#include "admin/admin.h"

namespace admin {

int verifyLog(const QStringList &)
{
    return printError(QStringLiteral("verify-log is not built yet"));
}

} // namespace admin
