#include "platform/clock.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<ClockSource*> g_override{nullptr};
std::atomic<uint32_t> g_generation{0};
}  // namespace

void setClockOverride(ClockSource* source) {
    g_override.store(source);
    ++g_generation;
}

ClockSource* clockOverride() { return g_override.load(); }

uint32_t clockGeneration() { return g_generation.load(); }

uint32_t tickCount() {
    ClockSource* source = g_override.load();
    return source ? source->tickCount() : systemTickCount();
}

uint64_t fileTimeNow() {
    ClockSource* source = g_override.load();
    return source ? source->fileTimeNow() : systemFileTimeNow();
}

void sleepMs(uint32_t ms) {
    ClockSource* source = g_override.load();
    if (source) source->sleepMs(ms);
    else systemSleepMs(ms);
}

LocalTime localTime() {
    ClockSource* source = g_override.load();
    return source ? source->localTime() : systemLocalTime();
}

}  // namespace platform
