// The saved-state block shared by effects: an int32 version tag, one double
// (real value) per parameter, then the effect's own sections.
#pragma once

#include <cstdint>

#include "base/byte_block.h"

class EffectBase;

// Extra sections an effect appends after the parameter values.
class StateSections {
public:
    virtual ~StateSections() = default;
    // Appends the sections; false if they could not be stored.
    virtual bool SaveSections(ByteBlock& chunk) = 0;
    // Reads the sections from position on (advancing it); false on failure.
    virtual bool LoadSections(const ByteBlock& chunk, int& position) = 0;
};

// Appends tag, the parameter values and the sections (null: none) to chunk.
// Values are read without the lock. False if something could not be stored.
bool AppendTaggedState(EffectBase& effect, ByteBlock& chunk, int32_t tag, StateSections* sections);

// Reads a block written by AppendTaggedState. A block of 3 bytes or fewer, or
// with another tag, changes nothing and succeeds; a block that ends within the
// values applies what it holds and succeeds. Values are clamped to each
// parameter's range and shown to the editor; ParamChanged is not called. After
// the last value the sections are read; their result is the result.
bool LoadTaggedState(EffectBase& effect, const ByteBlock& chunk, int32_t tag,
                     StateSections* sections);

// The same block's parameter values read with no lock held, to be taken in
// under it: LoadTaggedState in two steps. ReadTaggedValues reads up to
// capacity values (as many as the block holds) into values and says where
// the sections begin; TakeTaggedValues gives them to the parameters (clamped,
// shown to the editor; ParamChanged is not called).
struct TaggedValues {
    bool tagged = false; // the block is of this tag: anything changes at all
    int32_t count = 0;   // values read
    bool whole = false;  // every parameter's value is there: sections follow
    int position = 0;    // where the sections begin
};
TaggedValues ReadTaggedValues(const ByteBlock& chunk, int32_t tag, int32_t params, double* values,
                              int32_t capacity);
void TakeTaggedValues(EffectBase& effect, const TaggedValues& read, const double* values);
