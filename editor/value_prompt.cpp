#include "editor/value_prompt.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <locale>
#include <sstream>

#include "editor/control.h"
#include "plug/effect_base.h"
#include "plug/param.h"

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The value texts of a parameter in value order (the parameter answers texts
// by value only).
std::vector<std::string> ValueTexts(const Param& param) {
    std::vector<std::string> texts;
    if (param.ValueTextCount() <= 0) return texts;
    const double lo = std::ceil(std::max(param.Min(), double(INT32_MIN)));
    const double hi = std::floor(std::min(param.Max(), double(INT32_MAX)));
    if (!(lo <= hi) || hi - lo > 4096) return texts;
    for (int64_t v = int64_t(lo); v <= int64_t(hi); ++v) {
        const char* text = param.ValueTextFor(int32_t(v));
        if (text && *text && std::find(texts.begin(), texts.end(), text) == texts.end())
            texts.emplace_back(text);
    }
    return texts;
}

} // namespace

bool ParsePromptNumber(const char* text, double& value) {
    if (!text) return false;
    const char* p = text;
    while (*p == ' ' || *p == '\t')
        ++p;
    // The number's characters, with a comma read as the decimal point.
    std::string number;
    if (*p == '+' || *p == '-') number += *p++;
    int digits = 0;
    while (IsDigit(*p)) {
        number += *p++;
        ++digits;
    }
    if (*p == '.' || *p == ',') {
        number += '.';
        ++p;
        while (IsDigit(*p)) {
            number += *p++;
            ++digits;
        }
    }
    if (digits == 0) return false;
    if ((*p == 'e' || *p == 'E') &&
        (IsDigit(p[1]) || ((p[1] == '+' || p[1] == '-') && IsDigit(p[2])))) {
        number += *p++;
        if (*p == '+' || *p == '-') number += *p++;
        while (IsDigit(*p))
            number += *p++;
    }
    std::istringstream in(number);
    in.imbue(std::locale::classic());
    double parsed = 0.0;
    in >> parsed;
    if (in.fail() || !std::isfinite(parsed)) return false;
    value = parsed;
    return true;
}

void ValuePrompt::Open(Control* control, Param* param, int state) {
    Close();
    if (!control || !param) return;
    char text[kParamTextSize] = {};
    param->FormatValue(text, sizeof text);
    mShown = text;
    mEntries = ValueTexts(*param);
    mControl = control;
    mParam = param;
    mState = state;
}

void ValuePrompt::Close() {
    mControl = nullptr;
    mParam = nullptr;
    mState = PromptIdle;
    mShown.clear();
    mEntries.clear();
}

int ValuePrompt::ShownEntry() const {
    for (size_t i = 0; i < mEntries.size(); ++i)
        if (mEntries[i] == mShown) return int(i);
    return -1;
}

void ValuePrompt::Enter() {
    if (IsOpen()) mState = PromptCommit;
}

void ValuePrompt::Cancel() {
    if (IsOpen()) mState = PromptCancel;
}

void ValuePrompt::FocusGained() {
    if (IsOpen() && mState != PromptCommit && mState != PromptCancel) mState = PromptFocused;
}

void ValuePrompt::FocusLost() {
    if (mState == PromptFocused) mState = PromptIdle;
}

void ValuePrompt::EditorDrew() {
    if (IsOpen() && mState == PromptIdle) mState = PromptRefresh;
}

ValuePrompt::Action ValuePrompt::Tick() {
    if (!IsOpen()) return kNothing;
    switch (mState) {
    case PromptIdle:
    case PromptFocused:
        return kNothing;
    case PromptRefresh: {
        char text[kParamTextSize] = {};
        mParam->FormatValue(text, sizeof text);
        mShown = text;
        mState = PromptIdle;
        return kShowText;
    }
    case PromptCommit:
        return kCommitAndClose;
    case PromptCancel:
        return kClose;
    default:
        mState = PromptIdle;
        return kNothing;
    }
}

bool ValuePrompt::ValueOf(const char* text, double& normalized) const {
    if (!IsOpen() || !text) return false;
    const std::string typed = std::string(text).substr(0, kMaxText);
    // The text as shown stands for the value as it is, not for its rounding.
    if (typed == mShown.substr(0, kMaxText)) return false;
    double value = 0.0;
    if (IsList()) {
        int32_t entry = 0;
        if (typed.empty() || !mParam->ValueFromText(typed.c_str(), entry)) return false;
        value = entry;
    } else if (!ParsePromptNumber(typed.c_str(), value)) {
        return false;
    }
    normalized = mParam->NormalizedOf(value);
    return !std::isnan(normalized);
}

bool ValuePrompt::Commit(const char* text) {
    double normalized = 0.0;
    if (!ValueOf(text, normalized)) return false;
    // One gesture: the host hears one begin and one end around the value, also
    // when the value moves a second parameter.
    EffectBase* effect = mControl->Effect();
    if (effect) effect->BeginGesture();
    mControl->CommitUserValue(normalized);
    if (effect) effect->EndGesture();
    return true;
}
