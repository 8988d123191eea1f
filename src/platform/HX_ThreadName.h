#pragma once
// Names the calling thread as tools like top -H and gdb show it (at most 15
// characters are kept). Call first thing in a thread's body.
void HX_SetThreadName(const char* name);
