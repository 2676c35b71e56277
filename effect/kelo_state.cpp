// The saved state: the parameter values, the envelope view's scale, the
// shape's section and the options' section (effect/kelo.h tells the layout).
// A load is read, and the memory its reset of the processing needs made
// ready, with no lock held; under the plug-in's lock it is only taken in.
#include <cmath>
#include <memory>
#include <new>

#include "effect/dsp/samples_of.h"
#include "effect/kelo.h"
#include "plug/lock.h"
#include "plug/state_chunk.h"

namespace {

// The options' section of the state: a tag, then the options as bits.
const int32_t kOptionsTag = 0x4B6F7074; // "Kopt"
const int32_t kOptionBothPolarities = 1;
const int32_t kOptionLookahead = 2;
const int32_t kOptionFollowLevel = 4;
const int32_t kOptionReference = 8;
const int32_t kOptionBits =
    kOptionBothPolarities | kOptionLookahead | kOptionFollowLevel | kOptionReference;

} // namespace

// A state as read from its chunk: what LoadState would apply, and cleared
// lines for the reset that follows it.
struct KeloEffect::LoadedState : PreparedState {
    TaggedValues read;
    double values[kParamCount] = {};
    bool envScaleRead = false;
    double envScale = 0.0;
    ShapeModel::SavedView shape;
    int32_t options = 0;
    double reference = 0.0;
    ClearedLines lines;
};

bool KeloEffect::SaveState(ByteBlock* chunk) {
    if (!chunk) return false;
    // Values, scale and shape of one moment: nothing changes while they are read.
    ScopedLock lock(mLock);
    return AppendTaggedState(*this, *chunk, kKeloStateTag, this);
}

bool KeloEffect::LoadState(ByteBlock* chunk) {
    if (!chunk) return false;
    LoadedState state;
    ReadLoaded(*chunk, state);
    // Whole, under the lock: the audio thread and parameter changes see the
    // state before or after the load, never a mixture.
    ScopedLock lock(mLock);
    return TakeLoaded(state, false);
}

std::unique_ptr<PreparedState> KeloEffect::PrepareState(const ByteBlock& chunk) {
    auto state = std::unique_ptr<LoadedState>(new (std::nothrow) LoadedState);
    if (!state) return nullptr;
    ReadLoaded(chunk, *state);
    // The reset after the load clears the lookahead's and the onset search's
    // lines: made cleared here, they are only swapped in under the lock. The
    // length is the one the reset will ask for at the rate now; should the
    // rate change meanwhile, the lines clear their own as before.
    int samples;
    {
        ScopedLock lock(mLock);
        samples = SamplesOf(kLookaheadSeconds, Rate());
    }
    state->lines.Make(LookaheadDelay::kLines + OnsetSearch::kLines, samples);
    return state;
}

bool KeloEffect::TakeState(PreparedState& prepared) {
    auto* state = dynamic_cast<LoadedState*>(&prepared);
    if (!state) return false;
    ScopedLock lock(mLock);
    const bool loaded = TakeLoaded(*state, true);
    // The effect hears every value the parameters now hold (a load that ends
    // part-way keeps those it read), then the processing starts afresh.
    for (int32_t i = 0; i < ParamCount(); ++i)
        ParamChanged(i);
    RestartProcessing(&state->lines);
    return loaded;
}

void KeloEffect::ReadLoaded(const ByteBlock& chunk, LoadedState& state) const {
    state.read = ReadTaggedValues(chunk, kKeloStateTag, ParamCount(), state.values, kParamCount);
    if (!state.read.whole) return;
    int position = state.read.position;
    state.envScaleRead = EnvViewState::ReadViewState(chunk, position, state.envScale);
    ShapeModel::ReadViewState(chunk, position, state.shape);
    ReadOptions(chunk, position, state.options, state.reference);
}

bool KeloEffect::TakeLoaded(const LoadedState& state, bool resetFollows) {
    // A block of another tag changes nothing; one that ends within the values
    // gives those it holds and no sections.
    TakeTaggedValues(*this, state.read, state.values);
    if (state.read.whole) {
        if (state.envScaleRead) mEnvViewState.SetScale(state.envScale);
        // The loaded shape goes to the processing at once (the parameters that
        // follow hand it over again with their own length and threshold).
        mModel.TakeViewState(state.shape);
        mModel.HandShape();
        TakeOptions(state.options, state.reference, resetFollows);
        MarkDirty(mAmpView);
    }
    // A loaded "autofit" is part of the state, not a request to fit. The
    // options' latency reaches the host as a note (SetDelay).
    mAutofitOn = ParamAt(kParamAutofit)->Value() >= 0.5;
    return true;
}

bool KeloEffect::SaveSections(ByteBlock& chunk) {
    const int32_t before = chunk.Size();
    mEnvViewState.SaveViewState(chunk);
    mModel.SaveViewState(chunk);
    const bool options = mBothPolarities || mLookahead || mFollowLevel || mReference > 0.0;
    SaveOptions(chunk);
    // Each section has a fixed size; a short block means an append failed.
    return chunk.Size() == before + 8 + 11 * 8 + (options ? 8 : 0) + (mReference > 0.0 ? 8 : 0);
}

bool KeloEffect::LoadSections(const ByteBlock& chunk, int& position) {
    const bool env = mEnvViewState.LoadViewState(chunk, position);
    const bool shape = mModel.LoadViewState(chunk, position);
    mModel.HandShape();
    int32_t bits;
    double reference;
    ReadOptions(chunk, position, bits, reference);
    TakeOptions(bits, reference, false);
    MarkDirty(mAmpView);
    return env && shape;
}

void KeloEffect::SaveOptions(ByteBlock& chunk) const {
    // A default state ends before the section, as it did before the section
    // was known.
    const bool reference = mReference > 0.0;
    if (!mBothPolarities && !mLookahead && !mFollowLevel && !reference) return;
    const int32_t bits =
        (mBothPolarities ? kOptionBothPolarities : 0) | (mLookahead ? kOptionLookahead : 0) |
        (mFollowLevel ? kOptionFollowLevel : 0) | (reference ? kOptionReference : 0);
    chunk.AppendInt32(kOptionsTag);
    chunk.AppendInt32(bits);
    if (reference) chunk.AppendDouble(mReference);
}

void KeloEffect::ReadOptions(const ByteBlock& chunk, int position, int32_t& bits,
                             double& reference) {
    // Older states end before the section: every option off, as anything
    // that is not a whole, well-formed section leaves them.
    int32_t tag = 0;
    bits = 0;
    reference = 0.0;
    int at = position;
    const bool whole = chunk.ReadInt32(at, tag) && chunk.ReadInt32(at, bits);
    bool good = whole && tag == kOptionsTag && (bits & ~kOptionBits) == 0;
    // A reference is a level: finite and above zero, or the section is bad.
    if (good && (bits & kOptionReference))
        good = chunk.ReadDouble(at, reference) && std::isfinite(reference) && reference > 0.0;
    if (!good) {
        bits = 0;
        reference = 0.0;
    }
}

void KeloEffect::TakeOptions(int32_t bits, double reference, bool resetFollows) {
    mBothPolarities = (bits & kOptionBothPolarities) != 0;
    // The lookahead's glide and its lines' fill are for the audio playing on;
    // a reset that follows starts the delay afresh (and tells the latency).
    const bool lookahead = (bits & kOptionLookahead) != 0;
    if (resetFollows)
        mLookahead = lookahead;
    else
        SwitchLookahead(lookahead);
    SwitchFollowLevel((bits & kOptionFollowLevel) != 0);
    mReference = reference;
}
