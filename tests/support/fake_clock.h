// A hand-driven clock for the whole process while the object lives: time moves only when the test
// moves tick_ or the date, or by step_ at every reading of the tick; sleeps advance the tick
// instead of waiting, and are counted.
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
    // Clocks nest: the one before comes back.
    ~FakeClock() override { platform::setClockOverride(previous_); }

    void setDate(int year, int month, int day) { local_.year = year, local_.month = month, local_.day = day; }
    uint32_t tickCount() override { return step_ ? tick_ += step_ : tick_.load(); }
    uint64_t fileTimeNow() override { return 133000000000000000ull + uint64_t{tick_.load()} * 10000u; }
    void sleepMs(uint32_t ms) override {
        ++sleeps_;
        slept_ += ms;
        tick_ += ms;
    }
    platform::LocalTime localTime() override { return local_; }

    std::atomic<uint32_t> tick_{1000000};
    std::atomic<uint32_t> step_{0};
    std::atomic<uint32_t> sleeps_{0};
    std::atomic<uint64_t> slept_{0};

private:
    platform::ClockSource* previous_ = platform::clockOverride();
    platform::LocalTime local_;
};
