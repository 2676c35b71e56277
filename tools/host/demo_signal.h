// The harness's demo signal: a few seconds of drum-like hits over a sustained
// tone, for renders and for editors that should show something.
#pragma once

#include <vector>

// Four seconds of hits over a tone that rings on after the last hit,
// interleaved stereo at rate Hz, peaking at -1 dBFS.
std::vector<float> DemoSignal(double rate);
