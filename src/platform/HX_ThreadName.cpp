#include "platform/HX_ThreadName.h"

#include <pthread.h>

#include <cstring>

void HX_SetThreadName(const char* name) {
  char buf[16];
  std::strncpy(buf, name, sizeof buf - 1);
  buf[sizeof buf - 1] = '\0';
  pthread_setname_np(pthread_self(), buf);
}
