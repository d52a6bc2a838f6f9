// The ring as a picture: round-trip time over local time, one pixel column
// for every stretch of time, so that 10000 samples draw as 640 columns (their
// least, median and greatest time, and a red mark where a probe was lost).
#include <algorithm>
#include <cinttypes>
#include <iterator>

#include "tolvinstat/format/report.h"

namespace {

// The picture's geometry in pixels: the plot's left edge and columns, its
// top and bottom.
constexpr int WIDTH = 720, HEIGHT = 262;
constexpr int LEFT = 64, COLUMNS = 640, TOP = 20, BOTTOM = 220;
constexpr int PLOT_HEIGHT = BOTTOM - TOP;

struct Column {
    int32_t least, median, greatest;    // microseconds; -1 without an answered probe
    uint32_t lost;
};

Column columns[COLUMNS];
uint32_t column_of[LINK_SAMPLES];
uint32_t start_of[COLUMNS + 1];
int32_t grouped[LINK_SAMPLES];

// A step of 1, 2 or 5 times a power of ten, at least `raw`.
int64_t nice_step(int64_t raw)
{
    int64_t power = 1;
    while (power * 10 <= raw)
        power *= 10;
    for (int64_t factor : {1, 2, 5, 10}) {
        if (power * factor >= raw)
            return power * factor;
    }
    return power * 10;
}

// The answered probes' times grouped by column (a counting sort: the ring is
// in time order, but a stepped clock may put one out of it), then each
// column's least, median and greatest.
void make_columns(const LinkStats& s, uint32_t kept, int64_t first, int64_t span)
{
    std::fill(std::begin(start_of), std::end(start_of), 0u);
    for (Column& c : columns)
        c = {-1, -1, -1, 0};
    for (uint32_t i = 0; i < kept; ++i) {
        int64_t at = (int64_t(s.samples[i].timestamp) - first) * (COLUMNS - 1) / span;
        at = at < 0 ? 0 : (at >= COLUMNS ? COLUMNS - 1 : at);
        column_of[i] = uint32_t(at);
        if (s.samples[i].rtt == LINK_RTT_NONE)
            ++columns[at].lost;
        else
            ++start_of[at + 1];
    }
    for (int c = 0; c < COLUMNS; ++c)
        start_of[c + 1] += start_of[c];
    uint32_t placed[COLUMNS] = {};
    for (uint32_t i = 0; i < kept; ++i) {
        if (s.samples[i].rtt != LINK_RTT_NONE) {
            const uint32_t c = column_of[i];
            grouped[start_of[c] + placed[c]++] = s.samples[i].rtt;
        }
    }
    for (int c = 0; c < COLUMNS; ++c) {
        int32_t* begin = grouped + start_of[c];
        int32_t* end = grouped + start_of[c + 1];
        if (begin == end)
            continue;
        int32_t* middle = begin + (end - begin) / 2;
        std::nth_element(begin, middle, end);
        columns[c] = {*std::min_element(begin, end), *middle, *std::max_element(begin, end), columns[c].lost};
    }
}

int y_of(int64_t usec, int64_t top_usec)
{
    return BOTTOM - int(usec * PLOT_HEIGHT / top_usec);
}

void frame(FILE* out, int64_t top_usec, int64_t step_usec)
{
    fprintf(out, "<path d=\"M%d %dH%dM%d %dV%d\" stroke=\"#555\" fill=\"none\"/>\n", LEFT, BOTTOM,
            LEFT + COLUMNS, LEFT, TOP, BOTTOM);
    fputs("<g font-size=\"15\" fill=\"#333\" text-anchor=\"end\">", out);
    for (int64_t v = 0; v <= top_usec; v += step_usec) {
        const int y = y_of(v, top_usec);
        if (step_usec >= 1000)
            fprintf(out, "<text x=\"%d\" y=\"%d\">%" PRId64 "</text>", LEFT - 6, y + 4, v / 1000);
        else
            fprintf(out, "<text x=\"%d\" y=\"%d\">%" PRId64 ".%" PRId64 "</text>", LEFT - 6, y + 4, v / 1000,
                    v % 1000 / 100);
        if (v > 0)
            fprintf(out, "<path d=\"M%d %dH%d\" stroke=\"#ddd\"/>", LEFT + 1, y, LEFT + COLUMNS);
    }
    fprintf(out, "<text x=\"%d\" y=\"%d\" text-anchor=\"start\">ms</text></g>\n", LEFT + 6, TOP + 5);
}

// Ticks at whole local minutes, hours or days, at most about six.
void time_axis(FILE* out, int64_t first, int64_t span)
{
    static constexpr int64_t STEPS[] = {60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400,
                                        172800, 604800};
    int64_t step = STEPS[sizeof STEPS / sizeof STEPS[0] - 1];
    for (int64_t candidate : STEPS) {
        if (span / candidate <= 6) {
            step = candidate;
            break;
        }
    }
    tm local;
    const time_t first_time = time_t(first);
    localtime_r(&first_time, &local);
    const int64_t offset = local.tm_gmtoff;
    char zone[16];
    strftime(zone, sizeof zone, "%Z", &local);
    fputs("<g font-size=\"15\" fill=\"#333\" text-anchor=\"middle\">", out);
    int64_t t = ((first + offset) / step + 1) * step - offset;
    if (t > first + span) {
        // Less than a step in the ring: its first and newest time.
        for (const int64_t end : {first, first + span}) {
            const time_t when = time_t(end);
            localtime_r(&when, &local);
            char label[16];
            strftime(label, sizeof label, "%H:%M:%S", &local);
            fprintf(out, "<text x=\"%d\" y=\"%d\" text-anchor=\"%s\">%s</text>", end == first ? LEFT : LEFT + COLUMNS,
                    BOTTOM + 20, end == first ? "start" : "end", label);
        }
    }
    for (; t <= first + span; t += step) {
        const int x = LEFT + int((t - first) * (COLUMNS - 1) / span);
        const time_t when = time_t(t);
        localtime_r(&when, &local);
        char label[24];
        strftime(label, sizeof label, step >= 86400 ? "%d %b" : "%H:%M", &local);
        fprintf(out, "<path d=\"M%d.5 %dv5\" stroke=\"#555\"/><text x=\"%d\" y=\"%d\">%s</text>", x, BOTTOM, x,
                BOTTOM + 20, label);
    }
    fprintf(out, "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">local time (%s)</text></g>\n", LEFT + COLUMNS,
            BOTTOM + 38, zone);
}

} // namespace

void report_chart(FILE* out, const LinkStats& s)
{
    fprintf(out, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
            "font-family=\"sans-serif\" role=\"img\"><title>Round-trip time over time, lost probes in red</title>\n"
            "<rect width=\"%d\" height=\"%d\" fill=\"#fff\"/>\n", WIDTH, HEIGHT, WIDTH, HEIGHT, WIDTH, HEIGHT);
    const uint32_t kept = samples_kept(s);
    if (kept == 0) {
        frame(out, 1000, 1000);
        fprintf(out, "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\" fill=\"#555\">no samples yet</text>\n</svg>\n",
                LEFT + COLUMNS / 2, TOP + PLOT_HEIGHT / 2);
        return;
    }
    const int64_t first = s.samples[0].timestamp;
    int64_t span = int64_t(s.samples[kept - 1].timestamp) - first;
    span = span < 1 ? 1 : span;
    make_columns(s, kept, first, span);
    int64_t greatest = 0;
    for (const Column& c : columns)
        greatest = std::max<int64_t>(greatest, c.greatest);
    const int64_t step = nice_step(std::max<int64_t>(greatest / 4, 100));
    const int64_t top = std::max<int64_t>((greatest + step - 1) / step * step, step);
    frame(out, top, step);

    // Lost probes first, so that the answered ones stay in sight over them:
    // the redder the more of a column's probes were lost, a column of
    // nothing but lost ones full red.
    static constexpr const char* OPACITY[4] = {"0.25", "0.45", "0.7", "1"};
    for (int shade = 0; shade < 4; ++shade) {
        fprintf(out, "<path stroke=\"#e00000\" stroke-opacity=\"%s\" d=\"", OPACITY[shade]);
        for (int c = 0; c < COLUMNS; ++c) {
            const uint32_t lost = columns[c].lost, probes = lost + start_of[c + 1] - start_of[c];
            if (lost > 0 && (lost == probes ? 3 : std::min<uint32_t>(lost * 4 / probes, 2)) == uint32_t(shade))
                fprintf(out, "M%d.5 %dV%d", LEFT + c, TOP, BOTTOM);
        }
        fputs("\"/>\n", out);
    }
    fputs("<path stroke=\"#9cc3e6\" d=\"", out);
    for (int c = 0; c < COLUMNS; ++c) {
        if (columns[c].least >= 0)
            fprintf(out, "M%d.5 %dV%d", LEFT + c, y_of(columns[c].greatest, top) - 1, y_of(columns[c].least, top));
    }
    // The medians as a line, broken where probes were lost; a lone one a dot
    // (the round cap of a line of no length).
    fputs("\"/>\n<path stroke=\"#1f5fa8\" stroke-width=\"2\" stroke-linecap=\"round\" stroke-linejoin=\"round\" "
          "fill=\"none\" d=\"", out);
    bool drawing = false;
    for (int c = 0; c < COLUMNS; ++c) {
        if (columns[c].lost > 0)
            drawing = false;
        if (columns[c].median < 0)
            continue;
        fprintf(out, drawing ? "L%d.5 %d" : "M%d.5 %dh0", LEFT + c, y_of(columns[c].median, top));
        drawing = true;
    }
    fputs("\"/>\n", out);
    time_axis(out, first, span);
    fputs("</svg>\n", out);
}
