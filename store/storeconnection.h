// The calling thread's raw connection and query. Only the store's own files, the merge
// tool's statements and tests that read or change the pool behind the store use them;
// everything else goes through store/datastore.h.
#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>

extern thread_local QSqlDatabase storeDatabase;
extern thread_local QSqlQuery storeQuery;
