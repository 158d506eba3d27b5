#pragma once

#include <algorithm>
#include <ctime>
#include <vector>

namespace vellora::bench {

inline double median(std::vector<double> s)
{
    if (s.empty())
        return -1;
    std::nth_element(s.begin(), s.begin() + s.size() / 2, s.end());
    return s[s.size() / 2];
}

// This thread's CPU time: on a shared machine the steadier figure.
inline double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// Median milliseconds (wall clock and thread CPU) of the iterations a case ran.
struct Timings
{
    std::vector<double> wall;
    std::vector<double> cpu;
    double wallMs() const { return median(wall); }
    double cpuMs() const { return median(cpu); }
};

} // namespace vellora::bench
