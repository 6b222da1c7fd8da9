#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Telvar {
namespace Ctl {

// Counters over time as an SVG picture: one panel per counter, stacked,
// sharing one time axis; prime-time periods shaded in every panel.
class SvgChart {
public:
    enum class Unit { PLAIN, BYTES, PERCENT };

    struct Point {
        int64_t time = 0;    // seconds since 1970 UTC
        bool present = false;
        double value = 0;
    };

    struct Series {
        std::string name;
        std::vector<Point> points; // in time order
    };

    // The scale of one panel's value axis.
    struct Axis {
        double low = 0;
        double high = 1;
        double step = 1;     // between labelled lines, in raw units
        double scale = 1;    // raw units per shown unit (1024 for KiB, ...)
        std::string suffix;  // " KiB", "k", " %", ...
    };

    static constexpr int WIDTH = 960;
    static constexpr int LEFT = 96;
    static constexpr int RIGHT = 24;
    static constexpr int HEADER = 52;
    static constexpr int PANEL = 170;
    static constexpr int PLOT_TOP = 26;    // inside a panel
    static constexpr int PLOT_HEIGHT = 112;

    explicit SvgChart(const std::string& title) : title_(title) {}

    void addSeries(const Series& series) { series_.push_back(series); }
    // A prime-time period [from, to].
    void addPrimeTime(int64_t from, int64_t to);

    // The whole document, an XML declaration first.
    std::string render() const;

    // From the counter's name: "% ..." is a percentage, "...Bytes..." and
    // "Working Set..." bytes.
    static Unit unitOf(const std::string& counterPath);
    // Round steps covering min..max; percentages span 0 to 100 at least,
    // bytes are shown in binary multiples, other values in 1000s.
    static Axis valueAxis(double min, double max, Unit unit, bool perSecond);
    static std::string axisLabel(double value, const Axis& axis);
    // Text for XML content and attributes; bytes above 127 are taken as
    // Latin-1 characters, other control bytes become '?'.
    static std::string escape(const std::string& text);

private:
    struct Frame {
        int64_t from = 0;
        int64_t to = 1;
        int64_t gapLimit = 90; // seconds between records that still joins them
    };

    Frame timeFrame() const;
    double xOf(const Frame& frame, int64_t time) const;
    void renderPanel(std::string& out, const Frame& frame, const Series& series, size_t index) const;
    void renderTimeAxis(std::string& out, const Frame& frame, int top) const;
    void renderLine(std::string& out, const Frame& frame, const Series& series, const Axis& axis, int top,
                    const char* colour) const;

    std::string title_;
    std::vector<Series> series_;
    std::vector<std::pair<int64_t, int64_t>> prime_;
};

} // namespace Ctl
} // namespace Telvar
