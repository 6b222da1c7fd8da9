#include "ravlon/MetricsEndpoint.h"

#include <atomic>
#include <cstdlib>
#include <vector>

#include "common/DateTime.h"
#include "platform/Http.h"

namespace Telvar {

namespace {

constexpr int START_WAIT_MS = 2000;
const char* const TEXT_TYPE = "text/plain; version=0.0.4; charset=utf-8";
const char* const OPENMETRICS_TYPE = "application/openmetrics-text; version=1.0.0; charset=utf-8";

// A few workers; past the cap the listening thread serves the connection
// itself, so that further ones wait in the kernel's listen queue instead of
// piling up here.
class CappedQueue : public httplib::TaskQueue {
public:
    CappedQueue() : pool_(MetricsEndpoint::WORKERS) {}
    void enqueue(std::function<void()> fn) override
    {
        if (queued_.load() >= MetricsEndpoint::MAX_CONNECTIONS) {
            fn();
            return;
        }
        ++queued_;
        pool_.enqueue([this, fn] {
            fn();
            --queued_;
        });
    }
    void shutdown() override { pool_.shutdown(); }

private:
    httplib::ThreadPool pool_;
    std::atomic<int> queued_{0};
};

} // namespace

struct MetricsEndpoint::Server {
    httplib::Server http;
};

MetricsEndpoint::MetricsEndpoint()
    : text_(std::make_shared<const std::string>()),
      openMetrics_(std::make_shared<const std::string>("# EOF\n"))
{
}

MetricsEndpoint::~MetricsEndpoint() { stop(); }

bool MetricsEndpoint::splitListen(const std::string& listen, std::string& host, int& port)
{
    // A port alone is a port on loopback.
    size_t colon = listen.rfind(':');
    host = colon == std::string::npos || colon == 0 ? "127.0.0.1" : listen.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string digits = colon == std::string::npos ? listen : listen.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::atoi(digits.c_str());
    return port > 0 && port < 65536;
}

bool MetricsEndpoint::start(const std::string& listen, std::string& problem)
{
    std::string host;
    int port = 0;
    if (!splitListen(listen, host, port)) {
        problem = "ravlon.export.openmetrics.listen \"" + listen + "\" is not host:port";
        return false;
    }
    server_.reset(new Server);
    httplib::Server& http = server_->http;
    http.new_task_queue = [] { return new CappedQueue; };
    http.set_read_timeout(TIMEOUT_SECONDS, 0);
    http.set_write_timeout(TIMEOUT_SECONDS, 0);
    http.set_keep_alive_timeout(TIMEOUT_SECONDS);
    http.set_keep_alive_max_count(100);
    http.set_payload_max_length(4096);
    http.Get("/metrics", [this](const httplib::Request& request, httplib::Response& response) {
        const bool openMetrics = request.get_header_value("Accept").find("application/openmetrics-text") !=
                                 std::string::npos;
        std::shared_ptr<const std::string> body = page(openMetrics);
        response.set_content(*body, openMetrics ? OPENMETRICS_TYPE : TEXT_TYPE);
    });
    if (!http.bind_to_port(host.c_str(), port)) {
        problem = "cannot listen on " + listen;
        server_.reset();
        return false;
    }
    thread_ = std::thread([this] { server_->http.listen_after_bind(); });
    // A stop before the server runs would not reach it.
    for (int waited = 0; !server_->http.is_running() && waited < START_WAIT_MS; waited += 10)
        DateTime::sleepMilliseconds(10);
    return true;
}

void MetricsEndpoint::stop()
{
    if (server_)
        server_->http.stop();
    if (thread_.joinable())
        thread_.join();
    server_.reset();
}

void MetricsEndpoint::update(const RecordSample& sample)
{
    std::lock_guard<std::mutex> hold(lock_);
    latest_[sample.scheme] = sample;
    std::vector<RecordSample> samples;
    for (const auto& entry : latest_)
        samples.push_back(entry.second);
    text_ = std::make_shared<const std::string>(RecordLines::page(samples, false));
    openMetrics_ = std::make_shared<const std::string>(RecordLines::page(samples, true));
}

std::shared_ptr<const std::string> MetricsEndpoint::page(bool openMetrics) const
{
    std::lock_guard<std::mutex> hold(lock_);
    return openMetrics ? openMetrics_ : text_;
}

} // namespace Telvar
