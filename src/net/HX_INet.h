#pragma once
// A socket event handler of the event loop. Called on the loop's thread only;
// the loop ignores the results.

class HX_INet {
 public:
  virtual ~HX_INet() = default;
  virtual int handleRead() = 0;
  virtual int handleWrite() = 0;
};
