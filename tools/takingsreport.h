// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// The takings report the simulated machine prints when asked: lines ending in CR LF, upper
// case labels, Latin-1 bytes. Each reading moves the counters on, as a machine in play would.
class TakingsReport
{
public:
    explicit TakingsReport(unsigned machineNumber = 4217);

    // The next reading, dated with the given local time.
    std::string next(std::time_t when);

private:
    unsigned random(unsigned limit);

    unsigned m_machine;
    unsigned m_reading = 152;
    std::uint32_t m_seed;
    // Totals since the machine was installed: credits of 0,20 EUR.
    std::uint64_t m_creditsIn = 1482350;
    std::uint64_t m_creditsOut = 1041170;
    std::uint64_t m_plays = 1305842;
    std::uint64_t m_prizes = 96311;
    unsigned m_doorOpenings = 41;
    std::time_t m_previous = 0;
};
