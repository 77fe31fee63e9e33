#pragma once

// What the package's launcher found about the station folder before it started the
// program (environment), said in boxes: one started from the desktop has no terminal to
// read the launcher's words in. False when the program must close at once.
bool stationNoticesAllowStart();
