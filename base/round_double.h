// Doubles that are doubles on every target.
#pragma once

// x87 code (the 32-bit build) keeps doubles in 80-bit registers, with a longer
// significand and a wider exponent range, until they are stored; when that
// happens depends on the compiler's register allocation. Where two computations
// must agree bit for bit (a filter's state carried from block to block, an
// output and the level measured on it), RoundToDouble passes the value through
// memory, which rounds it as every other target does in each operation. On
// targets whose doubles are always doubles (SSE2, the 64-bit builds) it is
// nothing. T is double or a vector of doubles.
template <typename T>
inline void RoundToDouble(T& value) {
#if defined(__i386__) && !defined(__SSE2_MATH__)
    __asm__("" : "+m"(value));
#else
    (void)value;
#endif
}
