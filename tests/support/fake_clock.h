// A hand-driven clock for the whole process while the object lives: ticks, wall time and local
// time move only when the test says so; sleeps are counted and advance the clock instead.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/clock.h"

class FakeClock : public platform::ClockSource {
public:
    FakeClock() {
        setDate(2024, 3, 3);
        local_.hour = 13;
        local_.minute = 30;
        platform::setClockOverride(this);
    }
    ~FakeClock() override { platform::setClockOverride(nullptr); }  // not copyable: it holds atomics

    void setDate(int year, int month, int day) {
        local_.year = year;
        local_.month = month;
        local_.day = day;
    }
    void advance(uint32_t ms) {
        tick_ += ms;
        fileTime_ += uint64_t{ms} * 10000u;
    }
    uint32_t sleeps() const { return sleeps_.load(); }

    uint32_t tickCount() override { return tick_.load(); }
    uint64_t fileTimeNow() override { return fileTime_.load(); }
    void sleepMs(uint32_t ms) override {
        ++sleeps_;
        advance(ms);
    }
    platform::LocalTime localTime() override { return local_; }

    std::atomic<uint32_t> tick_{1000000};

private:
    std::atomic<uint64_t> fileTime_{133000000000000000ull};
    std::atomic<uint32_t> sleeps_{0};
    platform::LocalTime local_;
};
