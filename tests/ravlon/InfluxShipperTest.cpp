// The shipper against a stand-in engine on loopback: what it answers decides
// whether a batch is tried again, set aside or done with.

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logger/LoggerUnit.h"
#include "platform/Http.h"
#include "platform/Process.h"
#include "ravlon/InfluxShipper.h"
#include "ravlon/MetricsEndpoint.h"
#include "support/TempDir.h"
#include "support/Waiting.h"

using namespace Telvar;
using Telvar::Testing::TempDir;

namespace {

// The shipper's HTTP module, as built beside the collector.
void useBuiltModule() { Platform::setEnvironmentVariable("RAVLON_MODULE_DIR", BUILD_DIR); }

} // namespace

TEST(InfluxShipperTest, AddressesAreTakenApartOrRefused)
{
    struct Row {
        const char* url;
        bool ok;
        const char* origin;
        const char* path;
    } rows[] = {
        {"http://127.0.0.1:8428/write", true, "http://127.0.0.1:8428", "/write"},
        {"https://influx.example:8086/api/v2/write?org=o&bucket=b", true, "https://influx.example:8086",
         "/api/v2/write?org=o&bucket=b"},
        {"http://127.0.0.1:8428", true, "http://127.0.0.1:8428", "/write"},
        {"ftp://127.0.0.1/write", false, "", ""},
        {"http:///write", false, "", ""},
        {"http://host/wri te", false, "", ""},
    };
    for (const Row& row : rows) {
        std::string origin, path;
        EXPECT_EQ(row.ok, InfluxShipper::splitUrl(row.url, origin, path)) << row.url;
        if (row.ok) {
            EXPECT_EQ(row.origin, origin) << row.url;
            EXPECT_EQ(row.path, path) << row.url;
        }
    }
    struct Listen {
        const char* text;
        bool ok;
        const char* host;
        int port;
    } listens[] = {
        {"127.0.0.1:9473", true, "127.0.0.1", 9473},
        {"9473", true, "127.0.0.1", 9473},
        {"[::1]:9473", true, "::1", 9473},
        {"0.0.0.0:99999", false, "", 0},
        {"host:", false, "", 0},
    };
    for (const Listen& l : listens) {
        std::string host;
        int port = 0;
        EXPECT_EQ(l.ok, MetricsEndpoint::splitListen(l.text, host, port)) << l.text;
        if (l.ok) {
            EXPECT_EQ(l.host, host) << l.text;
            EXPECT_EQ(l.port, port) << l.text;
        }
    }
}

TEST(InfluxShipperTest, AnOutageIsWaitedOutAndARefusedBatchSetAside)
{
    // The engine is away (503), then wants credentials (401: the operator
    // mends that, the batch waits), then refuses the batch (400), then
    // takes everything.
    useBuiltModule();
    std::mutex lock;
    std::vector<std::string> bodies;
    std::vector<std::string> targets;
    httplib::Server engine;
    engine.Post("/write", [&](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard<std::mutex> hold(lock);
        bodies.push_back(request.body);
        targets.push_back(request.get_param_value("precision") + "," + request.get_param_value("db"));
        if (bodies.size() == 1)
            response.status = 503;
        else if (bodies.size() == 2)
            response.status = 401;
        else if (bodies.size() == 3) {
            response.status = 400;
            response.set_content("unable to parse 'a 1 1'", "text/plain");
        } else
            response.status = 204;
    });
    const int port = engine.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    std::thread serving([&] { engine.listen_after_bind(); });

    TempDir dir("shipper");
    InfluxShipper::Settings settings;
    settings.url = "http://127.0.0.1:" + std::to_string(port) + "/write";
    settings.database = "rav lon";
    {
        InfluxShipper shipper(settings, dir.path() + "/", SmartPointer<LoggerUnit>());
        std::string problem;
        ASSERT_TRUE(shipper.start(problem)) << problem;
        shipper.add("a 1 1\n");
        ASSERT_TRUE(Testing::waitFor([&] { std::lock_guard<std::mutex> hold(lock); return bodies.size() >= 3; },
                                     10000));
        shipper.add("b 2 2\n");
        ASSERT_TRUE(Testing::waitFor([&] { return dir.read("influx.cursor") == "2\n"; }, 10000));
    }
    engine.stop();
    serving.join();

    EXPECT_EQ((std::vector<std::string>{"a 1 1\n", "a 1 1\n", "a 1 1\n", "b 2 2\n"}), bodies);
    EXPECT_EQ("s,rav lon", targets[0]);
    EXPECT_EQ("# 400 unable to parse 'a 1 1'\na 1 1\n", dir.read("influx.rejected"));
}

TEST(InfluxShipperTest, AnHttpsUrlIsTakenOnlyWhereTheLibraryHasTls)
{
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
    const bool tls = true;
#else
    const bool tls = false;
#endif
    useBuiltModule();
    TempDir dir("shipper");
    InfluxShipper::Settings settings;
    settings.url = "https://127.0.0.1:1/write";
    InfluxShipper shipper(settings, dir.path() + "/", SmartPointer<LoggerUnit>());
    std::string problem;
    EXPECT_EQ(tls, shipper.start(problem)) << problem;
    EXPECT_EQ(tls ? std::string::npos : 0u, problem.find("ravlon.export.influx.url")) << problem;
}
