// One picture of a whole render: the input waveform, the detector band's
// level with the threshold line and the detected events shaded, and the output
// waveform, over one time axis in seconds (and bars at a given tempo). Any
// length of audio is binned into the picture's width, each column showing the
// lowest and highest sample (or the highest level) of its frames. Drawn with
// the editor's drawing layer, text and colours, into memory: writing the file
// is the caller's business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "editor/types.h"

// One detected event: where its envelope started, how long it ran (frames),
// its highest band level and whether it ran its whole length.
struct PlotEvent {
    int64_t start = 0;
    int64_t length = 0;
    double peak = 0.0;
    bool full = true;
};

// What a render leaves for its picture. The arrays are not owned.
struct RenderTrace {
    const float* input = nullptr;  // interleaved stereo, 2 * frames samples
    const float* output = nullptr; // interleaved stereo, 2 * frames samples
    const float* band = nullptr;   // the detector band's level, one per frame
    size_t frames = 0;
    double rate = 48000.0;
    double threshold = 0.0; // as a band level
    double tempo = 0.0;     // beats per minute; 0 draws no bars
    int beatsPerBar = 4;
    std::vector<PlotEvent> events;
    std::string caption; // top right, dimmed; may be empty
};

// A column's lowest and highest value.
struct ColumnSpan {
    float lo = 0.0f;
    float hi = 0.0f;
};

// The column (0..columns-1) frame falls in when frames frames are spread over
// columns columns, and the first frame of a column (frames for columns).
int ColumnOf(size_t frame, size_t frames, int columns);
size_t FirstFrameOf(int column, size_t frames, int columns);

// Per column, the lowest and highest of the samples of its frames, all
// channels together (samples interleaved). A column without frames (more
// columns than frames) repeats the one before. Not-a-number samples are
// skipped (a column of nothing else is 0); infinities are held at the float's
// largest value.
std::vector<ColumnSpan> BinColumns(const float* samples, size_t frames, int channels, int columns);

// The picture's geometry, its columns and its scales.
struct PlotLayout {
    static constexpr int kMinWidth = 400, kMinHeight = 240;
    static constexpr int kMaxWidth = 16000, kMaxHeight = 8000;

    // The three plot areas (the wells' insides), left to right the same columns.
    Rect input, band, output;
    int width = 0, height = 0;
    double waveScale = 1.0; // amplitude at the waveform panels' top and bottom
    double bandScale = 1.0; // level at the band panel's top
    // The trace binned into the columns (all zero without samples).
    std::vector<ColumnSpan> inputColumns, outputColumns, bandColumns;

    // Sizes outside kMin..kMax are limited to them. Bins the trace once.
    PlotLayout(int width, int height, const RenderTrace& trace);

    int Columns() const { return band.W(); }
    // Row of a band level in the band panel, as the editor's detect panel
    // places it: levels at or below 0 on the bottom row's edge, at or above the
    // scale on the top.
    int BandRow(double level) const;
    // Row of an amplitude in a waveform panel (0 on the centre row).
    int WaveRow(const Rect& panel, double amplitude) const;
};

// Draws the picture into pixels (width * height words 0xAARRGGBB, top row
// first), sized as the layout says. Returns the layout used; an empty trace
// draws the frame and scales alone.
PlotLayout DrawRenderPlot(const RenderTrace& trace, int width, int height,
                          std::vector<uint32_t>& pixels);

// The pixels as a PNG file's bytes (empty on failure).
std::vector<uint8_t> EncodePlotPng(const std::vector<uint32_t>& pixels, const PlotLayout& layout);
