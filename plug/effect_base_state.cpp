// The saved state's road (a save or load under the lock, the effect told of
// every value after a load) and the programs: stored sets of parameter values.
#include "plug/effect_base.h"

#include "plug/editor_face.h"

namespace {

constexpr int kProgramNameSize = 256;

} // namespace

// ---------------------------------------------------------------- saved state

bool EffectBase::SaveStateChunk(ByteBlock& chunk) {
    // Under the lock: automation and processing on other threads see the state
    // before or after the save, never half of it saved.
    ScopedLock hold(mLock);
    chunk.Clear();
    return SaveState(&chunk) && chunk.Size() > 0;
}

bool EffectBase::LoadStateChunk(ByteBlock& chunk) {
    // Read and made ready first, with no lock held; under the lock the state
    // is only taken in, and the load and the delivery of its values are one
    // step for the audio thread and for parameter changes from other threads.
    std::unique_ptr<PreparedState> state = PrepareState(chunk);
    bool loaded;
    {
        ScopedLock hold(mLock);
        if (state) {
            loaded = TakeState(*state);
        } else {
            loaded = LoadState(&chunk);
            // A load that fails part-way keeps the values it read: the effect
            // hears of whatever the parameters now hold, so its derived state
            // agrees.
            NotifyAllParams();
        }
    }
    // What the load replaced is freed here, with no lock held.
    state.reset();
    StateLoaded();
    return loaded;
}

std::unique_ptr<PreparedState> EffectBase::PrepareState(const ByteBlock&) {
    return nullptr;
}

bool EffectBase::TakeState(PreparedState&) {
    return false;
}

// ---------------------------------------------------------------- parameter values and programs

bool EffectBase::WriteParamValues(ByteBlock& chunk) {
    ScopedLock hold(mLock);
    for (auto& param : mParams)
        if (!chunk.AppendDouble(param->Value())) return false;
    return true;
}

bool EffectBase::ReadParamValues(const ByteBlock& chunk, int& position) {
    ScopedLock hold(mLock);
    for (int32_t i = 0; i < ParamCount(); ++i) {
        double v;
        if (!chunk.ReadDouble(position, v)) return false;
        Param& param = *mParams[size_t(i)];
        param.SetClampedValue(v);
        if (mEditor) mEditor->ShowParamValue(i, param.Value(), false);
        ParamChanged(i);
    }
    return true;
}

void EffectBase::StoreCurrentProgram() {
    ScopedLock hold(mLock);
    if (mCurrentProgram < 0 || mCurrentProgram >= ProgramCount()) return;
    ByteBlock& values = mPrograms[size_t(mCurrentProgram)]->mValues;
    values.Clear();
    WriteParamValues(values);
}

bool EffectBase::RecallProgram(int32_t index) {
    if (index < 0 || index >= ProgramCount()) return false;
    ScopedLock hold(mLock);
    int position = 0;
    ReadParamValues(mPrograms[size_t(index)]->mValues, position);
    mCurrentProgram = index;
    return true;
}

int32_t EffectBase::AddProgram(const char* name) {
    ScopedLock hold(mLock);
    auto program = std::make_unique<Program>();
    CopyText(program->mProgramName, kProgramNameSize, name);
    if (!WriteParamValues(program->mValues)) return -1;
    mPrograms.push_back(std::move(program));
    if (mCurrentProgram < 0) mCurrentProgram = 0;
    return ProgramCount() - 1;
}

bool EffectBase::SetProgramName(const char* name) {
    ScopedLock hold(mLock);
    if (mCurrentProgram < 0 || mCurrentProgram >= ProgramCount()) return false;
    CopyText(mPrograms[size_t(mCurrentProgram)]->mProgramName, kProgramNameSize, name);
    return true;
}

const char* EffectBase::ProgramName(int32_t index) const {
    if (index < 0 || index >= ProgramCount()) return "";
    return mPrograms[size_t(index)]->mProgramName;
}
