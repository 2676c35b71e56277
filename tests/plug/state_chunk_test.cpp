// The tagged saved-state block: tag, one double per parameter, then sections.
#include <cmath>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "plug/state_chunk.h"
#include "tests/plug/test_effect.h"

namespace {

constexpr int32_t kTag = 1011;

// Two sections: one double, then a length-prefixed list of bytes.
class RecordingSections : public StateSections {
public:
    bool SaveSections(ByteBlock& chunk) override {
        ++mSaves;
        return chunk.AppendDouble(mView) && chunk.AppendInt32(3) && chunk.AppendBytes("xyz", 3);
    }
    bool LoadSections(const ByteBlock& chunk, int& position) override {
        mLoadPosition = position;
        int32_t count = 0;
        return !mFail && chunk.ReadDouble(position, mView) && chunk.ReadInt32(position, count) &&
               count == 3;
    }
    double mView = 0.5;
    int mSaves = 0;
    int mLoadPosition = -1;
    bool mFail = false;
};

ByteBlock Block(int32_t tag, const std::vector<double>& values) {
    ByteBlock block;
    block.AppendInt32(tag);
    for (double v : values)
        block.AppendDouble(v);
    return block;
}

std::vector<double> Values(EffectBase& fx) {
    std::vector<double> values;
    for (int32_t i = 0; i < fx.ParamCount(); ++i)
        values.push_back(fx.ParamAt(i)->Value());
    return values;
}

} // namespace

TEST(SavedState, ABlockStartsWithItsTagThenTheValuesThenTheSections) {
    TestEffect fx(11);
    RecordingSections sections;
    ByteBlock chunk;
    ASSERT_TRUE(AppendTaggedState(fx, chunk, kTag, &sections));
    ASSERT_GE(chunk.Size(), 100);
    EXPECT_EQ(chunk.Size(), 4 + 11 * 8 + 8 + 4 + 3);
    const uint8_t tag[4] = {0xF3, 0x03, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(chunk.Bytes(), tag, 4), 0);
    EXPECT_EQ(sections.mSaves, 1);
    ByteBlock bare;
    ASSERT_TRUE(AppendTaggedState(fx, bare, kTag, nullptr));
    EXPECT_EQ(bare.Size(), 4 + 11 * 8);
}

TEST(SavedState, SavingChangingEverythingAndLoadingRestoresEveryValueExactly) {
    TestEffect fx(11);
    for (int32_t i = 0; i < 11; ++i)
        fx.ParamAt(i)->SetClampedValue(std::sqrt(double(i)) - 1.7);
    const std::vector<double> saved = Values(fx);
    RecordingSections sections;
    ByteBlock chunk;
    ASSERT_TRUE(AppendTaggedState(fx, chunk, kTag, &sections));
    for (int32_t i = 0; i < 11; ++i)
        fx.ParamAt(i)->SetFromNormalized(0.9);
    sections.mView = 0.0;
    auto* editor = new TestEditor(&fx, &fx.mLog);
    fx.SetEditor(editor);
    fx.mLog.clear();

    ASSERT_TRUE(LoadTaggedState(fx, chunk, kTag, &sections));
    EXPECT_EQ(Values(fx), saved);
    EXPECT_EQ(sections.mLoadPosition, 4 + 11 * 8);
    EXPECT_EQ(sections.mView, 0.5);
    EXPECT_DOUBLE_EQ(editor->mShown[10], fx.ParamAt(10)->Normalized());
    // Only the editor hears of it here; the effect is told afterwards by the caller.
    for (const std::string& call : fx.mLog)
        EXPECT_EQ(call.rfind("show", 0), 0u) << call;
    EXPECT_EQ(fx.mLog.size(), 11u);
}

TEST(SavedState, ShortOrForeignBlocksSucceedAndChangeNothing) {
    TestEffect fx(3);
    fx.ParamAt(0)->SetClampedValue(4.0);
    RecordingSections sections;
    ByteBlock empty;
    EXPECT_TRUE(LoadTaggedState(fx, empty, kTag, &sections));
    ByteBlock three;
    three.AppendBytes("\xF3\x03\x00", 3);
    EXPECT_TRUE(LoadTaggedState(fx, three, kTag, &sections));
    EXPECT_TRUE(LoadTaggedState(fx, Block(1012, {1, 2, 3}), kTag, &sections));
    EXPECT_EQ(Values(fx), (std::vector<double>{4.0, 0.0, 0.0}));
    EXPECT_EQ(sections.mLoadPosition, -1);
}

TEST(SavedState, ATruncatedBlockAppliesTheValuesItHolds) {
    TestEffect fx(11);
    for (int32_t i = 0; i < 11; ++i)
        fx.ParamAt(i)->SetClampedValue(1.5);
    RecordingSections sections;
    ByteBlock block = Block(kTag, {-1, -2, -3});
    block.AppendBytes("\1\2\3\4\5", 5);
    EXPECT_TRUE(LoadTaggedState(fx, block, kTag, &sections));
    std::vector<double> expected(11, 1.5);
    expected[0] = -1;
    expected[1] = -2;
    expected[2] = -3;
    EXPECT_EQ(Values(fx), expected);
    EXPECT_EQ(sections.mLoadPosition, -1);
}

TEST(SavedState, LoadedValuesAreClampedAndNaNKeepsTheCurrentValue) {
    TestEffect fx(3);
    fx.ParamAt(2)->SetClampedValue(6.0);
    EXPECT_TRUE(LoadTaggedState(fx, Block(kTag, {1e9, -INFINITY, NAN}), kTag, nullptr));
    EXPECT_EQ(Values(fx), (std::vector<double>{10.0, -10.0, 6.0}));
}

TEST(SavedState, AFailingSectionFailsTheLoadAndKeepsTheValuesRead) {
    TestEffect fx(2);
    RecordingSections sections;
    sections.mFail = true;
    EXPECT_FALSE(LoadTaggedState(fx, Block(kTag, {2, 3}), kTag, &sections));
    EXPECT_EQ(Values(fx), (std::vector<double>{2.0, 3.0}));
    sections.mFail = false;
    // Values complete but the sections missing: the sections report the failure.
    EXPECT_FALSE(LoadTaggedState(fx, Block(kTag, {4, 5}), kTag, &sections));
    EXPECT_EQ(Values(fx), (std::vector<double>{4.0, 5.0}));
    EXPECT_TRUE(LoadTaggedState(fx, Block(kTag, {6, 7}), kTag, nullptr));
}

TEST(SavedState, AFailedAllocationIsReportedWhenSaving) {
    TestEffect fx(2);
    struct Failing {
        static void* Null(void*, size_t) { return nullptr; }
        static void* NullMalloc(size_t) { return nullptr; }
    };
    ByteBlock chunk;
    const ByteBlockAllocator previous = SetByteBlockAllocator({Failing::Null, Failing::NullMalloc});
    const bool saved = AppendTaggedState(fx, chunk, kTag, nullptr);
    SetByteBlockAllocator(previous);
    EXPECT_FALSE(saved);
    EXPECT_EQ(chunk.Size(), 0);
}
