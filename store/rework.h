// Rework of devices that come back holding an identifier: keep it, replace it, or free a
// pending one its device does not hold. Part of the store's public face (datastore.h
// includes it). Each change is one transaction with its log row and its events.
#pragma once

#include <QString>
