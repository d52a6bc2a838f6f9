#include "core/quality.h"

#include <algorithm>

namespace {

// The newest probes, a circle of QUALITY_PROBES_MAX round-trip times.
int32_t rtts[QUALITY_PROBES_MAX];
uint32_t next_slot;
uint32_t recorded;              // since judged afresh, up to QUALITY_PROBES_MAX
int32_t answered[QUALITY_PROBES_MAX];   // scratch for the median

bool degraded;
bool holding;                   // back within the recovery thresholds...
uint64_t holding_since_nsec;    // ...since then
QualityFigures figures;

QualityFigures measure(uint32_t count)
{
    QualityFigures f = {count, 0, -1};
    uint32_t replies = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const int32_t rtt = rtts[(next_slot + QUALITY_PROBES_MAX - 1 - i) % QUALITY_PROBES_MAX];
        if (rtt < 0)
            ++f.lost;
        else
            answered[replies++] = rtt;
    }
    if (replies > 0) {
        int32_t* middle = answered + (replies - 1) / 2;     // the lower median
        std::nth_element(answered, middle, answered + replies);
        f.median_usec = *middle;
    }
    return f;
}

bool worse(const ModuleSettings& s, const QualityFigures& f)
{
    return (s.degr_loss != 0 && uint64_t(f.lost) * 100 >= uint64_t(s.degr_loss) * f.probes)
        || (s.degr_rtt != 0 && f.median_usec >= int64_t(s.degr_rtt) * 1000);
}

// Within the recovery thresholds: at or below them, or below the degraded
// ones where they are 0. A criterion not judged is always within.
bool recovered(const ModuleSettings& s, const QualityFigures& f)
{
    bool loss = true, rtt = true;
    const uint64_t lost = uint64_t(f.lost) * 100;
    if (s.degr_loss != 0)
        loss = s.recov_loss != 0 ? lost <= uint64_t(s.recov_loss) * f.probes : lost < uint64_t(s.degr_loss) * f.probes;
    if (s.degr_rtt != 0)
        rtt = f.median_usec >= 0 && (s.recov_rtt != 0 ? f.median_usec <= int64_t(s.recov_rtt) * 1000
                                                       : f.median_usec < int64_t(s.degr_rtt) * 1000);
    return loss && rtt;
}

} // namespace

void quality_afresh()
{
    recorded = 0;
    degraded = false;
    holding = false;
    figures = {0, 0, -1};
}

void quality_record(int32_t rtt_usec)
{
    rtts[next_slot] = rtt_usec;
    next_slot = (next_slot + 1) % QUALITY_PROBES_MAX;
    if (recorded < QUALITY_PROBES_MAX)
        ++recorded;
}

QualityChange quality_judge(const ModuleSettings& settings, uint64_t now_nsec)
{
    const uint32_t count = quality_probes(settings);
    if (recorded < count)
        return QUALITY_SAME;
    figures = measure(count);
    if (!degraded) {
        if (!worse(settings, figures))
            return QUALITY_SAME;
        degraded = true;
        holding = false;
        return QUALITY_DEGRADED;
    }
    if (!recovered(settings, figures)) {
        holding = false;
        return QUALITY_SAME;
    }
    if (!holding) {
        holding = true;
        holding_since_nsec = now_nsec;
    }
    if (now_nsec - holding_since_nsec < uint64_t(settings.recov_time) * 1000000000u)
        return QUALITY_SAME;
    degraded = false;
    holding = false;
    return QUALITY_RESTORED;
}

bool quality_degraded()
{
    return degraded;
}

const QualityFigures& quality_figures()
{
    return figures;
}

