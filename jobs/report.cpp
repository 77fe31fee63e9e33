// The report's tables from the hour counts.
#include "jobs/report.h"
