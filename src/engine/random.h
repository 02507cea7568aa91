// The process-wide MT19937 generator from which the engine draws its choices of volume.
#pragma once
#include <cstdint>

void seedEngineRandom(uint32_t seed);
// The next 32-bit output of the generator; thread safe.
uint32_t engineRandom();
