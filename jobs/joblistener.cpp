#include "jobs/joblistener.h"

namespace jobs {

JobListener::~JobListener() = default;

void JobListener::progress(qint64, qint64) {}

bool JobListener::cancelRequested()
{
    return false;
}

} // namespace jobs
