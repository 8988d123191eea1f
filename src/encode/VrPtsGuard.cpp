#include "encode/VrPtsGuard.h"

extern "C" {
#include <libavutil/mathematics.h>
}

#include "log/HX_Log.h"

VrPtsGuard::Verdict VrPtsGuard::Admit(int64_t ms, int64_t* slot) {
  // A tick belongs to the slot of the deadline it ran late for: rounding
  // down keeps a late tick and the catch-up tick after it apart.
  const int64_t own = av_rescale_rnd(ms, m_iFps, 1000, AV_ROUND_DOWN);
  if (!m_bHaveLast || own > m_llLast) {
    m_bHaveLast = true;
    m_llLast = own;
    m_bDropping = false;
    *slot = own;
    return Verdict::kAsIs;
  }
  // Compared in units of 1/(1000 * fps) s: the next slot's start against
  // the picture's own time.
  const int64_t next = m_llLast + 1;
  if (next * 1000 - ms * m_iFps < 1000) {
    m_llLast = next;
    m_bDropping = false;
    *slot = next;
    return Verdict::kMoved;
  }
  ++m_ullDropped;
  if (!m_bDropping) {
    m_bDropping = true;
    HX_LOG_WARNING("%s: a picture of %lld ms has no free frame slot within a frame of its time; "
                   "pictures are dropped until time advances (%llu dropped so far)",
                   m_strWhat.c_str(), static_cast<long long>(ms),
                   static_cast<unsigned long long>(m_ullDropped));
  }
  return Verdict::kDropped;
}

void VrPtsGuard::Reset() {
  m_bHaveLast = false;
  m_bDropping = false;
}
