#pragma once
// `ostrel --finalize FILE...`: rewrites each recording into a plain MP4 and
// prints one line per file (stdout when it worked, stderr when not). Needs no
// display, sound, configuration or instance lock, so it also runs beside a
// capture run. Main thread only.
#include <string>
#include <vector>

// Finalizes |files| in order; the exit code: 0 when every file was
// rewritten, 1 when any was not.
int VrRunFinalize(const std::vector<std::string>& files);
