#include "plug/param.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/db.h"

void CopyText(char* field, int capacity, const char* text) {
    if (!field || capacity <= 0) return;
    if (!text) text = "";
    // Reads no further than the field holds: host texts need not be terminated.
    size_t length = 0;
    while (length + 1 < size_t(capacity) && text[length] != '\0')
        ++length;
    std::memcpy(field, text, length);
    field[length] = 0;
}

Param::Param()
    : mType(ParamUnset), mValue{0.0}, mMin(0.0), mMax(1.0), mStep(1.0), mCurve(1.0), mDecimals(0),
      mName(), mUnit() {}

void Param::DefineContinuous(const char* name, double defaultValue, double min, double max,
                             double step, const char* unit) {
    if (mType == ParamUnset) mType = ParamContinuous;
    CopyText(mName, kParamTextSize, name);
    CopyText(mUnit, kParamTextSize, unit);
    Store(defaultValue);
    mMin = min;
    mMax = max < min + step ? min + step : max;
    mStep = step;
    // As many decimals as the step needs, at most 6. A decimal step such as 0.1
    // has no exact binary value, so step * 10^d is whole only within rounding
    // (and x87 code keeps extra bits that never round away): judge it within a
    // tolerance far above rounding and far below any real decimal.
    mDecimals = 0;
    for (double scale = 1.0; mDecimals < 6; scale *= 10.0, ++mDecimals) {
        const double scaled = std::fabs(step) * scale;
        if (!(std::fabs(scaled - std::round(scaled)) > 1e-9 * scaled)) break;
    }
}

void Param::DefineSwitch(const char* name, bool defaultValue, const char* unit) {
    if (mType == ParamUnset) mType = ParamSwitch;
    DefineContinuous(name, defaultValue ? 1.0 : 0.0, 0.0, 1.0, 1.0, unit);
    AddValueText(0, "off");
    AddValueText(1, "on");
}

void Param::SetCurve(double exponent) {
    if (exponent != 0.0) mCurve = exponent;
}

double Param::NormalizedOf(double value) const {
    if (!(mMax > mMin) || std::isnan(value)) return 0.0;
    if (value < mMin) value = mMin;
    if (value > mMax) value = mMax;
    return std::pow((value - mMin) / (mMax - mMin), 1.0 / mCurve);
}

void Param::SetFromNormalized(double n) {
    // Hosts may send values outside 0..1 (or NaN); keep the result in range.
    // The ends of the scale are the ends of the range, exactly: min + 1 * (max -
    // min) can round away from max.
    if (!(n > 0.0)) {
        Store(mMin);
        return;
    }
    if (n >= 1.0) {
        Store(mMax);
        return;
    }
    double v = mMin + std::pow(n, mCurve) * (mMax - mMin);
    if (mType != ParamContinuous && mStep > 0.0) v = std::floor(v / mStep + 0.5) * mStep;
    if (!(v < mMax)) v = mMax;
    if (v < mMin) v = mMin;
    Store(v);
}

void Param::SetClampedValue(double value) {
    if (std::isnan(value)) return;
    Store(value < mMin ? mMin : value > mMax ? mMax : value);
}

double Param::ValueAsGain() const {
    return DbToAmp(Value());
}

void Param::FormatValue(char* text, int capacity) const {
    if (!text || capacity <= 0) return;
    // One reading: another thread may set the value meanwhile.
    const double value = Value();
    const double whole = std::trunc(value);
    const bool fitsInt = whole >= double(INT32_MIN) && whole <= double(INT32_MAX);
    if (fitsInt) {
        const char* named = ValueTextFor(int32_t(whole));
        if (named[0]) {
            CopyText(text, capacity, named);
            return;
        }
    }
    if (value == 0.0) {
        CopyText(text, capacity, "0");
    } else if (mDecimals == 0) {
        if (fitsInt)
            std::snprintf(text, size_t(capacity), "%d", int(whole));
        else
            std::snprintf(text, size_t(capacity), "%.0f", whole);
    } else {
        char format[16];
        std::snprintf(format, sizeof format, "%%.%df", int(mDecimals));
        std::snprintf(text, size_t(capacity), format, value);
    }
}

bool Param::AddValueText(int32_t value, const char* text) {
    ValueText entry{};
    entry.mValue = value;
    CopyText(entry.mText, kParamTextSize, text);
    return mValueTexts.AppendBytes(&entry, sizeof entry);
}

int32_t Param::ValueTextCount() const {
    return mValueTexts.Size() / int32_t(sizeof(ValueText));
}

const ValueText* Param::Texts() const {
    return reinterpret_cast<const ValueText*>(mValueTexts.Bytes());
}

const char* Param::ValueTextAt(int32_t index) const {
    return index >= 0 && index < ValueTextCount() ? Texts()[index].mText : "";
}

const char* Param::ValueTextFor(int32_t value) const {
    const ValueText* texts = Texts();
    for (int32_t i = 0; i < ValueTextCount(); ++i)
        if (texts[i].mValue == value) return texts[i].mText;
    return "";
}

bool Param::ValueFromText(const char* text, int32_t& value) const {
    if (!text) return false;
    const ValueText* texts = Texts();
    for (int32_t i = 0; i < ValueTextCount(); ++i) {
        if (std::strcmp(texts[i].mText, text) == 0) {
            value = texts[i].mValue;
            return true;
        }
    }
    return false;
}
