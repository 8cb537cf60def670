// Fault injection for the Windows test programs: the program rewrites its own import address
// table, so that the installer's code linked into it calls the system through wrappers that
// count every call and make one chosen call fail or lie. The installer's own bytes are
// unchanged. While the kit is not armed the wrappers only pass calls on; while armed, a rename
// over a read-only file and the removal of a read-only folder are refused as Windows refuses
// them (Wine allows both, and keeps no read-only attribute on folders).
#pragma once
#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace fault {

enum Mode {
  kCount,     // pass every call on, count them
  kFail,      // the k-th call fails with a plausible error (a copy or write after writing part)
  kFailNamed, // the k-th call of one function fails, as kFail (ArmNamed)
  kShortNamed,  // the k-th call of one function (a write, read or copy) does half its work and
                // reports a whole success (ArmNamed)
  kFailFirst,   // the first k calls of one function fail with one chosen error (ArmFirst)
  kLie,       // the k-th deletion or removal reports success and the entry stays (and every
              // later deletion of that entry reports success again)
  kLieHidden  // as kLie, and the entry then reads as "not found" while searches still list it
};

// Patches the running program's import address table once (later calls do nothing).
void Install();

// Starts counting with this plan; k counts from 1 (calls for kFail, deletions for the lies);
// with kFail, call also fails too (0: none).
void Arm(Mode mode, long k, long also = 0);
// Starts counting; the k-th call of function (every call for k = 0) fails or lies (kFailNamed,
// kShortNamed); then, when given, the thenK-th call of then (every call for 0) fails as well (a
// fault in the clean-up after the first).
void ArmNamed(Mode mode, const char* function, long k, const char* then = "", long thenK = 0);
// Starts counting; the first k calls of function (every call for k = 0) fail with error.
void ArmFirst(const char* function, long k, DWORD error);
// The folders that read as read-only while armed, until an attribute without it is set (Wine
// keeps none on folders); an empty list for none.
void SetReadOnlyFolders(const std::vector<std::string>& folders);
// Stops counting; the wrappers pass calls on again.
void Disarm();

long Calls();      // injectable calls since Arm
long Deletions();  // deletions and removals since Arm (each also counts as a call)
std::map<std::string, long> CallsByFunction();  // the calls since Arm, by function ("@thread": on
                                                // a thread the procedure started)
long Injected();   // how many planned faults were injected
std::string InjectedWhere();  // "FunctionName(path)" of the injected call

// An effect on the machine seen while armed: function, and the full path of a file or the key
// ("HKLM\..." / "HKCU\...") it wrote, created, renamed or removed; for PostMessageA, the message
// as "WM_COMMAND id lParam" (posts are recorded, never failed or counted as calls).
struct Effect {
  std::string function;
  std::string path;
};
std::vector<Effect> Effects();

}  // namespace fault
