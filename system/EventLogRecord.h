// Reading EVENTLOGRECORD structures out of a block of raw bytes as the event
// log hands it over. The block comes from outside the program, so every
// length and offset in it is checked against the block and the record before
// anything is read; a record that does not hold together is reported as
// malformed rather than followed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace eventlog {

// Fixed part of EVENTLOGRECORD, up to and including DataOffset.
constexpr std::size_t kFixedPartSize = 56;
// Fixed part, an empty source name, an empty computer name, trailing Length.
constexpr std::size_t kMinimumRecordSize = kFixedPartSize + 2 + 2 + 4;
constexpr std::uint32_t kRecordMagic = 0x654c664cu;  // 'LfLe'

// One record: the fixed fields, the names and the SID, read at once; the record's
// own bytes stay available (bounded to the record) for the strings and data.
struct Record {
    std::uint32_t length = 0;
    std::uint32_t recordNumber = 0;
    std::uint32_t timeGenerated = 0;
    std::uint32_t timeWritten = 0;
    std::uint32_t eventId = 0;
    std::uint16_t eventType = 0;
    std::uint16_t numStrings = 0;
    std::uint16_t eventCategory = 0;
    std::uint32_t stringOffset = 0;
    std::uint32_t userSidLength = 0;
    std::uint32_t userSidOffset = 0;
    std::uint32_t dataLength = 0;
    std::uint32_t dataOffset = 0;
    std::wstring sourceName;
    std::wstring computerName;
    std::span<const std::uint8_t> userSid;  // empty when the record has none
    std::span<const std::uint8_t> bytes;  // exactly `length` bytes inside the block
};

enum class ReadStatus {
    Ok,         // *record holds the record at the offset
    End,        // the offset is the end of the block: no more records
    Malformed,  // the bytes at the offset are not a record; *problem says why
};

// Reads the record that starts `offset` bytes into the block. A record is
// accepted when its Length covers at least the minimum record, is a multiple
// of four, lies inside the block and is repeated at its end, its signature is
// 'LfLe', its source and computer names end (NUL) inside the record, and its
// SID, when it has one, lies inside the record.
ReadStatus ReadRecord(std::span<const std::uint8_t> block, std::size_t offset, Record* record,
                      std::string* problem);

// The record's NumStrings insertion strings from StringOffset on, each ending
// with its NUL inside the record. False (with *problem) when they do not.
bool ReadInsertionStrings(const Record& record, std::vector<std::wstring>* strings,
                          std::string* problem);

// The data area (DataOffset, DataLength) read as wide text up to its first NUL;
// the whole area when it holds none. False (with *problem) when the area does
// not lie inside the record.
bool ReadDataText(const Record& record, std::wstring* text, std::string* problem);

// UTF-16 code units (little-endian bytes) as a wide string: surrogate pairs
// become one character where wchar_t is 32 bits wide.
std::wstring DecodeUtf16(std::span<const std::uint8_t> bytes);

}  // namespace eventlog
