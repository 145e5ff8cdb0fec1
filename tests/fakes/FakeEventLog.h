// The simulated System event log. It keeps a list of events, turns each into
// the bytes of a real EVENTLOGRECORD (UTF-16 strings, DWORD padding, trailing
// length) and hands them out the way ReadEventLogW does for a sequential
// backwards read: newest first, whole records only, ERROR_INSUFFICIENT_BUFFER
// with the bytes needed when the next record alone does not fit, and
// ERROR_HANDLE_EOF once every record has been read. It also stands in for
// user32.dll loaded as a data file, formatting messages from its table.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>
#include "platform/EventLog.h"

namespace fake {

// One event as the log would hold it.
struct FakeEvent {
    std::wstring source = L"User32";
    // The full 32-bit ID, qualifier bits included (User32's 1074 is logged as
    // 0x80000432).
    std::uint32_t eventId = 0x80000432u;
    std::uint16_t eventType = 4;  // EVENTLOG_INFORMATION_TYPE
    std::uint16_t category = 0;
    // Seconds since 1970-01-01 00:00 UTC.
    std::uint32_t timeGenerated = 0;
    // 0: the same as timeGenerated.
    std::uint32_t timeWritten = 0;
    std::wstring computer = L"QVPC01";
    std::vector<std::uint8_t> sid;
    std::vector<std::wstring> strings;
    std::vector<std::uint8_t> data;
};

// Size of the fixed part of EVENTLOGRECORD.
constexpr std::uint32_t kEventLogRecordFixedSize = 56;
constexpr std::uint32_t kEventLogRecordMagic = 0x654c664cu;  // 'LfLe'
// User32's 1074 as it stands in the log and in user32's message table.
constexpr std::uint32_t kUser32ShutdownEventId = 0x80000432u;

// The English text of that message, with its insertion places.
extern const wchar_t* const kUser32ShutdownMessage;

class FakeEventLog : public platform::IEventLog {
public:
    FakeEventLog();

    // --- contents ---
    // The System log, oldest first; appending adds a newer event.
    std::vector<FakeEvent> events;
    // Appends an event (the newest).
    FakeEvent& Add(FakeEvent event);
    // A User32 1074 record as Windows writes it: the seven insertion strings
    // (process, computer, reason, reason code, shutdown type, comment, user).
    static FakeEvent Shutdown1074(std::uint32_t timeGenerated, const std::wstring& shutdownType,
                                  const std::wstring& user = L"QVPC01\\jsmith");
    // The record number the oldest event gets; the rest follow on.
    std::uint32_t firstRecordNumber = 1;

    // Serves these bytes, as they stand, as the first block of every handle
    // opened from now on (then ERROR_HANDLE_EOF), instead of the events: for
    // hand-made and malformed blocks. The bytes needed for a buffer too small
    // for it are its whole size.
    std::optional<std::vector<std::uint8_t>> rawBlock;

    // --- failure hooks ---
    bool openFails = false;      // OpenEventLogW gives no handle
    bool loadFails = false;      // LoadLibraryExW gives no module
    // When set, every read fails with this error.
    std::optional<std::uint32_t> readError;
    // Runs as each read begins: the log changing between two reads.
    std::function<void()> beforeRead;

    // --- the Application log: what was reported to it ---
    struct Reported {
        std::wstring source;
        std::uint16_t type = 0;
        std::uint32_t eventId = 0;
        std::vector<std::wstring> strings;
    };
    std::vector<Reported> reported;
    // Event sources registered and not deregistered yet.
    std::set<platform::Handle> sources;
    bool registerFails = false;                 // RegisterEventSourceW gives no handle
    std::optional<std::uint32_t> reportError;   // every ReportEventW fails with it

    // --- user32's message table: full message ID -> template ---
    std::map<std::uint32_t, std::wstring> messageTable;

    // --- what was done ---
    // When set, every call is appended here ("OpenEventLog SYSTEM", ...).
    std::vector<std::string>* journal = nullptr;
    int opens = 0, closes = 0, reads = 0, loads = 0, formats = 0;
    // Sizes of the buffers of every read, in order.
    std::vector<std::uint32_t> readSizes;
    // Flags of every FormatMessage call, in order.
    std::vector<std::uint32_t> formatFlags;
    // Handles opened and not closed yet.
    std::set<platform::Handle> openLogs;
    // Modules handed out by LoadLibraryAsDataFile.
    std::set<platform::Handle> modules;

    // --- building blocks (also used by tests and the fuzz seeds) ---
    // The bytes of one record.
    static std::vector<std::uint8_t> BuildRecord(const FakeEvent& event, std::uint32_t recordNumber);
    // Records of the given events, newest first, as one read would give them
    // (no size limit).
    static std::vector<std::uint8_t> BuildBlock(const std::vector<FakeEvent>& newestFirst,
                                                std::uint32_t firstRecordNumber = 1);
    // Wide text as UTF-16 code units (surrogate pairs where wchar_t is wider).
    static std::vector<std::uint16_t> ToUtf16(const std::wstring& text);

    // FormatMessageW's treatment of one template: %1..%99 from `arguments`,
    // %n as CR LF, %% and the other escapes. An insert past the arguments is
    // empty (the seam passes 99 entries); nothing at all when there is no
    // argument array.
    static std::optional<std::wstring> Expand(const std::wstring& templ, std::uint32_t flags,
                                              const std::vector<std::wstring>* arguments);

    // IEventLog
    platform::Handle Open(const std::wstring& source) override;
    std::uint32_t Read(platform::Handle log, std::uint32_t flags, std::uint32_t offset,
                       std::uint8_t* buffer, std::uint32_t size, std::uint32_t* read,
                       std::uint32_t* needed) override;
    void Close(platform::Handle log) override;
    platform::Handle LoadLibraryAsDataFile(const std::wstring& path) override;
    std::optional<std::wstring> FormatMessage(std::uint32_t flags, platform::Handle module,
                                              std::uint32_t messageId,
                                              const std::vector<std::wstring>* arguments) override;
    platform::Handle RegisterSource(const std::wstring& source, std::uint32_t* error) override;
    std::uint32_t Report(platform::Handle source, std::uint16_t type, std::uint32_t eventId,
                         const std::vector<std::wstring>& strings) override;
    void DeregisterSource(platform::Handle source) override;

private:
    struct Reader {
        bool system = false;  // the System log (other names read as empty)
        bool rawServed = false;
        bool useRaw = false;
        std::size_t nextNewest = 0;  // how many of the newest events were read
    };
    void Note(const std::string& line);
    std::map<platform::Handle, Reader> readers_;
    std::map<platform::Handle, std::wstring> sourceNames_;
    platform::Handle nextHandle_ = 0x100;
};

}  // namespace fake
