// The seed of a randomized test: fixed, so a failure repeats, unless
// KELO_TEST_SEED names another (to explore, or to repeat a reported one).
#pragma once

#include <cstdint>
#include <cstdlib>

inline uint32_t TestSeed(uint32_t byDefault) {
    const char* text = std::getenv("KELO_TEST_SEED");
    return text ? uint32_t(std::strtoul(text, nullptr, 10)) : byDefault;
}
