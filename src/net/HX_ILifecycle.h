#pragma once
// An object whose deletion is deferred to the event loop: it marks itself
// closed and the loop deletes it at its next lifecycle sweep. Loop thread only.
#include "net/LinkNode.h"

class HX_ILifecycle : public LinkNode<HX_ILifecycle> {
 public:
  virtual ~HX_ILifecycle() = default;
  virtual bool isClosed() const { return m_bClosed; }
  // Once set, the flag is never cleared.
  virtual void setClosed() { m_bClosed = true; }

 private:
  bool m_bClosed = false;
};
