#include "shell/app.h"

#include <QApplication>
#include <QFontDatabase>

#include <cstdio>
#include <cstdlib>

namespace {

// Qt aborts with a terse message when there is no display; tell the operator what to do.
bool displayAvailable()
{
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform)
        return true;
    const char *display = std::getenv("DISPLAY");
    const char *wayland = std::getenv("WAYLAND_DISPLAY");
    return (display && *display) || (wayland && *wayland);
}

} // namespace

int main(int argc, char *argv[])
{
    if (!displayAvailable()) {
        std::fprintf(stderr,
                     "tarnwell: no display found (DISPLAY is not set).\n"
                     "Run it on a desktop session, or under a virtual X server:\n"
                     "  xvfb-run -a -s '-screen 0 1280x800x24' ./tarnwell\n");
        return 1;
    }
    QApplication app(argc, argv);
    // The fixed-size forms are laid out for a compact sans of Arial's metrics; the wide
    // default sans of a Linux desktop would cut labels such as "Login Name".
    if (QFontDatabase().families().contains(QStringLiteral("Liberation Sans"))) {
        QFont font(QStringLiteral("Liberation Sans"));
        font.setPointSizeF(8.5);
        app.setFont(font);
    }
    return runTarnwell(app);
}
