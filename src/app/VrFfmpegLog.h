#pragma once
// Sends FFmpeg's own messages into Ostrel's log: warnings and errors become
// WARNING/ERROR lines, chatter (encoder statistics and the like) is dropped.
// Install once at start-up, before any codec opens.
void VrInstallFfmpegLogBridge();
