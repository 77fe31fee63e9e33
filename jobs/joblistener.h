// What every job (import, export, Burn pass, station merge) shares: it runs without
// widgets, takes its input up front, and tells a listener what happened instead of showing
// a box. A page is one such listener; a test or a console tool is another.
#pragma once

#include <QtGlobal>

namespace jobs {

class JobListener {
public:
    virtual ~JobListener();
    // `done` of `total` units of the job's work (rows, devices, bytes); total 0 when unknown.
    virtual void progress(qint64 done, qint64 total);
    // Asked between units: true ends the job at the next safe point (nothing half-written).
    virtual bool cancelRequested();
};

} // namespace jobs
