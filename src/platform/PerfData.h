#pragma once

// Performance data in the terms of the Windows Performance Data Helper:
// queries, counters added by path, collections and formatted values, PDH
// status codes, and the published English name table.
//
// Everything goes through the process-wide provider (perfData()), which is
// the system backend unless a test installs its own.

#include <cstdint>
#include <string>
#include <vector>

namespace Telvar {
namespace Platform {

using PdhStatus = uint32_t;
using PdhHandle = uintptr_t;  // query or counter handle; 0 is null

constexpr PdhHandle PDH_NULL_HANDLE = 0;
// A handle value the add call may return on failure.
constexpr PdhHandle PDH_BAD_HANDLE_VALUE = 0xFFFFFFFFu;

// Formats of getFormattedValue.
constexpr uint32_t PDH_FMT_LONG = 0x00000100;
constexpr uint32_t PDH_FMT_DOUBLE = 0x00000200;
constexpr uint32_t PDH_FMT_LARGE = 0x00000400;
constexpr uint32_t PDH_FMT_NOCAP100 = 0x00008000;

// Counter types (the dwType of a counter's information), built from the
// bit fields of the Windows SDK's winperf.h.
constexpr uint32_t PERF_SIZE_LARGE = 0x00000100;
constexpr uint32_t PERF_TYPE_MASK = 0x00000C00;
constexpr uint32_t PERF_TYPE_COUNTER = 0x00000400;
constexpr uint32_t PERF_SUBTYPE_MASK = 0x000F0000;
constexpr uint32_t PERF_COUNTER_RATE = 0x00010000;
constexpr uint32_t PERF_COUNTER_FRACTION = 0x00020000;
constexpr uint32_t PERF_COUNTER_QUEUELEN = 0x00050000;
constexpr uint32_t PERF_COUNTER_PRECISION = 0x00070000;
constexpr uint32_t PERF_DISPLAY_MASK = 0xF0000000;
constexpr uint32_t PERF_DISPLAY_PERCENT = 0x20000000;
constexpr uint32_t PERF_COUNTER_COUNTER = 0x10410400;
constexpr uint32_t PERF_COUNTER_BULK_COUNT = 0x10410500;
constexpr uint32_t PERF_COUNTER_RAWCOUNT = 0x00010000;
constexpr uint32_t PERF_COUNTER_LARGE_RAWCOUNT = 0x00010100;
constexpr uint32_t PERF_RAW_FRACTION = 0x20020400;
constexpr uint32_t PERF_AVERAGE_TIMER = 0x30020400;
constexpr uint32_t PERF_AVERAGE_BULK = 0x40020500;
constexpr uint32_t PERF_100NSEC_TIMER = 0x20510500;
constexpr uint32_t PERF_100NSEC_TIMER_INV = 0x21510500;
constexpr uint32_t PERF_PRECISION_100NS_TIMER = 0x20570500;
constexpr uint32_t PERF_COUNTER_100NS_QUEUELEN_TYPE = 0x00550500;
constexpr uint32_t PERF_ELAPSED_TIME = 0x30240500;

// True for a counter type whose value is a fraction: a ratio, an average,
// a queue length averaged over time or a timer. Such values are read as
// doubles; counts and rates of counts are whole numbers.
constexpr bool isFractionCounterType(uint32_t type)
{
    if ((type & PERF_TYPE_MASK) != PERF_TYPE_COUNTER)
        return false;
    const uint32_t sub = type & PERF_SUBTYPE_MASK;
    if (sub == PERF_COUNTER_FRACTION || sub == PERF_COUNTER_QUEUELEN || sub == PERF_COUNTER_PRECISION)
        return true;
    return sub == PERF_COUNTER_RATE && (type & PERF_DISPLAY_MASK) == PERF_DISPLAY_PERCENT;
}

// Win32 error codes met on the name-table path.
constexpr uint32_t PERF_ERROR_SUCCESS = 0;
constexpr uint32_t PERF_ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t PERF_ERROR_ACCESS_DENIED = 5;
constexpr uint32_t PERF_ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t PERF_ERROR_MORE_DATA = 234;

// PDH status codes (values of the Windows SDK's pdhmsg.h).
constexpr PdhStatus PDH_CSTATUS_VALID_DATA = 0x00000000;
constexpr PdhStatus PDH_CSTATUS_NEW_DATA = 0x00000001;
constexpr PdhStatus PDH_CSTATUS_NO_MACHINE = 0x800007D0;
constexpr PdhStatus PDH_CSTATUS_NO_INSTANCE = 0x800007D1;
constexpr PdhStatus PDH_MORE_DATA = 0x800007D2;
constexpr PdhStatus PDH_CSTATUS_ITEM_NOT_VALIDATED = 0x800007D3;
constexpr PdhStatus PDH_RETRY = 0x800007D4;
constexpr PdhStatus PDH_NO_DATA = 0x800007D5;
constexpr PdhStatus PDH_CALC_NEGATIVE_DENOMINATOR = 0x800007D6;
constexpr PdhStatus PDH_CALC_NEGATIVE_TIMEBASE = 0x800007D7;
constexpr PdhStatus PDH_CALC_NEGATIVE_VALUE = 0x800007D8;
constexpr PdhStatus PDH_DIALOG_CANCELLED = 0x800007D9;
constexpr PdhStatus PDH_END_OF_LOG_FILE = 0x800007DA;
constexpr PdhStatus PDH_ASYNC_QUERY_TIMEOUT = 0x800007DB;
constexpr PdhStatus PDH_CANNOT_SET_DEFAULT_REALTIME_DATASOURCE = 0x800007DC;
constexpr PdhStatus PDH_CSTATUS_NO_OBJECT = 0xC0000BB8;
constexpr PdhStatus PDH_CSTATUS_NO_COUNTER = 0xC0000BB9;
constexpr PdhStatus PDH_CSTATUS_INVALID_DATA = 0xC0000BBA;
constexpr PdhStatus PDH_MEMORY_ALLOCATION_FAILURE = 0xC0000BBB;
constexpr PdhStatus PDH_INVALID_HANDLE = 0xC0000BBC;
constexpr PdhStatus PDH_INVALID_ARGUMENT = 0xC0000BBD;
constexpr PdhStatus PDH_FUNCTION_NOT_FOUND = 0xC0000BBE;
constexpr PdhStatus PDH_CSTATUS_NO_COUNTERNAME = 0xC0000BBF;
constexpr PdhStatus PDH_CSTATUS_BAD_COUNTERNAME = 0xC0000BC0;
constexpr PdhStatus PDH_INVALID_BUFFER = 0xC0000BC1;
constexpr PdhStatus PDH_INSUFFICIENT_BUFFER = 0xC0000BC2;
constexpr PdhStatus PDH_CANNOT_CONNECT_MACHINE = 0xC0000BC3;
constexpr PdhStatus PDH_INVALID_PATH = 0xC0000BC4;
constexpr PdhStatus PDH_INVALID_INSTANCE = 0xC0000BC5;
constexpr PdhStatus PDH_INVALID_DATA = 0xC0000BC6;
constexpr PdhStatus PDH_NO_DIALOG_DATA = 0xC0000BC7;
constexpr PdhStatus PDH_CANNOT_READ_NAME_STRINGS = 0xC0000BC8;
constexpr PdhStatus PDH_LOG_FILE_CREATE_ERROR = 0xC0000BC9;
constexpr PdhStatus PDH_LOG_FILE_OPEN_ERROR = 0xC0000BCA;
constexpr PdhStatus PDH_LOG_TYPE_NOT_FOUND = 0xC0000BCB;
constexpr PdhStatus PDH_NO_MORE_DATA = 0xC0000BCC;
constexpr PdhStatus PDH_ENTRY_NOT_IN_LOG_FILE = 0xC0000BCD;
constexpr PdhStatus PDH_DATA_SOURCE_IS_LOG_FILE = 0xC0000BCE;
constexpr PdhStatus PDH_DATA_SOURCE_IS_REAL_TIME = 0xC0000BCF;
constexpr PdhStatus PDH_UNABLE_READ_LOG_HEADER = 0xC0000BD0;
constexpr PdhStatus PDH_FILE_NOT_FOUND = 0xC0000BD1;
constexpr PdhStatus PDH_FILE_ALREADY_EXISTS = 0xC0000BD2;
constexpr PdhStatus PDH_NOT_IMPLEMENTED = 0xC0000BD3;
constexpr PdhStatus PDH_STRING_NOT_FOUND = 0xC0000BD4;
constexpr PdhStatus PDH_UNABLE_MAP_NAME_FILES = 0x80000BD5;
constexpr PdhStatus PDH_UNKNOWN_LOG_FORMAT = 0xC0000BD6;
constexpr PdhStatus PDH_UNKNOWN_LOGSVC_COMMAND = 0xC0000BD7;
constexpr PdhStatus PDH_LOGSVC_QUERY_NOT_FOUND = 0xC0000BD8;
constexpr PdhStatus PDH_LOGSVC_NOT_OPENED = 0xC0000BD9;
constexpr PdhStatus PDH_WBEM_ERROR = 0xC0000BDA;
constexpr PdhStatus PDH_ACCESS_DENIED = 0xC0000BDB;
constexpr PdhStatus PDH_LOG_FILE_TOO_SMALL = 0xC0000BDC;
constexpr PdhStatus PDH_INVALID_DATASOURCE = 0xC0000BDD;
constexpr PdhStatus PDH_INVALID_SQLDB = 0xC0000BDE;
constexpr PdhStatus PDH_NO_COUNTERS = 0xC0000BDF;
constexpr PdhStatus PDH_SQL_ALLOC_FAILED = 0xC0000BE0;
constexpr PdhStatus PDH_SQL_ALLOCCON_FAILED = 0xC0000BE1;
constexpr PdhStatus PDH_SQL_EXEC_DIRECT_FAILED = 0xC0000BE2;
constexpr PdhStatus PDH_SQL_FETCH_FAILED = 0xC0000BE3;
constexpr PdhStatus PDH_SQL_ROWCOUNT_FAILED = 0xC0000BE4;
constexpr PdhStatus PDH_SQL_MORE_RESULTS_FAILED = 0xC0000BE5;
constexpr PdhStatus PDH_SQL_CONNECT_FAILED = 0xC0000BE6;
constexpr PdhStatus PDH_SQL_BIND_FAILED = 0xC0000BE7;
constexpr PdhStatus PDH_CANNOT_CONNECT_WMI_SERVER = 0xC0000BE8;
constexpr PdhStatus PDH_PLA_COLLECTION_ALREADY_RUNNING = 0xC0000BE9;
constexpr PdhStatus PDH_PLA_ERROR_SCHEDULE_OVERLAP = 0xC0000BEA;
constexpr PdhStatus PDH_PLA_COLLECTION_NOT_FOUND = 0xC0000BEB;
constexpr PdhStatus PDH_PLA_ERROR_SCHEDULE_ELAPSED = 0xC0000BEC;
constexpr PdhStatus PDH_PLA_ERROR_NOSTART = 0xC0000BED;
constexpr PdhStatus PDH_PLA_ERROR_ALREADY_EXISTS = 0xC0000BEE;
constexpr PdhStatus PDH_PLA_ERROR_TYPE_MISMATCH = 0xC0000BEF;
constexpr PdhStatus PDH_PLA_ERROR_FILEPATH = 0xC0000BF0;
constexpr PdhStatus PDH_PLA_SERVICE_ERROR = 0xC0000BF1;
constexpr PdhStatus PDH_PLA_VALIDATION_ERROR = 0xC0000BF2;
constexpr PdhStatus PDH_PLA_VALIDATION_WARNING = 0x80000BF3;
constexpr PdhStatus PDH_PLA_ERROR_NAME_TOO_LONG = 0xC0000BF4;
constexpr PdhStatus PDH_INVALID_SQL_LOG_FORMAT = 0xC0000BF5;
constexpr PdhStatus PDH_COUNTER_ALREADY_IN_QUERY = 0xC0000BF6;

// One formatted value with its own status, as PDH_FMT_COUNTERVALUE.
struct PdhFmtCounterValue {
    PdhStatus cStatus = PDH_CSTATUS_INVALID_DATA;
    double doubleValue = 0.0;  // set for PDH_FMT_DOUBLE
    int64_t largeValue = 0;    // set for PDH_FMT_LARGE
    int32_t longValue = 0;     // set for PDH_FMT_LONG
};

// The performance-data functions the collector uses. Rate counters need two
// collections before their first valid value; a counter whose instance has
// gone away reports PDH_CSTATUS_NO_INSTANCE until the instance comes back.
// As with PDH, a value without valid data makes getFormattedValue answer
// PDH_INVALID_DATA with the reason in the value's cStatus. A handle the
// provider did not give out, or one closed since (a counter goes with its
// query), gets PDH_INVALID_HANDLE.
class PerfDataProvider {
public:
    virtual ~PerfDataProvider() = default;

    virtual PdhStatus openQuery(PdhHandle& query) = 0;
    virtual PdhStatus closeQuery(PdhHandle query) = 0;
    // path is "\Object(instance)\Counter" or "\Object\Counter", optionally
    // preceded by "\\machine". On failure counter is set to null.
    virtual PdhStatus addCounter(PdhHandle query, const std::string& path, uintptr_t userData,
                                 PdhHandle& counter) = 0;
    virtual PdhStatus removeCounter(PdhHandle counter) = 0;
    virtual PdhStatus collectQueryData(PdhHandle query) = 0;
    // format is PDH_FMT_DOUBLE, PDH_FMT_LARGE or PDH_FMT_LONG, optionally with
    // PDH_FMT_NOCAP100; type (may be null) receives the counter's type word.
    virtual PdhStatus getFormattedValue(PdhHandle counter, uint32_t format, uint32_t* type,
                                        PdhFmtCounterValue& value) = 0;
    // The counter's type (a PERF_* counter type above), known as soon as the
    // counter is added, as PdhGetCounterInfo's dwType.
    virtual PdhStatus getCounterType(PdhHandle counter, uint32_t& type) = 0;

    // Name of a name-table index in the current language. size is the
    // buffer's size in bytes; on PDH_MORE_DATA it is set to the size needed
    // (terminating NUL included) and the buffer is left alone.
    virtual PdhStatus lookupNameByIndex(const char* machine, uint32_t index, char* buffer,
                                        uint32_t& size) = 0;

    // Raw bytes of the English name table ("Counter 009"): NUL-terminated
    // decimal index and name strings in turn, ending with an empty string.
    // Answers a Win32 error code; PERF_ERROR_MORE_DATA sets size to the size
    // needed and leaves the buffer alone.
    virtual uint32_t englishNameTable(char* buffer, uint32_t& size) = 0;

    // System message text of a Win32 error code returned above.
    virtual std::string errorText(uint32_t error);

    // Browsing, as PdhEnumObjects / PdhEnumObjectItems.
    virtual PdhStatus enumObjects(std::vector<std::string>& objects) = 0;
    virtual PdhStatus enumObjectItems(const std::string& object, std::vector<std::string>& counters,
                                      std::vector<std::string>& instances) = 0;
};

// The provider in use; the system backend unless one was installed.
PerfDataProvider& perfData();
// Installs a provider (not owned); nullptr goes back to the system backend.
void setPerfDataProvider(PerfDataProvider* provider);
// The system backend itself, whatever is installed.
PerfDataProvider& systemPerfData();

// The calling thread's last system error as a Win32 error number (on
// systems with errno, its Win32 counterpart).
uint32_t pdhLastError();

} // namespace Platform
} // namespace Telvar
