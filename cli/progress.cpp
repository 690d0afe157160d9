// progress.cpp: the progress line
#include "progress.h"

#include <unistd.h>

using Clock = std::chrono::steady_clock;

void StartProgress(Progress* p, bool enabled, long total) {
    p->Enabled = enabled;
    p->Terminal = isatty(fileno(p->Out)) != 0;
    p->Total = total;
    p->Start = p->LastShown = Clock::now();
}

double FramesPerSecond(const Progress& p, long done) {
    const double seconds = std::chrono::duration<double>(Clock::now() - p.Start).count();
    return seconds > 0 ? done / seconds : 0.0;
}

static void Print(Progress* p, long done, bool last) {
    const double fps = FramesPerSecond(*p, done);
    char line[240];
    int n = snprintf(line, sizeof line, "tessival: frame %ld", done);
    if (p->Total >= 0 && !last) n += snprintf(line + n, sizeof line - n, "/%ld", p->Total);
    n += snprintf(line + n, sizeof line - n, ", %.2f fps", fps);
    if (p->Total > done && fps > 0 && !last) {
        const long left = long((p->Total - done) / fps + 0.5);
        n += snprintf(line + n, sizeof line - n, ", %ld:%02ld:%02ld left", left / 3600,
                      left / 60 % 60, left % 60);
    }
    if (!p->Note.empty()) n += snprintf(line + n, sizeof line - n, ", %s", p->Note.c_str());
    if (p->Terminal)
        fprintf(p->Out, "\r%s\x1b[K%s", line, last ? "\n" : "");
    else
        fprintf(p->Out, "%s\n", line);
    fflush(p->Out);
}

void ShowProgress(Progress* p, long done) {
    if (!p->Enabled) return;
    const Clock::time_point now = Clock::now();
    const double since = std::chrono::duration<double>(now - p->LastShown).count();
    if (since < (p->Terminal ? 0.25 : 5.0)) return;
    p->LastShown = now;
    Print(p, done, false);
}

void FinishProgress(Progress* p, long done) {
    if (p->Enabled) Print(p, done, true);
}
