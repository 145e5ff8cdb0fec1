#include "system/EventLogRecord.h"

namespace eventlog {

namespace {

std::uint32_t Get32(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

std::uint16_t Get16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

// Byte length of the NUL-terminated UTF-16 string at `at` (without the NUL),
// or false when no NUL unit ends it before `end`.
bool FindTerminator(std::span<const std::uint8_t> b, std::size_t at, std::size_t end,
                    std::size_t* length) {
    for (std::size_t i = at; i + 1 < end; i += 2) {
        if (b[i] == 0 && b[i + 1] == 0) {
            *length = i - at;
            return true;
        }
    }
    return false;
}

}  // namespace

std::wstring DecodeUtf16(std::span<const std::uint8_t> bytes) {
    std::wstring out;
    out.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const std::uint32_t unit = Get16(bytes, i);
        if constexpr (sizeof(wchar_t) >= 4) {
            if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
                const std::uint32_t low = Get16(bytes, i + 2);
                if (low >= 0xDC00 && low < 0xE000) {
                    out.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
                    i += 2;
                    continue;
                }
            }
        }
        out.push_back(static_cast<wchar_t>(unit));
    }
    return out;
}

ReadStatus ReadRecord(std::span<const std::uint8_t> block, std::size_t offset, Record* record,
                      std::string* problem) {
    if (offset >= block.size()) return ReadStatus::End;
    const std::size_t remaining = block.size() - offset;
    auto malformed = [&](const char* why) {
        *problem = why;
        return ReadStatus::Malformed;
    };
    if (remaining < kFixedPartSize) return malformed("record runs past the bytes read");
    const auto at = block.subspan(offset);
    const std::uint32_t length = Get32(at, 0);
    if (length < kMinimumRecordSize) return malformed("record length too small");
    if (length > remaining) return malformed("record runs past the bytes read");
    if (length % 4 != 0) return malformed("record length not a multiple of 4");
    const auto bytes = at.first(length);
    if (Get32(bytes, 4) != kRecordMagic) return malformed("record signature missing");
    if (Get32(bytes, length - 4) != length) return malformed("trailing length differs");

    Record r;
    r.length = length;
    r.recordNumber = Get32(bytes, 8);
    r.timeGenerated = Get32(bytes, 12);
    r.timeWritten = Get32(bytes, 16);
    r.eventId = Get32(bytes, 20);
    r.eventType = Get16(bytes, 24);
    r.numStrings = Get16(bytes, 26);
    r.eventCategory = Get16(bytes, 28);
    r.stringOffset = Get32(bytes, 36);
    r.userSidLength = Get32(bytes, 40);
    r.userSidOffset = Get32(bytes, 44);
    r.dataLength = Get32(bytes, 48);
    r.dataOffset = Get32(bytes, 52);
    // The strings end before the trailing Length.
    const std::size_t textEnd = length - 4;
    std::size_t nameLength = 0;
    if (!FindTerminator(bytes, kFixedPartSize, textEnd, &nameLength))
        return malformed("source name not terminated");
    r.sourceName = DecodeUtf16(bytes.subspan(kFixedPartSize, nameLength));
    const std::size_t computerAt = kFixedPartSize + nameLength + 2;
    std::size_t computerLength = 0;
    if (!FindTerminator(bytes, computerAt, textEnd, &computerLength))
        return malformed("computer name not terminated");
    r.computerName = DecodeUtf16(bytes.subspan(computerAt, computerLength));
    if (r.userSidLength != 0) {
        if (r.userSidOffset < kFixedPartSize || r.userSidOffset > textEnd ||
            r.userSidLength > textEnd - r.userSidOffset)
            return malformed("SID outside the record");
        r.userSid = bytes.subspan(r.userSidOffset, r.userSidLength);
    }
    r.bytes = bytes;
    *record = std::move(r);
    return ReadStatus::Ok;
}

bool ReadInsertionStrings(const Record& record, std::vector<std::wstring>* strings,
                          std::string* problem) {
    strings->clear();
    if (record.numStrings == 0) return true;
    const std::size_t textEnd = record.bytes.size() - 4;
    if (record.stringOffset < kFixedPartSize || record.stringOffset >= textEnd) {
        *problem = "string offset outside the record";
        return false;
    }
    std::size_t at = record.stringOffset;
    for (std::uint16_t i = 0; i < record.numStrings; ++i) {
        std::size_t length = 0;
        if (!FindTerminator(record.bytes, at, textEnd, &length)) {
            strings->clear();
            *problem = "insertion string not terminated";
            return false;
        }
        strings->push_back(DecodeUtf16(record.bytes.subspan(at, length)));
        at += length + 2;
    }
    return true;
}

bool ReadDataText(const Record& record, std::wstring* text, std::string* problem) {
    text->clear();
    if (record.dataLength == 0) return true;
    const std::size_t textEnd = record.bytes.size() - 4;
    if (record.dataOffset < kFixedPartSize || record.dataOffset > textEnd ||
        record.dataLength > textEnd - record.dataOffset) {
        *problem = "data area outside the record";
        return false;
    }
    const auto area = record.bytes.subspan(record.dataOffset, record.dataLength);
    std::size_t length = 0;
    if (!FindTerminator(area, 0, area.size(), &length)) length = area.size() & ~std::size_t{1};
    *text = DecodeUtf16(area.first(length));
    return true;
}

}  // namespace eventlog
