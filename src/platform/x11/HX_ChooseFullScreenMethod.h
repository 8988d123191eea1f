#pragma once
// The full-screen capture method the display supports: 2 (change-driven
// monitor capture) when it offers both DAMAGE and MIT-SHM, else 1 (plain
// monitor grab). Asks the display named by DISPLAY; any thread.
int HX_ChooseFullScreenMethod();
