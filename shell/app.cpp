#include "shell/app.h"

#include "shell/login.h"
#include "shell/tarnwell.h"

#include <QApplication>
#include <QDir>
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

    Login login;
    if (login.exec() != QDialog::Accepted)
        return 0;

    int code;
    {
        Tarnwell window;
        window.show();
        code = app.exec();
    }
    app.removeTranslator(&translator);
    return code;
}
