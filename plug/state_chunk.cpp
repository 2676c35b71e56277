#include "plug/state_chunk.h"

#include "plug/editor_face.h"
#include "plug/effect_base.h"

bool AppendTaggedState(EffectBase& effect, ByteBlock& chunk, int32_t tag, StateSections* sections) {
    if (!chunk.AppendInt32(tag)) return false;
    for (int32_t i = 0; i < effect.ParamCount(); ++i)
        if (!chunk.AppendDouble(effect.ParamAt(i)->Value())) return false;
    return sections ? sections->SaveSections(chunk) : true;
}

bool LoadTaggedState(EffectBase& effect, const ByteBlock& chunk, int32_t tag,
                     StateSections* sections) {
    // Too short for a tag, or another version: accepted, nothing changes.
    int position = 0;
    int32_t found = 0;
    if (!chunk.ReadInt32(position, found) || found != tag) return true;

    EditorFace* editor = effect.GetEditor();
    for (int32_t i = 0; i < effect.ParamCount(); ++i) {
        double v;
        // A block that ends early restores what it holds.
        if (!chunk.ReadDouble(position, v)) return true;
        Param& param = *effect.ParamAt(i);
        param.SetClampedValue(v);
        if (editor) editor->ShowParamValue(i, param.Normalized(), true);
    }
    return sections ? sections->LoadSections(chunk, position) : true;
}

TaggedValues ReadTaggedValues(const ByteBlock& chunk, int32_t tag, int32_t params, double* values,
                              int32_t capacity) {
    TaggedValues read;
    int32_t found = 0;
    if (!chunk.ReadInt32(read.position, found) || found != tag) return read;
    read.tagged = true;
    const int32_t wanted = params < capacity ? params : capacity;
    while (read.count < wanted && chunk.ReadDouble(read.position, values[read.count]))
        ++read.count;
    read.whole = read.count == params;
    return read;
}

void TakeTaggedValues(EffectBase& effect, const TaggedValues& read, const double* values) {
    EditorFace* editor = effect.GetEditor();
    for (int32_t i = 0; i < read.count && i < effect.ParamCount(); ++i) {
        Param& param = *effect.ParamAt(i);
        param.SetClampedValue(values[i]);
        if (editor) editor->ShowParamValue(i, param.Normalized(), true);
    }
}
