// How often each Windows rule of the simulated machine has fired: every place
// where the machine ends, overrules or fails the agent by a documented rule
// counts itself here under the rule's name. A rule that decides every call of
// its kind (where a sent message is delivered, which window may get a block
// reason) counts each call it decided. The explorer prints the counts
// and holds every rule to a minimum; tests may read them too.
#pragma once
#include <cstdint>
#include <map>
#include <string>

namespace fake::rules {

// Rule names, one per documented rule.
inline constexpr const char* kVistaVetoEnds = "Vista: window-less program that vetoes is ended";
inline constexpr const char* kVistaLateEnds = "Vista: window-less program answering after 5 s is ended";
inline constexpr const char* kXpWaits = "XP: a program that holds the session end back is waited for";
inline constexpr const char* kReasonOtherThread = "ShutdownBlockReasonCreate: only a window of the calling thread";
inline constexpr const char* kSentDuringCom = "Sent message delivered inside a COM call";
inline constexpr const char* kSentHeldBySleep = "Sent message waits while the thread sleeps";
inline constexpr const char* kForceIgnoredUnderTs = "ExitWindowsEx: EWX_FORCE has no effect with Terminal Services";
inline constexpr const char* kNotAllAssigned = "AdjustTokenPrivileges: ERROR_NOT_ALL_ASSIGNED";
inline constexpr const char* kExitWindowsRefused = "ExitWindowsEx: shutdown refused without the privilege";
inline constexpr const char* kDeletePending = "CREATE_NEW on a delete-pending name: ERROR_ACCESS_DENIED";
inline constexpr const char* kFolderDenied = "Folder the user cannot write: ERROR_ACCESS_DENIED";
inline constexpr const char* kProfileSystemCodePage = "Profile file without BOM: system code page";
inline constexpr const char* kSnapshotBadLength = "CreateToolhelp32Snapshot: ERROR_BAD_LENGTH";
inline constexpr const char* kPidReused = "Process identifier reused after its process ended";

inline constexpr const char* kAll[] = {
    kVistaVetoEnds, kVistaLateEnds, kXpWaits, kReasonOtherThread, kSentDuringCom, kSentHeldBySleep,
    kNotAllAssigned, kExitWindowsRefused, kForceIgnoredUnderTs, kDeletePending, kFolderDenied, kProfileSystemCodePage,
    kSnapshotBadLength, kPidReused};

void Fired(const char* rule);
std::map<std::string, std::uint64_t>& Counts();

}  // namespace fake::rules
