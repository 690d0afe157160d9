// progress.h: frame count, frames per second and time left, on one refreshed stderr line
#pragma once

#include <stdio.h>

#include <chrono>
#include <string>

struct Progress {
    bool Enabled = false;
    bool Terminal = false;  // redraw one line with \r; otherwise a new line every few seconds
    long Total = -1;        // frames expected, -1 when unknown
    std::chrono::steady_clock::time_point Start;
    std::chrono::steady_clock::time_point LastShown;
    FILE* Out = stderr;
    std::string Note;  // shown after the rate: the noise and strength in use, say
};

void StartProgress(Progress* p, bool enabled, long total);
// Called after each frame; redraws at most a few times a second.
void ShowProgress(Progress* p, long done);
// The last line: frames and average rate.
void FinishProgress(Progress* p, long done);
// Average frames per second since StartProgress.
double FramesPerSecond(const Progress& p, long done);
