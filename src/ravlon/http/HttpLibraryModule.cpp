// The HTTP module over cpp-httplib: built as ravlon-http.so and loaded by
// HttpModule::get at the first export or scrape page, so that the library
// and OpenSSL under it are not mapped into a collector that needs neither.
// The Windows build has it inside the program.

#include <atomic>
#include <exception>
#include <memory>

#include "platform/Http.h"
#include "ravlon/HttpModule.h"

namespace Telvar {
namespace {

class LibraryPoster : public HttpPoster {
public:
    LibraryPoster(const std::string& origin, int timeoutSeconds) : client_(origin)
    {
        client_.set_connection_timeout(timeoutSeconds);
        client_.set_read_timeout(timeoutSeconds);
        client_.set_write_timeout(timeoutSeconds);
        client_.set_keep_alive(true);
    }

    Answer post(const std::string& target, const Headers& headers, const std::string& body,
                const char* contentType) override
    {
        httplib::Headers sent(headers.begin(), headers.end());
        httplib::Result result = client_.Post(target.c_str(), sent, body, contentType);
        Answer answer;
        if (result) {
            answer.status = result->status;
            answer.body = result->body;
        } else {
            answer.error = httplib::to_string(result.error());
        }
        return answer;
    }

private:
    httplib::Client client_;
};

// A few workers; past the cap the listening thread serves the connection
// itself, so that further ones wait in the kernel's listen queue instead of
// piling up here.
class CappedQueue : public httplib::TaskQueue {
public:
    CappedQueue(int workers, int cap) : pool_(static_cast<size_t>(workers)), cap_(cap) {}
    void enqueue(std::function<void()> fn) override
    {
        if (queued_.load() >= cap_) {
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
    const int cap_;
    std::atomic<int> queued_{0};
};

class LibraryPageServer : public HttpPageServer {
public:
    LibraryPageServer(const std::string& path, const Settings& settings, Page page)
    {
        const int workers = settings.workers, cap = settings.maxConnections;
        http_.new_task_queue = [workers, cap] { return new CappedQueue(workers, cap); };
        http_.set_read_timeout(settings.timeoutSeconds, 0);
        http_.set_write_timeout(settings.timeoutSeconds, 0);
        http_.set_keep_alive_timeout(settings.timeoutSeconds);
        http_.set_keep_alive_max_count(100);
        http_.set_payload_max_length(settings.payloadMax);
        http_.Get(path, [page](const httplib::Request& request, httplib::Response& response) {
            const char* type = "";
            std::shared_ptr<const std::string> body = page(request.get_header_value("Accept"), type);
            response.set_content(*body, type);
        });
    }

    bool bind(const std::string& host, int port) override { return http_.bind_to_port(host.c_str(), port); }
    void run() override { http_.listen_after_bind(); }
    bool running() override { return http_.is_running(); }
    void stop() override { http_.stop(); }

private:
    httplib::Server http_;
};

std::unique_ptr<HttpPoster> newPoster(const std::string& origin, int timeoutSeconds)
{
    // The library throws on a scheme it was built without (https:// without TLS).
    try {
        return std::unique_ptr<HttpPoster>(new LibraryPoster(origin, timeoutSeconds));
    } catch (const std::exception&) {
        return nullptr;
    }
}

std::unique_ptr<HttpPageServer> newPageServer(const std::string& path, const HttpPageServer::Settings& settings,
                                              HttpPageServer::Page page)
{
    return std::unique_ptr<HttpPageServer>(new LibraryPageServer(path, settings, std::move(page)));
}

std::string encodeQueryParameter(const std::string& value) { return httplib::detail::encode_query_param(value); }

} // namespace
} // namespace Telvar

extern "C" RAVLON_MODULE_EXPORT const Telvar::HttpModule* ravlonHttpModule()
{
    static const Telvar::HttpModule module{Telvar::newPoster, Telvar::newPageServer, Telvar::encodeQueryParameter};
    return &module;
}
