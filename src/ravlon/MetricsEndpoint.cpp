#include "ravlon/MetricsEndpoint.h"

#include <atomic>
#include <cstdlib>
#include <vector>

#include "common/DateTime.h"
#include "ravlon/HttpModule.h"

namespace Telvar {

namespace {

constexpr int START_WAIT_MS = 2000;
const char* const TEXT_TYPE = "text/plain; version=0.0.4; charset=utf-8";
const char* const OPENMETRICS_TYPE = "application/openmetrics-text; version=1.0.0; charset=utf-8";

} // namespace

struct MetricsEndpoint::Server {
    std::unique_ptr<HttpPageServer> http;
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
    const HttpModule* module = HttpModule::get(problem);
    if (module == nullptr)
        return false;
    // A few workers; past MAX_CONNECTIONS the listening thread serves the
    // connection itself, so that further ones wait in the kernel's listen
    // queue instead of piling up here.
    const HttpPageServer::Settings settings{WORKERS, MAX_CONNECTIONS, TIMEOUT_SECONDS, 4096};
    server_.reset(new Server);
    server_->http = module->pageServer("/metrics", settings, [this](const std::string& accept, const char*& type) {
        const bool openMetrics = accept.find("application/openmetrics-text") != std::string::npos;
        type = openMetrics ? OPENMETRICS_TYPE : TEXT_TYPE;
        return page(openMetrics);
    });
    if (!server_->http->bind(host, port)) {
        problem = "cannot listen on " + listen;
        server_.reset();
        return false;
    }
    thread_ = std::thread([this] { server_->http->run(); });
    // A stop before the server runs would not reach it.
    for (int waited = 0; !server_->http->running() && waited < START_WAIT_MS; waited += 10)
        DateTime::sleepMilliseconds(10);
    return true;
}

void MetricsEndpoint::stop()
{
    if (server_)
        server_->http->stop();
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
