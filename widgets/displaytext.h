// Texts that come from outside (devices on the network, import files) are shown with
// control, format and bidirectional characters escaped as \uXXXX, so no reported text can
// reorder or hide what a row shows. The raw value stays with the row for writing.
#pragma once

#include <QString>

QString displayText(const QString &raw);
