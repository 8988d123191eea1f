#pragma once
// The one-line status under the start button while a run is up: clients
// connected, pictures per second sent, kbit/s, the recording's file name and
// the publisher's state (kbit/s sent or reconnecting, packets dropped),
// computed from two samples of the run's counters. UI thread only.
#include <QCoreApplication>
#include <QString>
#include <cstdint>

#include "app/VrCaptureRun.h"

class VrRunStatus {
  Q_DECLARE_TR_FUNCTIONS(VrRunStatus)

 public:
  // Forgets the previous sample (a new run starts from zero).
  void reset() { m_bHavePrevious = false; }
  // The status line for |counters| taken at |nowMs|; rates are over the time
  // since the previous sample (zero for the first one).
  QString update(const VrRunCounters& counters, int64_t nowMs, bool privateProtocol);

 private:
  bool m_bHavePrevious = false;
  VrRunCounters m_stPrevious;
  int64_t m_llPreviousMs = 0;
};
