#include "logger/LogIdentifiers.h"

#include <cstddef>

#include "common/StringUtil.h"

namespace Telvar {

namespace {

struct IdentifierRow {
    int32_t id;
    const char* name;
    const char* key;
};

// Module identifiers of the product family. Rows are in identifier order.
const IdentifierRow moduleRows[] = {
    {0, "Core", "core"},
    {1, "Configuration", "configuration"},
    {2, "Logger", "logger"},
    {3, "Protocol", "protocol"},
    {4, "Time", "time"},
    {5, "Database", "database"},
    {6, "IPC", "ipc"},
    {7, "Scheduler", "scheduler"},
    {8, "TaskWarden", "taskwarden"},
    {9, "Ravlon", "ravlon"},
    {10, "Spooler", "spooler"},
    {11, "Transfer", "transfer"},
    {12, "Archive", "archive"},
    {13, "Report", "report"},
    {14, "Alarm", "alarm"},
    {15, "Console", "console"},
    {16, "License", "license"},
    {17, "Network", "network"},
    {18, "Inventory", "inventory"},
    {19, "Security", "security"},
    {20, "Registry", "registry"},
    {21, "Agent", "agent"},
    {22, "Collector", "collector"},
    {23, "EventLog", "eventlog"},
    {24, "DiskWatch", "diskwatch"},
    {25, "NetProbe", "netprobe"},
    {26, "ProcWatch", "procwatch"},
    {27, "ServiceWatch", "servicewatch"},
    {28, "SnmpProbe", "snmpprobe"},
    {29, "WebProbe", "webprobe"},
    {30, "MailProbe", "mailprobe"},
    {31, "SqlProbe", "sqlprobe"},
    {32, "Importer", "importer"},
    {33, "Exporter", "exporter"},
    {34, "Aggregator", "aggregator"},
    {35, "Threshold", "threshold"},
    {36, "Forecast", "forecast"},
    {37, "Capacity", "capacity"},
    {38, "Billing", "billing"},
    {39, "Gateway", "gateway"},
    {40, "Relay", "relay"},
    {41, "Deployer", "deployer"},
    {42, "Updater", "updater"},
    {43, "Installer", "installer"},
    {44, "Monitor", "monitor"},
    {45, "Dashboard", "dashboard"},
    {46, "Notifier", "notifier"},
    {47, "Pager", "pager"},
    {48, "Ticket", "ticket"},
    {49, "Audit", "audit"},
    {50, "Backup", "backup"},
    {51, "Replicator", "replicator"},
    {52, "Cleaner", "cleaner"},
    {53, "Compressor", "compressor"},
    {54, "Indexer", "indexer"},
    {55, "Query", "query"},
    {56, "Api", "api"},
    {57, "Tester", "tester"},
};

// Old catalogue files of the scheduler were named with this misspelling.
const IdentifierRow moduleAliases[] = {
    {7, "Scheduler", "sheduler"},
};

const IdentifierRow applicationRows[] = {
    {1, "Core", "core"},
    {2, "Console", "console"},
    {3, "Spooler", "spooler"},
    {4, "Transfer", "transfer"},
    {5, "Archive", "archive"},
    {6, "Report", "report"},
    {7, "TaskWarden", "taskwarden"},
    {8, "Ravlon", "ravlon"},
    {9, "EventLog", "eventlog"},
    {10, "DiskWatch", "diskwatch"},
    {11, "NetProbe", "netprobe"},
    {12, "ProcWatch", "procwatch"},
    {13, "ServiceWatch", "servicewatch"},
    {14, "SnmpProbe", "snmpprobe"},
    {15, "WebProbe", "webprobe"},
    {16, "MailProbe", "mailprobe"},
    {17, "SqlProbe", "sqlprobe"},
    {18, "Importer", "importer"},
    {19, "Exporter", "exporter"},
    {20, "Aggregator", "aggregator"},
    {21, "Forecast", "forecast"},
    {22, "Capacity", "capacity"},
    {23, "Billing", "billing"},
    {24, "Gateway", "gateway"},
    {25, "Relay", "relay"},
    {26, "Deployer", "deployer"},
    {27, "Updater", "updater"},
    {28, "Installer", "installer"},
    {29, "Dashboard", "dashboard"},
    {30, "Notifier", "notifier"},
    {31, "Pager", "pager"},
    {32, "Ticket", "ticket"},
    {33, "Audit", "audit"},
    {34, "Backup", "backup"},
    {35, "Replicator", "replicator"},
    {36, "Cleaner", "cleaner"},
    {37, "Compressor", "compressor"},
    {38, "Indexer", "indexer"},
    {39, "Scheduler", "scheduler"},
    {40, "Alarm", "alarm"},
    {41, "License", "license"},
    {42, "Inventory", "inventory"},
    {43, "Database", "database"},
    {44, "Monitor", "monitor"},
    {45, "Query", "query"},
    {46, "Api", "api"},
    {47, "Tester", "tester"},
    {48, "Collector", "collector"},
    {49, "Registry", "registry"},
};

template <size_t N>
const char* nameIn(const IdentifierRow (&rows)[N], int32_t id)
{
    for (const IdentifierRow& row : rows)
        if (row.id == id)
            return row.name;
    return "<<Unknown>>";
}

template <size_t N>
bool keyIn(const IdentifierRow (&rows)[N], const std::string& key, int32_t& id)
{
    for (const IdentifierRow& row : rows)
        if (key == row.key) {
            id = row.id;
            return true;
        }
    return false;
}

static_assert(sizeof(moduleRows) / sizeof(moduleRows[0]) == MODULE_COUNT, "module table size");
static_assert(sizeof(applicationRows) / sizeof(applicationRows[0]) == APPLICATION_COUNT,
              "application table size");

} // namespace

std::string moduleName(int32_t moduleId) { return nameIn(moduleRows, moduleId); }

int32_t parseModuleName(const std::string& name)
{
    std::string key = StringUtil::toLowerCopy(name);
    int32_t id = MODULE_UNKNOWN;
    if (keyIn(moduleRows, key, id) || keyIn(moduleAliases, key, id))
        return id;
    return MODULE_UNKNOWN;
}

std::string applicationName(int32_t applicationId) { return nameIn(applicationRows, applicationId); }

int32_t parseApplicationName(const std::string& name)
{
    std::string key = StringUtil::toLowerCopy(name);
    int32_t id = APPLICATION_UNKNOWN;
    if (keyIn(applicationRows, key, id))
        return id;
    return APPLICATION_UNKNOWN;
}

} // namespace Telvar
