// A labelled scale beside a display's graph: a time axis in seconds or an
// amplitude axis labelled in decibels. The ticks and their texts are worked
// out once when the display's range changes, and drawn with the editor's text
// and line operations on every pass.
//
// Building ticks allocates: the scales live on the editor thread only.
#pragma once

#include "base/byte_block.h"
#include "draw/paint.h"
#include "editor/types.h"

class Editor;

class AxisScale {
public:
    // Every label, including its terminating zero, fits in this many chars.
    static constexpr int kLabelSize = 32;

    // Appends a tick at position (0 at the axis start, 1 at its end) with a
    // copy of label (cut to 31 chars; null is empty). Returns the tick count,
    // unchanged when the tick could not be stored.
    int AddTick(double position, const char* label);

    // Time text of seconds into out (kLabelSize chars): "m:ss", "m:ss.hh",
    // and with secondsOnly the seconds within the minute, "s" or "s.hh".
    // Hundredths are rounded; a negative time that does not show as zero
    // reads with a leading minus.
    static void FormatTime(double seconds, bool withHundredths, char* out, bool secondsOnly);
    // Level text into out (kLabelSize chars): "+0.0 dB", "-3.0 dB", "-oo dB"
    // below -144 dB; the unit only withUnit.
    static void FormatDb(double db, bool withUnit, char* out);

    // A time axis from sample position start to end at rate samples per
    // second. Ticks fall on round steps of 1, 2 or 5 times a power of ten,
    // none within mMinGap of either end; those near the ends go unlabelled.
    // An empty or reversed range, or a rate that is zero or not finite, makes
    // no tick.
    void BuildTimeTicks(double start, double end, double rate, bool secondsOnly);
    // An axis linear in amplitude from lo to hi, ticked every 3 dB below the
    // end levels on each side of zero until the ticks crowd closer than
    // mMinGap (or fall below -144 dB), with a "-oo" tick at zero when the
    // range spans it. An empty or reversed range makes no tick.
    void BuildAmpTicks(double lo, double hi, bool withUnit);

    // The scale beside rect: the labels in text style (whose alignment each
    // call sets) and the grid lines in lineColor, under the time axis above or
    // below the rect, the level axis left or right of it, and the centred
    // level axis (zero in the middle, mirrored) left or right of it. True when
    // every drawing call succeeded; a failed call does not stop the others.
    bool DrawTimeScale(Editor* graphics, const TextStyle& style, const Rect& rect,
                       const Color& lineColor, bool above) const;
    bool DrawLevelScale(Editor* graphics, const TextStyle& style, const Rect& rect,
                        const Color& lineColor, bool left) const;
    bool DrawCentredScale(Editor* graphics, const TextStyle& style, const Rect& rect,
                          const Color& lineColor, bool left) const;

    // The x of time tick index when the scale is drawn across rect (the
    // column DrawTimeScale draws its grid line in).
    int TimeTickX(int index, const Rect& rect) const;
    int TickCount() const { return mTicks.Size() / kTickBytes; }
    // The tick's position, or 0 for an index out of range.
    float TickPosition(int index) const;
    // The tick's label, or "" for an index out of range.
    const char* TickLabel(int index) const;
    const char* FirstLabel() const { return mFirstLabel; }
    const char* LastLabel() const { return mLastLabel; }

    // Ticks: 36-byte entries, a 32-bit float position then the label.
    ByteBlock mTicks;
    char mFirstLabel[kLabelSize] = "";
    char mLastLabel[kLabelSize] = "";
    // Share of the axis length kept free at each end and between level
    // ticks; set by the owning display.
    double mMinGap = 0.0;

private:
    static constexpr int kTickBytes = 4 + kLabelSize;
};
