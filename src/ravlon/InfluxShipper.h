#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "common/SmartPointer.h"
#include "ravlon/ExportSpool.h"
#include "ravlon/HttpModule.h"

namespace Telvar {

class LoggerUnit;

// Sends the export spool to an engine that takes InfluxDB line protocol
// (InfluxDB, VictoriaMetrics), in order, from its own thread. The cursor
// moves only after a 2xx answer; a refused connection or a 5xx is tried
// again after a pause that doubles up to a minute (with jitter, so that a
// fleet does not come back in step), and so are 401, 403, 404, 407, 408
// and 429, which say the address, the credentials or the load is wrong,
// not the records; any other 4xx is logged with the engine's text and its
// batch set aside, since sending it again would fail again.
class InfluxShipper {
public:
    struct Settings {
        std::string url;          // "http://host:port/path", a query allowed
        std::string database;     // "db" parameter; empty: none
        std::string token;        // "Authorization: Token ..."; empty: none
        int32_t timeoutSeconds = 10;
        uint64_t spoolLimit = 64ull << 20;
    };
    // Numbered messages of the Ravlon module sent here.
    static constexpr int32_t MSG_REFUSED = 70;      // error: url, records, engine text, file
    static constexpr int32_t MSG_SPOOL_FULL = 71;   // error: dropped now, dropped since the start
    static constexpr int32_t MSG_UNREACHABLE = 72;  // warning: url, reason
    static constexpr int32_t MSG_EXPORT = 74;       // error: the problem
    static constexpr int32_t MSG_NOT_SPOOLED = 75;  // error: spool file

    static constexpr size_t BATCH_BYTES = 512 * 1024;
    static constexpr int32_t MAX_BACKOFF_SECONDS = 60;

    InfluxShipper(const Settings& settings, const std::string& workingDirectory,
                  const SmartPointer<LoggerUnit>& unit);
    InfluxShipper(const InfluxShipper&) = delete;
    InfluxShipper& operator=(const InfluxShipper&) = delete;
    ~InfluxShipper();

    // Checks the URL, opens the spool and starts the thread; false (problem
    // says why) when the export cannot work.
    bool start(std::string& problem);
    // Ends the thread; a request under way ends within the timeout.
    void stop();
    // Commits a record's lines to the spool; the thread sends them.
    void add(const std::string& lines);

    // "http://host:port/path?query" (or https) into origin and the rest;
    // false when it is not such a URL.
    static bool splitUrl(const std::string& url, std::string& origin, std::string& path);

private:
    void run();
    // Until add() has committed a record or stop() was called; false then.
    bool waitForRecords();
    // One attempt at the next batch: 0 nothing to send, 1 sent or set
    // aside, -1 to be tried again later.
    int shipOnce();
    void pause(int32_t seconds);

    const Settings settings_;
    SmartPointer<LoggerUnit> unit_;
    ExportSpool spool_;
    std::string origin_;
    std::string path_;
    std::atomic<bool> stopping_{false};
    std::mutex wakeLock_;
    std::condition_variable wake_;
    bool added_ = true;  // GUARDED_BY(wakeLock_): the spool may hold records
    std::atomic<uint64_t> droppedTotal_{0};
    bool unreachable_ = false;  // only the thread's
    const HttpModule* http_ = nullptr;
    std::unique_ptr<HttpPoster> client_;  // only the thread's
    std::thread thread_;
};

} // namespace Telvar
