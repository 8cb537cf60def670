// The one way the installer starts a thread.
#include "base/thread.h"

// Created suspended, so that it never runs a moment at normal priority before it is lowered.
HANDLE StartThreadAtPriority(LPTHREAD_START_ROUTINE main, void* argument, int priority) {
  HANDLE thread = CreateThread(nullptr, 0, main, argument, CREATE_SUSPENDED, nullptr);
  if (thread == nullptr) return nullptr;
  SetThreadPriority(thread, priority);
  ResumeThread(thread);
  return thread;
}

HANDLE StartThreadAtCallerPriority(LPTHREAD_START_ROUTINE main, void* argument) {
  return StartThreadAtPriority(main, argument, GetThreadPriority(GetCurrentThread()));
}
