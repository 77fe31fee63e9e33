// Plain fixed-layout records that carry rows between the store and the pages.
// Text fields: UTF-8 bytes NUL-padded to the width (a full-width value has no NUL);
// fill and read them only through fixedfield.
#pragma once

#include <cstddef>
#include <cstdint>

struct SerialRecord {
    char customerName[32]; // query results: CustomerName; insertSerial: CustomerID as decimal text
    char serialNumber[48];
    std::int32_t isUse;
    char deviceType[32];
    char deviceSerialNum[48];
    char deviceIp[16];
};

struct CustomerRecord {
    std::int32_t customerId; // never filled; always 0
    char customerName[32];
    char customerValue[16];
    char hostAddr[128];
    std::int32_t port;
    std::int32_t svrChecked;
};

struct LogRecord {
    char logType[32];
    char logDescribe[256];
    char logDate[64]; // ignored by addLog, which stamps the time itself
};

static_assert(offsetof(SerialRecord, customerName) == 0, "SerialRecord layout");
static_assert(offsetof(SerialRecord, serialNumber) == 32, "SerialRecord layout");
static_assert(offsetof(SerialRecord, isUse) == 80, "SerialRecord layout");
static_assert(offsetof(SerialRecord, deviceType) == 84, "SerialRecord layout");
static_assert(offsetof(SerialRecord, deviceSerialNum) == 116, "SerialRecord layout");
static_assert(offsetof(SerialRecord, deviceIp) == 164, "SerialRecord layout");
static_assert(sizeof(SerialRecord) == 180, "SerialRecord layout");

static_assert(offsetof(CustomerRecord, customerId) == 0, "CustomerRecord layout");
static_assert(offsetof(CustomerRecord, customerName) == 4, "CustomerRecord layout");
static_assert(offsetof(CustomerRecord, customerValue) == 36, "CustomerRecord layout");
static_assert(offsetof(CustomerRecord, hostAddr) == 52, "CustomerRecord layout");
static_assert(offsetof(CustomerRecord, port) == 180, "CustomerRecord layout");
static_assert(offsetof(CustomerRecord, svrChecked) == 184, "CustomerRecord layout");
static_assert(sizeof(CustomerRecord) == 188, "CustomerRecord layout");

static_assert(offsetof(LogRecord, logType) == 0, "LogRecord layout");
static_assert(offsetof(LogRecord, logDescribe) == 32, "LogRecord layout");
static_assert(offsetof(LogRecord, logDate) == 288, "LogRecord layout");
static_assert(sizeof(LogRecord) == 352, "LogRecord layout");
