#include "SvgChart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common/DateTime.h"

namespace Telvar {
namespace Ctl {

namespace {

const char* const COLOURS[] = {"#1f5fa8", "#b8401c", "#2e7d32", "#6a3d9a", "#8c6d1f", "#00838f"};

std::string number(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

std::string lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string twoDigits(int v)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02d", v);
    return text;
}

// A round step (1, 2 or 5 times a power of ten) of at least raw.
double roundStep(double raw)
{
    if (!(raw > 0) || !std::isfinite(raw))
        return 1;
    double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * magnitude >= raw * (1 - 1e-9))
            return m * magnitude;
    return 10 * magnitude;
}

std::string localLabel(int64_t time, bool withDate, bool withTime, bool withSeconds)
{
    DateTimeParts p = DateTime(time).localParts();
    std::string date = twoDigits(p.month) + "-" + twoDigits(p.day);
    std::string clock = twoDigits(p.hour) + ":" + twoDigits(p.minute) + (withSeconds ? ":" + twoDigits(p.second) : "");
    if (withDate && withTime)
        return date + " " + clock;
    return withDate ? date : clock;
}

} // namespace

void SvgChart::addPrimeTime(int64_t from, int64_t to)
{
    if (!prime_.empty() && from <= prime_.back().second) {
        prime_.back().second = std::max(prime_.back().second, to);
        return;
    }
    prime_.emplace_back(from, to);
}

SvgChart::Unit SvgChart::unitOf(const std::string& counterPath)
{
    size_t slash = counterPath.find_last_of('\\');
    std::string counter = slash == std::string::npos ? counterPath : counterPath.substr(slash + 1);
    if (!counter.empty() && counter[0] == '%')
        return Unit::PERCENT;
    const std::string name = lower(counter);
    if (name.find("bytes") != std::string::npos || name.compare(0, 11, "working set") == 0)
        return Unit::BYTES;
    return Unit::PLAIN;
}

SvgChart::Axis SvgChart::valueAxis(double min, double max, Unit unit, bool perSecond)
{
    Axis axis;
    if (!std::isfinite(min) || !std::isfinite(max) || min > max)
        min = max = 0;
    // Counters are mostly counts and sizes: keep zero in view.
    min = std::min(min, 0.0);
    if (unit == Unit::PERCENT)
        max = std::max(max, 100.0);
    double magnitude = std::max(std::fabs(min), std::fabs(max));
    if (unit == Unit::BYTES) {
        static const char* const NAMES[] = {" B", " KiB", " MiB", " GiB", " TiB", " PiB"};
        int k = 0;
        while (k < 5 && magnitude >= 1024.0 * axis.scale) {
            axis.scale *= 1024.0;
            ++k;
        }
        axis.suffix = NAMES[k];
    } else if (unit == Unit::PLAIN) {
        static const char* const NAMES[] = {"", "k", "M", "G", "T", "P"};
        int k = 0;
        while (k < 5 && magnitude >= 1000.0 * axis.scale) {
            axis.scale *= 1000.0;
            ++k;
        }
        axis.suffix = NAMES[k];
    } else {
        axis.suffix = " %";
    }
    if (perSecond)
        axis.suffix += "/s";
    double range = (max - min) / axis.scale;
    if (range <= 0)
        range = 1;
    double step = unit == Unit::PERCENT && max <= 100 && min >= 0 ? 25 : roundStep(range / 4);
    axis.step = step * axis.scale;
    axis.low = std::floor(min / axis.step) * axis.step;
    axis.high = std::ceil(max / axis.step) * axis.step;
    if (axis.high <= axis.low)
        axis.high = axis.low + axis.step;
    return axis;
}

std::string SvgChart::axisLabel(double value, const Axis& axis)
{
    // A bare zero reads better than "0 KiB/s" at the foot of every panel.
    if (std::fabs(value) < axis.step * 1e-9)
        return "0";
    double shown = value / axis.scale;
    double step = axis.step / axis.scale;
    int decimals = step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
    decimals = std::min(std::max(decimals, 0), 6);
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, std::fabs(shown) < 1e-12 ? 0.0 : shown);
    return text + axis.suffix;
}

std::string SvgChart::escape(const std::string& text)
{
    std::string out;
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default:
            if (c >= 128) {
                char ref[16];
                std::snprintf(ref, sizeof ref, "&#x%X;", c);
                out += ref;
            } else if (c < 32 || c == 127) {
                out += '?';
            } else {
                out += ch;
            }
        }
    }
    return out;
}

SvgChart::Frame SvgChart::timeFrame() const
{
    Frame frame;
    std::vector<int64_t> times;
    for (const Series& s : series_)
        for (const Point& p : s.points)
            times.push_back(p.time);
    if (times.empty())
        return frame;
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());
    frame.from = times.front();
    frame.to = times.back();
    std::vector<int64_t> steps;
    for (size_t i = 1; i < times.size(); ++i)
        steps.push_back(times[i] - times[i - 1]);
    if (!steps.empty()) {
        std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
        frame.gapLimit = std::max<int64_t>(90, 3 * steps[steps.size() / 2]);
    }
    // A record stands for the period before it; a lone one still gets room.
    if (frame.to - frame.from < 60) {
        frame.from -= 30;
        frame.to += 30;
    }
    return frame;
}

double SvgChart::xOf(const Frame& frame, int64_t time) const
{
    double width = WIDTH - LEFT - RIGHT;
    return LEFT + width * static_cast<double>(time - frame.from) / static_cast<double>(frame.to - frame.from);
}

void SvgChart::renderTimeAxis(std::string& out, const Frame& frame, int top) const
{
    static const int64_t STEPS[] = {30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200,
                                    86400, 172800, 604800, 2592000};
    int64_t span = frame.to - frame.from;
    int64_t step = STEPS[sizeof STEPS / sizeof STEPS[0] - 1];
    for (int64_t s : STEPS) {
        if (span / s <= 8) {
            step = s;
            break;
        }
    }
    // Ticks on round local times.
    int64_t offset = static_cast<int64_t>(DateTime(frame.from).localOffset()) * 60;
    int64_t first = ((frame.from + offset + step - 1) / step) * step - offset;
    bool withDate = step >= 86400 || span > 86400;
    bool withTime = step < 86400;
    int bottom = top + PLOT_HEIGHT;
    for (int64_t t = first; t <= frame.to; t += step) {
        double x = xOf(frame, t);
        out += "<line x1=\"" + number(x) + "\" y1=\"" + std::to_string(top) + "\" x2=\"" + number(x) + "\" y2=\"" +
               std::to_string(bottom) + "\" stroke=\"#e4e4e4\"/>\n";
        out += "<text x=\"" + number(x) + "\" y=\"" + std::to_string(bottom + 14) +
               "\" text-anchor=\"middle\" fill=\"#555\">" + escape(localLabel(t, withDate, withTime, step < 60)) + "</text>\n";
    }
}

void SvgChart::renderLine(std::string& out, const Frame& frame, const Series& series, const Axis& axis, int top,
                          const char* colour) const
{
    auto yOf = [&](double v) {
        return top + PLOT_HEIGHT - PLOT_HEIGHT * (v - axis.low) / (axis.high - axis.low);
    };
    std::vector<std::vector<std::pair<double, double>>> runs(1);
    int64_t last = 0;
    bool haveLast = false;
    for (const Point& p : series.points) {
        bool joins = haveLast && p.time - last <= frame.gapLimit;
        if (!p.present || !std::isfinite(p.value)) {
            haveLast = false;
            continue;
        }
        if (!joins && !runs.back().empty())
            runs.emplace_back();
        runs.back().emplace_back(xOf(frame, p.time), yOf(p.value));
        last = p.time;
        haveLast = true;
    }
    for (const auto& run : runs) {
        if (run.size() == 1) {
            out += "<circle cx=\"" + number(run[0].first) + "\" cy=\"" + number(run[0].second) +
                   "\" r=\"2\" fill=\"" + colour + "\"/>\n";
        } else if (run.size() > 1) {
            out += "<polyline fill=\"none\" stroke=\"" + std::string(colour) +
                   "\" stroke-width=\"1.5\" stroke-linejoin=\"round\" points=\"";
            for (size_t i = 0; i < run.size(); ++i)
                out += (i ? " " : "") + number(run[i].first) + "," + number(run[i].second);
            out += "\"/>\n";
        }
    }
}

void SvgChart::renderPanel(std::string& out, const Frame& frame, const Series& series, size_t index) const
{
    const int top = HEADER + static_cast<int>(index) * PANEL + PLOT_TOP;
    const int right = WIDTH - RIGHT;
    const double plotWidth = WIDTH - LEFT - RIGHT;
    Unit unit = unitOf(series.name);
    bool perSecond = lower(series.name).find("/sec") != std::string::npos;
    double min = 0, max = 0;
    bool any = false;
    for (const Point& p : series.points) {
        if (!p.present || !std::isfinite(p.value))
            continue;
        min = any ? std::min(min, p.value) : p.value;
        max = any ? std::max(max, p.value) : p.value;
        any = true;
    }
    Axis axis = valueAxis(min, max, unit, perSecond);

    out += "<g>\n<text x=\"" + std::to_string(LEFT) + "\" y=\"" + std::to_string(top - 8) +
           "\" font-size=\"13\" font-weight=\"bold\">" + escape(series.name) + "</text>\n";
    for (const auto& span : prime_) {
        int64_t from = std::max(span.first, frame.from), to = std::min(span.second, frame.to);
        if (to <= from)
            continue;
        out += "<rect x=\"" + number(xOf(frame, from)) + "\" y=\"" + std::to_string(top) + "\" width=\"" +
               number(xOf(frame, to) - xOf(frame, from)) + "\" height=\"" + std::to_string(PLOT_HEIGHT) +
               "\" fill=\"#fff1c1\" stroke=\"none\"/>\n";
    }
    renderTimeAxis(out, frame, top);
    for (double v = axis.low; v <= axis.high + axis.step / 2; v += axis.step) {
        double y = top + PLOT_HEIGHT - PLOT_HEIGHT * (v - axis.low) / (axis.high - axis.low);
        out += "<line x1=\"" + std::to_string(LEFT) + "\" y1=\"" + number(y) + "\" x2=\"" + std::to_string(right) +
               "\" y2=\"" + number(y) + "\" stroke=\"#d0d0d0\"/>\n";
        out += "<text x=\"" + std::to_string(LEFT - 6) + "\" y=\"" + number(y + 4) +
               "\" text-anchor=\"end\" fill=\"#555\">" + escape(axisLabel(v, axis)) + "</text>\n";
    }
    out += "<rect x=\"" + std::to_string(LEFT) + "\" y=\"" + std::to_string(top) + "\" width=\"" +
           number(plotWidth) + "\" height=\"" + std::to_string(PLOT_HEIGHT) +
           "\" fill=\"none\" stroke=\"#999\"/>\n";
    if (any)
        renderLine(out, frame, series, axis, top, COLOURS[index % (sizeof COLOURS / sizeof COLOURS[0])]);
    else
        out += "<text x=\"" + number(LEFT + plotWidth / 2) + "\" y=\"" + std::to_string(top + PLOT_HEIGHT / 2) +
               "\" text-anchor=\"middle\" fill=\"#999\">no data</text>\n";
    out += "</g>\n";
}

std::string SvgChart::render() const
{
    Frame frame = timeFrame();
    const int height = HEADER + static_cast<int>(series_.size()) * PANEL + 10;
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(WIDTH) + "\" height=\"" +
           std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(WIDTH) + " " + std::to_string(height) +
           "\" font-family=\"sans-serif\" font-size=\"11\">\n";
    out += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
    out += "<text x=\"" + std::to_string(LEFT) + "\" y=\"22\" font-size=\"15\" font-weight=\"bold\">" +
           escape(title_) + "</text>\n";
    std::string range = DateTime(frame.from).toText(false) + " to " + DateTime(frame.to).toText(false) + " (local time)";
    out += "<text x=\"" + std::to_string(LEFT) + "\" y=\"40\" fill=\"#555\">" + escape(range) + "</text>\n";
    out += "<rect x=\"" + std::to_string(WIDTH - RIGHT - 150) + "\" y=\"30\" width=\"12\" height=\"12\" "
           "fill=\"#fff1c1\" stroke=\"#ccc\"/>\n";
    out += "<text x=\"" + std::to_string(WIDTH - RIGHT - 132) + "\" y=\"40\" fill=\"#555\">prime time</text>\n";
    for (size_t i = 0; i < series_.size(); ++i)
        renderPanel(out, frame, series_[i], i);
    out += "</svg>\n";
    return out;
}

} // namespace Ctl
} // namespace Telvar
