#include "ravlon/InfluxShipper.h"

#include <random>

#include "common/DateTime.h"
#include "logger/LoggerUnit.h"
#include "logger/ParamStream.h"
#include "platform/CollectorStatistics.h"
#include "ravlon/HttpModule.h"

namespace Telvar {

namespace {

constexpr int POLL_MS = 250;

// Answers about the request, not the records: a timeout, too many requests,
// and a wrong address or credentials, which the operator mends. Such
// batches wait like an outage instead of being set aside.
bool waitsForOperator(int status)
{
    return status == 401 || status == 403 || status == 404 || status == 407 || status == 408 || status == 429;
}

// Enough of an engine's answer to say why it refused.
constexpr size_t ANSWER_TEXT = 300;

std::string shortened(std::string text)
{
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text.size() > ANSWER_TEXT ? text.substr(0, ANSWER_TEXT) + "..." : text;
}

} // namespace

InfluxShipper::InfluxShipper(const Settings& settings, const std::string& workingDirectory,
                             const SmartPointer<LoggerUnit>& unit)
    : settings_(settings), unit_(unit), spool_(workingDirectory, "influx", settings.spoolLimit)
{
}

InfluxShipper::~InfluxShipper() { stop(); }

bool InfluxShipper::splitUrl(const std::string& url, std::string& origin, std::string& path)
{
    std::string scheme = "http://";
    if (url.compare(0, 8, "https://") == 0)
        scheme = "https://";
    else if (url.compare(0, scheme.size(), scheme) != 0)
        return false;
    size_t slash = url.find('/', scheme.size());
    origin = url.substr(0, slash);
    path = slash == std::string::npos ? "/write" : url.substr(slash);
    return origin.size() > scheme.size() && path.find_first_of("# ") == std::string::npos;
}

bool InfluxShipper::start(std::string& problem)
{
    if (!splitUrl(settings_.url, origin_, path_)) {
        problem = "ravlon.export.influx.url \"" + settings_.url + "\" is not an http:// or https:// URL";
        return false;
    }
    if ((http_ = HttpModule::get(problem)) == nullptr)
        return false;
    // A library built without TLS (the Windows build) refuses an https://
    // origin: said here, not in the thread.
    client_ = http_->poster(origin_, settings_.timeoutSeconds);
    if (!client_) {
        problem = "ravlon.export.influx.url \"" + settings_.url + "\": this build has no TLS; use http://";
        return false;
    }
    if (!spool_.open(problem))
        return false;
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void InfluxShipper::stop()
{
    {
        std::lock_guard<std::mutex> hold(wakeLock_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void InfluxShipper::add(const std::string& lines)
{
    uint64_t dropped = 0;
    const bool spooled = spool_.append(lines, dropped);
    if (dropped > 0) {
        droppedTotal_ += dropped;
        if (!unit_.isNull())
            unit_->error(MSG_SPOOL_FULL, ParamStream() << std::to_string(dropped) << std::to_string(droppedTotal_.load()));
    }
    if (!spooled && dropped == 0 && !unit_.isNull())
        unit_->error(MSG_NOT_SPOOLED, ParamStream() << spool_.spoolPath());
    {
        std::lock_guard<std::mutex> hold(wakeLock_);
        added_ = true;
    }
    wake_.notify_all();
}

bool InfluxShipper::waitForRecords()
{
    std::unique_lock<std::mutex> hold(wakeLock_);
    wake_.wait(hold, [this] { return added_ || stopping_.load(); });
    added_ = false;
    return !stopping_.load();
}

void InfluxShipper::run()
{
    std::minstd_rand random(static_cast<uint32_t>(DateTime::now().seconds()) ^
                            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this)));
    int32_t backoff = 1;
    Platform::CollectorStatistics& statistics = Platform::collectorStatistics();
    while (!stopping_.load()) {
        int result = shipOnce();
        statistics.set(Platform::CollectorStatistics::EXPORT_BACKLOG, static_cast<int64_t>(spool_.pendingEntries()));
        if (result < 0)
            statistics.add(Platform::CollectorStatistics::EXPORT_FAILURES);
        if (result > 0) {
            backoff = 1;
            continue;
        }
        // Nothing to send: asleep until a record comes, not polling.
        if (result == 0) {
            waitForRecords();
            continue;
        }
        // Somewhere between half the pause and the whole of it.
        const int32_t wait = backoff / 2 + static_cast<int32_t>(random() % static_cast<uint32_t>(backoff / 2 + 1));
        pause(wait < 1 ? 1 : wait);
        backoff = backoff * 2 > MAX_BACKOFF_SECONDS ? MAX_BACKOFF_SECONDS : backoff * 2;
    }
}

void InfluxShipper::pause(int32_t seconds)
{
    for (int32_t waited = 0; waited < seconds * 1000 && !stopping_.load(); waited += POLL_MS)
        DateTime::sleepMilliseconds(POLL_MS);
}

int InfluxShipper::shipOnce()
{
    ExportSpool::Batch batch;
    if (!spool_.nextBatch(BATCH_BYTES, batch))
        return 0;
    if (batch.text.empty())
        return spool_.commit(batch.last) ? 1 : -1;
    // One client, and its connection kept between batches: making them
    // anew for every record costs more than the record.
    if (!client_ && !(client_ = http_->poster(origin_, settings_.timeoutSeconds)))
        return -1;
    HttpPoster::Headers headers;
    if (!settings_.token.empty())
        headers.emplace_back("Authorization", "Token " + settings_.token);
    // Parameters of the URL (InfluxDB 2's org and bucket, say) stay.
    std::string target = path_ + (path_.find('?') == std::string::npos ? "?" : "&") + "precision=s";
    if (!settings_.database.empty())
        target += "&db=" + http_->encodeQueryParameter(settings_.database);
    const HttpPoster::Answer answer = client_->post(target, headers, batch.text, "text/plain; charset=utf-8");

    if (answer.status >= 200 && answer.status < 300) {
        unreachable_ = false;
        return spool_.commit(batch.last) ? 1 : -1;
    }
    if (answer.status >= 400 && answer.status < 500 && !waitsForOperator(answer.status)) {
        const std::string reason = std::to_string(answer.status) + " " + shortened(answer.body);
        const bool kept = spool_.setAside(batch, reason);
        if (!unit_.isNull())
            unit_->error(MSG_REFUSED, ParamStream() << settings_.url << std::to_string(batch.entries) << reason
                                                    << (kept ? spool_.rejectedPath() : "nothing, the file of refused batches is full"));
        return spool_.commit(batch.last) ? 1 : -1;
    }
    // A fresh connection for the next try.
    client_.reset();
    // Said once per outage; the records wait in the spool.
    if (!unreachable_ && !unit_.isNull()) {
        const std::string reason =
            answer.status != 0 ? std::to_string(answer.status) + " " + shortened(answer.body) : answer.error;
        unit_->warning(MSG_UNREACHABLE, ParamStream() << settings_.url << reason);
    }
    unreachable_ = true;
    return -1;
}

} // namespace Telvar
