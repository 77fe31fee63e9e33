#include "shell/app.h"

#include "shell/login.h"
#include "shell/tarnwell.h"

#include "widgets/messagebox.h"
#include <QApplication>

#include <QCoreApplication>
#include <QDir>
#include <QLockFile>
#include <QTranslator>

QString chooseTranslation()
{
    const QFileInfoList files = QDir(QStringLiteral("./language")).entryInfoList({QStringLiteral("*.qm")});
    return files.isEmpty() ? QString() : files.first().filePath();
}

int runTarnwell(QApplication &app)
{
    QTranslator translator;
    const QString file = chooseTranslation();
    if (!file.isEmpty()) {
        translator.load(file);
        app.installTranslator(&translator);
    }

    // One program per pool file: a second one would hand out the same identifiers. The
    // lock dies with the process, so a crash leaves nothing to clean up.
    QLockFile poolLock(QStringLiteral("mydatabase.db.lock"));
    poolLock.setStaleLockTime(0);
    if (!poolLock.tryLock(0)) {
        MessageBox::warning(nullptr, QCoreApplication::translate("Tarnwell", "Warning"),
                            QCoreApplication::translate("Tarnwell",
                                                        "Tarnwell is already running in this folder. "
                                                        "Use that window; this one closes."));
        app.removeTranslator(&translator);
        return 0;
    }

    Login login;
    if (login.exec() != QDialog::Accepted) {
        app.removeTranslator(&translator);
        return 0;
    }

    int code;
    {
        Tarnwell window;
        window.show();
        code = app.exec();
    }
    app.removeTranslator(&translator);
    return code;
}
