// Linked into every test program of the 32-bit x87 build. A host decides the
// x87 precision control and the plug-in inherits it: programs built with the
// common Windows compilers run at 53 bits, MinGW and Linux programs at 64. With
// KELO_X87_PRECISION set to 53 or 64, the program switches to that precision
// before any other initialization runs, and stops at once if the arithmetic
// does not follow (a test run at the wrong precision would prove nothing).
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

unsigned short ReadControlWord() {
    unsigned short word = 0;
    __asm__ volatile("fnstcw %0" : "=m"(word));
    return word;
}

void WriteControlWord(unsigned short word) {
    __asm__ volatile("fldcw %0" : : "m"(word));
}

// Priority 101 runs before the default-priority constructors of every other
// object file, so even static tables are computed at the chosen precision.
__attribute__((constructor(101))) void SetPrecisionFromEnvironment() {
    const char* text = std::getenv("KELO_X87_PRECISION");
    if (!text || !*text) return;
    const unsigned short kPrecisionBits = 0x300; // the PC field of the control word
    unsigned short bits;
    if (std::strcmp(text, "53") == 0) {
        bits = 0x200;
    } else if (std::strcmp(text, "64") == 0) {
        bits = 0x300;
    } else {
        std::fprintf(stderr, "KELO_X87_PRECISION must be 53 or 64, not \"%s\"\n", text);
        std::_Exit(2);
    }
    WriteControlWord(static_cast<unsigned short>((ReadControlWord() & ~kPrecisionBits) | bits));

    // 1 + 2^-60 keeps its low bit in a 64-bit significand only.
    volatile long double one = 1.0L, tiny = 0x1p-60L;
    const long double sum = one + tiny;
    const bool kept = sum != one;
    if (kept != (bits == 0x300) || (ReadControlWord() & kPrecisionBits) != bits) {
        std::fprintf(stderr, "x87 precision %s did not take effect (control word %#x)\n", text,
                     ReadControlWord());
        std::_Exit(2);
    }
}

} // namespace
