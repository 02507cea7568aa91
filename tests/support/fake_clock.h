// A hand-driven clock for the whole process while the object lives: time moves only when the test
// moves tick_ or the date; sleeps advance the tick instead of waiting.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/clock.h"

class FakeClock : public platform::ClockSource {
public:
    FakeClock() {
        setDate(2024, 3, 3);
        platform::setClockOverride(this);
    }
    ~FakeClock() override { platform::setClockOverride(nullptr); }

    void setDate(int year, int month, int day) { local_.year = year, local_.month = month, local_.day = day; }
    uint32_t tickCount() override { return tick_.load(); }
    uint64_t fileTimeNow() override { return 133000000000000000ull + uint64_t{tick_.load()} * 10000u; }
    void sleepMs(uint32_t ms) override { tick_ += ms; }
    platform::LocalTime localTime() override { return local_; }

    std::atomic<uint32_t> tick_{1000000};

private:
    platform::LocalTime local_;
};
