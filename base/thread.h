// Starting the installer's threads.
#pragma once
#include <windows.h>

// Starts main(argument) on a new thread that runs at the priority of the calling thread (the
// install worker runs below normal, so that the window thread always gets a processor; a thread
// it starts must not run above it). The thread's handle, or null when it could not be made.
HANDLE StartThreadAtCallerPriority(LPTHREAD_START_ROUTINE main, void* argument);
// The same at the given priority (THREAD_PRIORITY_*), from its first instruction on.
HANDLE StartThreadAtPriority(LPTHREAD_START_ROUTINE main, void* argument, int priority);
