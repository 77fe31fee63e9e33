#pragma once

#include <QString>

class QApplication;

// Start-up after the application object exists: translation, login, main window,
// event loop. Returns the process exit code (0 after a rejected login).
int runTarnwell(QApplication &app);

// The first "*.qm" of ./language (or of the folder TARNWELL_LANGUAGE_DIR names) in
// case-insensitive name order, or an empty text.
QString chooseTranslation();
