#include "engine/random.h"

#include <mutex>
#include <random>

namespace {
std::mutex g_lock;
std::mt19937& generator() {
    static std::mt19937 g;
    return g;
}
}  // namespace

void seedEngineRandom(uint32_t seed) {
    std::lock_guard<std::mutex> lock(g_lock);
    generator().seed(seed);
}

uint32_t engineRandom() {
    std::lock_guard<std::mutex> lock(g_lock);
    return generator()();
}
