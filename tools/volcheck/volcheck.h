// volcheck: sets the codec's output volume to the volume knob's position, or to the level given
// as its only argument. Run before the recorder starts, never while it runs.
#pragma once

#include <optional>

// The level given on the command line: with exactly one argument, its decimal value (atoi, so
// anything that is not a number gives 0); otherwise nothing, and the knob is read.
std::optional<int> LevelFromArguments(int argc, const char* const* argv);

// The whole program after the os seam is set up. Returns the exit status: 0, or 255 when the
// knob was to be read and the accelerometer device cannot be opened.
int volcheck_main(int argc, const char* const* argv);
