// The System event log, read as raw EVENTLOGRECORD blocks, and the message
// module its texts are formatted from; and the agent's own entries in the
// Application log.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>
#include "platform/Types.h"

namespace platform {

constexpr std::uint32_t EventlogSequentialRead = 0x0001;
constexpr std::uint32_t EventlogBackwardsRead = 0x0008;

constexpr std::uint32_t FormatMessageAllocateBuffer = 0x0100;
constexpr std::uint32_t FormatMessageIgnoreInserts = 0x0200;
constexpr std::uint32_t FormatMessageFromHModule = 0x0800;
constexpr std::uint32_t FormatMessageFromSystem = 0x1000;
constexpr std::uint32_t FormatMessageArgumentArray = 0x2000;

constexpr std::uint16_t EventlogErrorType = 0x0001;
constexpr std::uint16_t EventlogWarningType = 0x0002;
constexpr std::uint16_t EventlogInformationType = 0x0004;

class IEventLog {
public:
    virtual ~IEventLog() = default;

    // OpenEventLogW(NULL, source). 0 on failure.
    virtual Handle Open(const std::wstring& source) = 0;

    // ReadEventLogW(log, flags, offset, buffer, size, &read, &needed): 0 on
    // success, else the Win32 error (ERROR_INSUFFICIENT_BUFFER with *needed,
    // ERROR_HANDLE_EOF at the end). The buffer holds at least `size` bytes.
    virtual std::uint32_t Read(Handle log, std::uint32_t flags, std::uint32_t offset,
                               std::uint8_t* buffer, std::uint32_t size, std::uint32_t* read,
                               std::uint32_t* needed) = 0;

    virtual void Close(Handle log) = 0;

    // LoadLibraryExW(path, NULL, LOAD_LIBRARY_AS_DATAFILE). 0 on failure.
    virtual Handle LoadLibraryAsDataFile(const std::wstring& path) = 0;

    // FormatMessageW(flags, module, messageId, 0, &text, 0, arguments):
    // the allocated text, or nothing when the call produced none. `arguments`
    // is used only with FORMAT_MESSAGE_ARGUMENT_ARRAY.
    virtual std::optional<std::wstring> FormatMessage(std::uint32_t flags, Handle module,
                                                      std::uint32_t messageId,
                                                      const std::vector<std::wstring>* arguments) = 0;

    // RegisterEventSourceW(NULL, source). 0 on failure, with the last error
    // in *error.
    virtual Handle RegisterSource(const std::wstring& source, std::uint32_t* error) = 0;

    // ReportEventW(source, type, 0, eventId, NULL, strings.size(), 0,
    // strings, NULL): 0 on success, else the Win32 error.
    virtual std::uint32_t Report(Handle source, std::uint16_t type, std::uint32_t eventId,
                                 const std::vector<std::wstring>& strings) = 0;

    // DeregisterEventSource.
    virtual void DeregisterSource(Handle source) = 0;
};

}  // namespace platform
