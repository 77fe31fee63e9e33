#include "shell/stationnotice.h"

#include "widgets/messagebox.h"

#include <QCoreApplication>

bool stationNoticesAllowStart()
{
    const QString folder = qEnvironmentVariable("TARNWELL_STATION_DIR");
    const QString refused = qEnvironmentVariable("TARNWELL_STATION_REFUSED");
    if (!refused.isEmpty()) {
        const QString group = qEnvironmentVariable("TARNWELL_STATION_GROUP");
        const QString user = qEnvironmentVariable("TARNWELL_STATION_USER");
        // A member of the group since this login keeps the groups it started with.
        MessageBox::critical(
            nullptr, QCoreApplication::translate("Tarnwell", "Error"),
            refused == QLatin1String("relogin")
                ? QCoreApplication::translate(
                      "Tarnwell",
                      "Your account %1 was added to the group %2, which may use this station's pool in %3, after "
                      "you logged in. Log out and log in again to use it. Tarnwell closes.")
                      .arg(user, group, folder)
                : QCoreApplication::translate(
                      "Tarnwell",
                      "This station keeps its pool in %1, which only the members of the group %2 may use, and "
                      "your account %3 is not one of them. Ask the administrator of this PC to add you:\n\n"
                      "sudo adduser %3 %2\n\nthen log out and log in again. Tarnwell closes.")
                      .arg(folder, group, user));
        return false;
    }
    const QString settings = qEnvironmentVariable("TARNWELL_OLD_SETTINGS");
    if (!settings.isEmpty()) {
        // Started without them, the station would burn from a pool of its own beside the
        // line's.
        MessageBox::critical(nullptr, QCoreApplication::translate("Tarnwell", "Error"),
                             QCoreApplication::translate(
                                 "Tarnwell",
                                 "Your own folder holds settings %1 (for example the line's server), but this "
                                 "station's folder %2 has none, so Tarnwell would start on a pool of its own. Put "
                                 "them there for every operator of this PC:\n\ninstall -m 660 %1 %2/\n\nTarnwell "
                                 "closes.")
                                 .arg(settings, folder));
        return false;
    }
    const QString oldPool = qEnvironmentVariable("TARNWELL_OLD_POOL");
    if (!oldPool.isEmpty()) {
        MessageBox::warning(nullptr, QCoreApplication::translate("Tarnwell", "Warning"),
                            QCoreApplication::translate(
                                "Tarnwell",
                                "An earlier version kept a pool of your own in %1; it was left as it is. This "
                                "station now keeps one pool for all its operators in %2. To bring its "
                                "identifiers and log over, close Tarnwell and run in a terminal:\n\n%3\n\nThen "
                                "move %1 out of its folder, keeping it as a copy; until then this note comes at "
                                "every start.")
                                .arg(oldPool, folder, qEnvironmentVariable("TARNWELL_MERGE_COMMAND")));
    }
    return true;
}
