#pragma once

// The HTTP client of the record export and the server of the scrape page
// live in a module loaded at their first use: the HTTP library and the TLS
// libraries under it take some 4 MiB of a collector's memory at start-up,
// which a collector that exports nothing would carry for nothing. The
// module is ravlon-http.so beside the program (a build tree), in lib/ravlon
// of its installation, or in RAVLON_MODULE_DIR when that is set (tests).
// The Windows build links it into the program (HttpModuleBuiltIn.cpp).

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Telvar {

// Requests over one connection, kept between them.
class HttpPoster {
public:
    struct Answer {
        int status = 0;     // 0: no answer, error says why
        std::string body;
        std::string error;
    };
    using Headers = std::vector<std::pair<std::string, std::string>>;
    virtual ~HttpPoster() = default;
    virtual Answer post(const std::string& target, const Headers& headers, const std::string& body,
                        const char* contentType) = 0;
};

// GET of one path, its page from a function; run() serves until stop().
class HttpPageServer {
public:
    struct Settings {
        int workers;
        int maxConnections;  // further ones wait in the listen queue
        int timeoutSeconds;
        size_t payloadMax;
    };
    // The page for a request's Accept header, with its content type.
    using Page = std::function<std::shared_ptr<const std::string>(const std::string& accept, const char*& type)>;
    virtual ~HttpPageServer() = default;
    virtual bool bind(const std::string& host, int port) = 0;
    virtual void run() = 0;
    virtual bool running() = 0;
    virtual void stop() = 0;
};

struct HttpModule {
    // Null when the library cannot reach that origin (https:// in a build without TLS).
    std::unique_ptr<HttpPoster> (*poster)(const std::string& origin, int timeoutSeconds);
    std::unique_ptr<HttpPageServer> (*pageServer)(const std::string& path, const HttpPageServer::Settings& settings,
                                                  HttpPageServer::Page page);
    std::string (*encodeQueryParameter)(const std::string& value);

    // The module, loaded at the first call; null when it cannot be (problem says why).
    static const HttpModule* get(std::string& problem);
};

} // namespace Telvar

// The one symbol the module exports.
extern "C" const Telvar::HttpModule* ravlonHttpModule();
