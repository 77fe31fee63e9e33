#include "admin/admin.h"

namespace admin {

int setupServer(const QStringList &)
{
    return printError(QStringLiteral("setup-server is not built yet"));
}

} // namespace admin
