#include "tests/fakes/FakeEventLog.h"
#include <algorithm>
#include <cstring>
#include <cwctype>

namespace fake {

const wchar_t* const kUser32ShutdownMessage =
    L"The process %1 has initiated the %5 of computer %2 on behalf of user %7 for the "
    L"following reason: %3\r\n Reason Code: %4\r\n Shutdown Type: %5\r\n Comment: %6\r\n";

namespace {

constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kLargestBuffer = 0x7FFFF;

void Put32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put16(std::vector<std::uint8_t>& out, std::size_t at, std::uint16_t v) {
    out[at] = static_cast<std::uint8_t>(v);
    out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void AppendWide(std::vector<std::uint8_t>& out, const std::wstring& text) {
    for (std::uint16_t unit : FakeEventLog::ToUtf16(text)) {
        out.push_back(static_cast<std::uint8_t>(unit));
        out.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    out.push_back(0);
    out.push_back(0);
}
void PadToDword(std::vector<std::uint8_t>& out) {
    while (out.size() % 4 != 0) out.push_back(0);
}
std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}
bool EndsWithNoCase(const std::wstring& text, const std::wstring& tail) {
    if (text.size() < tail.size()) return false;
    for (std::size_t i = 0; i < tail.size(); ++i)
        if (std::towlower(text[text.size() - tail.size() + i]) != std::towlower(tail[i])) return false;
    return true;
}

}  // namespace

FakeEventLog::FakeEventLog() { messageTable[kUser32ShutdownEventId] = kUser32ShutdownMessage; }

FakeEvent& FakeEventLog::Add(FakeEvent event) {
    events.push_back(std::move(event));
    return events.back();
}

FakeEvent FakeEventLog::Shutdown1074(std::uint32_t timeGenerated, const std::wstring& shutdownType,
                                     const std::wstring& user) {
    FakeEvent e;
    e.timeGenerated = timeGenerated;
    e.strings = {L"C:\\Windows\\system32\\shutdown.exe (QVPC01)",
                 L"QVPC01",
                 L"No title for this reason could be found",
                 L"0x800000ff",
                 shutdownType,
                 L"",
                 user};
    return e;
}

std::vector<std::uint16_t> FakeEventLog::ToUtf16(const std::wstring& text) {
    std::vector<std::uint16_t> units;
    for (wchar_t c : text) {
        const auto cp = static_cast<std::uint32_t>(c);
        if (cp > 0xFFFF) {
            const std::uint32_t v = cp - 0x10000;
            units.push_back(static_cast<std::uint16_t>(0xD800 + (v >> 10)));
            units.push_back(static_cast<std::uint16_t>(0xDC00 + (v & 0x3FF)));
        } else {
            units.push_back(static_cast<std::uint16_t>(cp));
        }
    }
    return units;
}

std::vector<std::uint8_t> FakeEventLog::BuildRecord(const FakeEvent& e, std::uint32_t recordNumber) {
    std::vector<std::uint8_t> out(kEventLogRecordFixedSize, 0);
    AppendWide(out, e.source);
    AppendWide(out, e.computer);
    PadToDword(out);
    const auto sidOffset = static_cast<std::uint32_t>(out.size());
    out.insert(out.end(), e.sid.begin(), e.sid.end());
    const auto stringOffset = static_cast<std::uint32_t>(out.size());
    for (const auto& s : e.strings) AppendWide(out, s);
    const auto dataOffset = static_cast<std::uint32_t>(out.size());
    out.insert(out.end(), e.data.begin(), e.data.end());
    PadToDword(out);
    const auto length = static_cast<std::uint32_t>(out.size() + 4);
    out.resize(length);
    Put32(out, length - 4, length);

    Put32(out, 0, length);
    Put32(out, 4, kEventLogRecordMagic);
    Put32(out, 8, recordNumber);
    Put32(out, 12, e.timeGenerated);
    Put32(out, 16, e.timeWritten != 0 ? e.timeWritten : e.timeGenerated);
    Put32(out, 20, e.eventId);
    Put16(out, 24, e.eventType);
    Put16(out, 26, static_cast<std::uint16_t>(e.strings.size()));
    Put16(out, 28, e.category);
    Put16(out, 30, 0);
    Put32(out, 32, 0);
    Put32(out, 36, stringOffset);
    Put32(out, 40, static_cast<std::uint32_t>(e.sid.size()));
    Put32(out, 44, sidOffset);
    Put32(out, 48, static_cast<std::uint32_t>(e.data.size()));
    Put32(out, 52, dataOffset);
    return out;
}

std::vector<std::uint8_t> FakeEventLog::BuildBlock(const std::vector<FakeEvent>& newestFirst,
                                                   std::uint32_t firstRecordNumber) {
    std::vector<std::uint8_t> block;
    const auto count = static_cast<std::uint32_t>(newestFirst.size());
    for (std::uint32_t i = 0; i < count; ++i) {
        auto record = BuildRecord(newestFirst[i], firstRecordNumber + count - 1 - i);
        block.insert(block.end(), record.begin(), record.end());
    }
    return block;
}

void FakeEventLog::Note(const std::string& line) {
    if (journal) journal->push_back(line);
}

platform::Handle FakeEventLog::Open(const std::wstring& source) {
    ++opens;
    Note("OpenEventLog " + Narrow(source));
    if (openFails) return 0;
    const platform::Handle h = nextHandle_++;
    Reader r;
    r.system = source.size() == 6 && EndsWithNoCase(source, L"system");
    r.useRaw = rawBlock.has_value();
    readers_[h] = r;
    openLogs.insert(h);
    return h;
}

std::uint32_t FakeEventLog::Read(platform::Handle log, std::uint32_t flags, std::uint32_t,
                                 std::uint8_t* buffer, std::uint32_t size, std::uint32_t* read,
                                 std::uint32_t* needed) {
    ++reads;
    if (beforeRead) beforeRead();
    readSizes.push_back(size);
    Note("ReadEventLog " + std::to_string(flags) + " " + std::to_string(size));
    *read = 0;
    *needed = 0;
    auto it = readers_.find(log);
    if (it == readers_.end()) return platform::err::InvalidHandle;
    // Only the sequential reads are simulated; the direction must be given.
    const bool sequential = (flags & platform::EventlogSequentialRead) != 0;
    const bool backwards = (flags & platform::EventlogBackwardsRead) != 0;
    if (!sequential || !backwards) return kErrorInvalidParameter;
    // "The maximum size of this buffer is 0x7ffff bytes."
    if (size > kLargestBuffer) return kErrorInvalidParameter;
    if (readError) return *readError;
    Reader& r = it->second;

    if (r.useRaw) {
        if (r.rawServed || !rawBlock) return platform::err::HandleEof;
        const auto& raw = *rawBlock;
        if (raw.empty()) return platform::err::HandleEof;
        if (raw.size() > size) {
            *needed = static_cast<std::uint32_t>(raw.size());
            return platform::err::InsufficientBuffer;
        }
        std::memcpy(buffer, raw.data(), raw.size());
        *read = static_cast<std::uint32_t>(raw.size());
        r.rawServed = true;
        return platform::err::Success;
    }

    if (!r.system || r.nextNewest >= events.size()) return platform::err::HandleEof;
    std::uint32_t used = 0;
    while (r.nextNewest < events.size()) {
        const std::size_t index = events.size() - 1 - r.nextNewest;
        const auto record =
            BuildRecord(events[index], firstRecordNumber + static_cast<std::uint32_t>(index));
        const auto length = static_cast<std::uint32_t>(record.size());
        if (length > size - used) {
            if (used == 0) {
                *needed = length;
                return platform::err::InsufficientBuffer;
            }
            break;
        }
        std::memcpy(buffer + used, record.data(), length);
        used += length;
        ++r.nextNewest;
    }
    *read = used;
    return platform::err::Success;
}

void FakeEventLog::Close(platform::Handle log) {
    ++closes;
    Note("CloseEventLog");
    readers_.erase(log);
    openLogs.erase(log);
}

platform::Handle FakeEventLog::LoadLibraryAsDataFile(const std::wstring& path) {
    ++loads;
    Note("LoadLibraryEx " + Narrow(path) + " 2");
    if (loadFails) return 0;
    // Only user32's message table is simulated.
    if (!EndsWithNoCase(path, L"\\user32.dll")) return 0;
    const platform::Handle h = 0x7000000 + nextHandle_++;
    modules.insert(h);
    return h;
}

std::optional<std::wstring> FakeEventLog::Expand(const std::wstring& templ, std::uint32_t flags,
                                                 const std::vector<std::wstring>* arguments) {
    const bool ignoreInserts = (flags & platform::FormatMessageIgnoreInserts) != 0;
    const bool argumentArray = (flags & platform::FormatMessageArgumentArray) != 0;
    std::wstring out;
    for (std::size_t i = 0; i < templ.size(); ++i) {
        const wchar_t c = templ[i];
        if (c != L'%') {
            out.push_back(c);
            continue;
        }
        if (i + 1 >= templ.size()) return std::nullopt;  // a lone % at the end is refused
        const wchar_t e = templ[++i];
        if (e >= L'1' && e <= L'9') {
            const std::size_t start = i - 1;
            unsigned n = static_cast<unsigned>(e - L'0');
            if (i + 1 < templ.size() && templ[i + 1] >= L'0' && templ[i + 1] <= L'9') {
                n = n * 10 + static_cast<unsigned>(templ[++i] - L'0');
            }
            // An optional printf-style format ("%1!s!"); only strings are simulated.
            if (i + 1 < templ.size() && templ[i + 1] == L'!') {
                const std::size_t close = templ.find(L'!', i + 2);
                if (close != std::wstring::npos) i = close;
            }
            if (ignoreInserts) {
                out.append(templ, start, i - start + 1);
                continue;
            }
            // With no argument list at all the system refuses the call
            // (ERROR_INVALID_PARAMETER). The seam hands the system an array of
            // 99 entries, empty past the strings given.
            if (!argumentArray || arguments == nullptr) return std::nullopt;
            if (n <= arguments->size()) out += (*arguments)[n - 1];
            continue;
        }
        switch (e) {
            case L'0': return out;
            case L'n': out += L"\r\n"; break;
            case L'r': out += L"\r"; break;
            case L't': out += L"\t"; break;
            default:  // %% %. %! and the rest stand for themselves
                if (ignoreInserts) out.push_back(L'%');
                out.push_back(e);
                break;
        }
    }
    return out;
}

std::optional<std::wstring> FakeEventLog::FormatMessage(std::uint32_t flags, platform::Handle module,
                                                        std::uint32_t messageId,
                                                        const std::vector<std::wstring>* arguments) {
    ++formats;
    formatFlags.push_back(flags);
    if ((flags & platform::FormatMessageFromHModule) == 0 || modules.count(module) == 0)
        return std::nullopt;
    auto it = messageTable.find(messageId);
    if (it == messageTable.end()) return std::nullopt;
    auto text = Expand(it->second, flags, arguments);
    if (text && text->empty()) return std::nullopt;
    return text;
}

platform::Handle FakeEventLog::RegisterSource(const std::wstring& source, std::uint32_t* error) {
    Note("RegisterEventSource " + Narrow(source));
    if (registerFails) {
        if (error) *error = platform::err::AccessDenied;
        return 0;
    }
    if (error) *error = 0;
    const platform::Handle h = nextHandle_++;
    sources.insert(h);
    sourceNames_[h] = source;
    return h;
}

std::uint32_t FakeEventLog::Report(platform::Handle source, std::uint16_t type, std::uint32_t eventId,
                                   const std::vector<std::wstring>& strings) {
    Note("ReportEvent " + std::to_string(type) + " " + std::to_string(eventId));
    if (!sources.count(source)) return platform::err::InvalidHandle;
    // "Each string is limited to 31,839 characters." (ReportEventW function)
    for (const auto& text : strings)
        if (text.size() > 31839) return kErrorInvalidParameter;
    if (reportError) return *reportError;
    reported.push_back({sourceNames_[source], type, eventId, strings});
    return 0;
}

void FakeEventLog::DeregisterSource(platform::Handle source) {
    Note("DeregisterEventSource");
    sources.erase(source);
    sourceNames_.erase(source);
}

}  // namespace fake
