#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ravlon/RecordLines.h"

namespace Telvar {

// GET /metrics on its own listening thread and a few workers: the latest
// record of every scheme, as Prometheus text or OpenMetrics when the Accept
// header asks for it. The page is built once per record, not per request;
// reads and writes time out, and past MAX_CONNECTIONS a connection waits
// in the listen queue, so no client can hold the collector's threads or
// grow its memory.
class MetricsEndpoint {
public:
    static constexpr int WORKERS = 4;
    static constexpr int MAX_CONNECTIONS = 16;
    static constexpr int TIMEOUT_SECONDS = 5;

    MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;
    ~MetricsEndpoint();

    // listen is "host:port" ("[::1]:9473" for IPv6; a port alone is on
    // 127.0.0.1); false (problem says why) when it is malformed or the
    // address cannot be bound.
    bool start(const std::string& listen, std::string& problem);
    void stop();
    // A scheme's new record replaces its last one on the page.
    void update(const RecordSample& sample);

    // The pages as served now.
    std::shared_ptr<const std::string> page(bool openMetrics) const;

    static bool splitListen(const std::string& listen, std::string& host, int& port);

private:
    struct Server;
    std::unique_ptr<Server> server_;
    std::thread thread_;
    mutable std::mutex lock_;
    std::map<std::string, RecordSample> latest_;          // GUARDED_BY(lock_)
    std::shared_ptr<const std::string> text_;             // GUARDED_BY(lock_)
    std::shared_ptr<const std::string> openMetrics_;      // GUARDED_BY(lock_)
};

} // namespace Telvar
