// One automatable parameter: real value, range, step, normalization curve and
// the rules that turn the value into display text.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/byte_block.h"

enum ParamType : int32_t {
    ParamUnset = 0,
    ParamSwitch = 1,
    ParamContinuous = 4,
};

// Text shown instead of the number for one whole value.
struct ValueText {
    int32_t mValue;
    char mText[32];
};
static_assert(sizeof(ValueText) == 36, "value text entries are 36 bytes");

// Names, units and value texts hold at most this many characters plus the zero.
constexpr int kParamTextSize = 32;

class Param {
public:
    Param();

    // Defines a continuous parameter; max is raised to min + step when below it.
    void DefineContinuous(const char* name, double defaultValue, double min, double max,
                          double step, const char* unit);
    // Defines an off/on parameter with the value texts "off" and "on".
    void DefineSwitch(const char* name, bool defaultValue, const char* unit = "");
    // Sets the curve exponent; exactly 0 is ignored.
    void SetCurve(double exponent);

    // The value is read without a lock by the host (its parameter reads) and
    // by the editor while another thread sets it: each reading and setting is
    // whole. The rest of the parameter is fixed once it is defined.
    double Value() const { return mValue.load(std::memory_order_relaxed); }
    // Normalized (0..1) form of the current value.
    double Normalized() const { return NormalizedOf(Value()); }
    // Normalized form of any real value, clamped to the range first (NaN gives 0).
    double NormalizedOf(double value) const;
    // Sets the value from a normalized one (quantised to the step unless the
    // parameter is continuous). n is clamped to 0..1, NaN reads as 0; 0 gives
    // exactly the minimum and 1 exactly the maximum.
    void SetFromNormalized(double n);
    // Sets the real value clamped to [min, max]; NaN leaves the value as it is.
    void SetClampedValue(double value);
    // The value read as decibels, as a linear factor.
    double ValueAsGain() const;
    // Display text of the current value into text (capacity bytes, terminated).
    void FormatValue(char* text, int capacity = kParamTextSize) const;

    const char* Name() const { return mName; }
    const char* Unit() const { return mUnit; }
    ParamType Type() const { return mType; }
    double Min() const { return mMin; }
    double Max() const { return mMax; }
    double Step() const { return mStep; }
    double Curve() const { return mCurve; }
    int32_t Decimals() const { return mDecimals; }

    // Appends a value text (cut to 31 characters). False if it could not be stored.
    bool AddValueText(int32_t value, const char* text);
    int32_t ValueTextCount() const;
    // Text of the first entry with that value, or "".
    const char* ValueTextFor(int32_t value) const;
    // Text of entry index in the order added, or "" out of range.
    const char* ValueTextAt(int32_t index) const;
    // Value of the first entry whose text equals text exactly; false if none.
    bool ValueFromText(const char* text, int32_t& value) const;

private:
    const ValueText* Texts() const;
    void Store(double value) { mValue.store(value, std::memory_order_relaxed); }

    ParamType mType;
    std::atomic<double> mValue;
    double mMin;
    double mMax;
    double mStep;
    double mCurve;
    int32_t mDecimals;
    char mName[kParamTextSize];
    char mUnit[kParamTextSize];
    ByteBlock mValueTexts;
};

// Copies text into a field of capacity bytes, cut and always terminated; null
// reads as "".
void CopyText(char* field, int capacity, const char* text);
