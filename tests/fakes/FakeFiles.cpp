#include "tests/fakes/FakeFiles.h"
#include <algorithm>
#include <cstdio>
#include "platform/Types.h"
#include "tests/fakes/FakeText.h"
#include "tests/fakes/RuleBook.h"

namespace fake {
namespace {

constexpr std::size_t kMaxPath = 260;
// CreateDirectoryW leaves room for an 8.3 name below the folder.
constexpr std::size_t kMaxDirectoryPath = kMaxPath - 12;

wchar_t Fold(wchar_t c) {
    if (c >= L'A' && c <= L'Z') return static_cast<wchar_t>(c + 32);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<wchar_t>(c + 32);
    return c;
}

std::wstring FoldCopy(std::wstring_view text) {
    std::wstring out(text);
    for (auto& c : out) c = Fold(c);
    return out;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f'; }

std::wstring Trim(std::wstring_view text) {
    std::size_t b = 0, e = text.size();
    while (b < e && IsBlank(text[b])) ++b;
    while (e > b && IsBlank(text[e - 1])) --e;
    return std::wstring(text.substr(b, e - b));
}

bool IsRoot(const std::wstring& key) { return key.size() == 2 && key[1] == L':'; }

std::wstring ParentOf(const std::wstring& key) {
    auto pos = key.rfind(L'\\');
    return pos == std::wstring::npos ? std::wstring() : key.substr(0, pos);
}

std::wstring LastOf(const std::wstring& path) {
    auto pos = path.rfind(L'\\');
    return pos == std::wstring::npos ? path : path.substr(pos + 1);
}

std::wstring Unify(const std::wstring& path) {
    std::wstring out(path);
    std::replace(out.begin(), out.end(), L'/', L'\\');
    return out;
}

// FindFirstFileW's matching (the DOS rules of the file system): '*' any run,
// '?' one character but none at a dot or the end of the name, a '.' before a
// wildcard also matches the end of the name ("*.*" finds "README").
bool Match(const std::wstring& p, std::size_t pi, const std::wstring& n, std::size_t ni) {
    if (pi == p.size()) return ni == n.size();
    const wchar_t c = p[pi];
    if (c == L'*') {
        for (std::size_t k = ni; k <= n.size(); ++k)
            if (Match(p, pi + 1, n, k)) return true;
        return false;
    }
    if (c == L'?') {
        if (ni < n.size() && n[ni] != L'.') return Match(p, pi + 1, n, ni + 1);
        return Match(p, pi + 1, n, ni);
    }
    if (c == L'.' && pi + 1 < p.size() && (p[pi + 1] == L'*' || p[pi + 1] == L'?')) {
        if (ni < n.size() && n[ni] == L'.' && Match(p, pi + 1, n, ni + 1)) return true;
        return ni == n.size() && Match(p, pi + 1, n, ni);
    }
    return ni < n.size() && n[ni] == c && Match(p, pi + 1, n, ni + 1);
}

// Profile files: ANSI unless they start with a UTF-16 byte-order mark.
std::vector<std::wstring> SplitLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    std::wstring cur;
    for (std::size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (c == L'\r' || c == L'\n') {
            lines.push_back(cur);
            cur.clear();
            if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ++i;
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty()) lines.push_back(cur);
    return lines;
}

bool IsUtf16(const std::string& bytes) {
    return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
           static_cast<unsigned char>(bytes[1]) == 0xFE;
}

// The profile functions read and write a file without the UTF-16 byte-order
// mark in the system's code page (CP_ACP), whatever the calling thread's
// ("WritePrivateProfileString function": "If the file was created using
// Unicode characters, the function writes Unicode characters to the file.
// Otherwise, the function writes ANSI characters.").
std::wstring Decode(const std::string& bytes, std::uint32_t codePage) {
    if (!IsUtf16(bytes)) return AnsiToWide(codePage, bytes);
    std::wstring out;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2)
        out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                           (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    return out;
}

std::string Encode(const std::wstring& text, bool utf16, std::uint32_t codePage) {
    if (!utf16) return WideToAnsi(codePage, text);
    std::string out("\xFF\xFE", 2);
    for (wchar_t c : text) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>((c >> 8) & 0xFF));
    }
    return out;
}

// The section name of a "[name]" line, or nullopt for any other line.
std::optional<std::wstring> SectionOf(const std::wstring& line) {
    std::wstring t = Trim(line);
    if (t.empty() || t[0] != L'[') return std::nullopt;
    auto close = t.rfind(L']');
    if (close == std::wstring::npos || close == 0) return Trim(t.substr(1));
    return Trim(t.substr(1, close - 1));
}

// The line of the section's header, or lines.size() when the file has none.
std::size_t FindSection(const std::vector<std::wstring>& lines, const std::wstring& section) {
    const std::wstring wanted = FoldCopy(Trim(section));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        auto s = SectionOf(lines[i]);
        if (s && FoldCopy(*s) == wanted) return i;
    }
    return lines.size();
}

// The key of a "key=value" line, or nullopt for a line without '='.
std::optional<std::wstring> KeyOf(const std::wstring& line) {
    auto eq = line.find(L'=');
    if (eq == std::wstring::npos) return std::nullopt;
    return Trim(line.substr(0, eq));
}

}  // namespace

std::wstring FakeFiles::Key(const std::wstring& path) {
    std::wstring out;
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        const wchar_t c = path[i] == L'/' ? L'\\' : path[i];
        // Keep the two leading backslashes of a UNC name, collapse any other run.
        if (c == L'\\' && !out.empty() && out.back() == L'\\' && i > 1) continue;
        out.push_back(Fold(c));
    }
    while (out.size() > 1 && out.back() == L'\\') out.pop_back();
    return out;
}

const FakeFiles::Entry* FakeFiles::Find(const std::wstring& path) const {
    auto it = entries_.find(Key(path));
    return it == entries_.end() ? nullptr : &it->second;
}

FakeFiles::Entry* FakeFiles::Find(const std::wstring& path) {
    auto it = entries_.find(Key(path));
    return it == entries_.end() ? nullptr : &it->second;
}

bool FakeFiles::ParentIsFolder(const std::wstring& key) const {
    std::wstring parent = ParentOf(key);
    if (parent.empty() || IsRoot(parent)) return true;
    auto it = entries_.find(parent);
    return it != entries_.end() && it->second.folder;
}

void FakeFiles::Note(const std::string& line) {
    if (journal) journal->push_back(line);
}

// ---- test hooks ----

void FakeFiles::MakeFolder(const std::wstring& path) {
    std::wstring unified = Unify(path);
    while (!unified.empty() && unified.back() == L'\\') unified.pop_back();
    for (std::size_t pos = 0;; ++pos) {
        pos = unified.find(L'\\', pos);
        std::wstring prefix = unified.substr(0, pos);
        std::wstring key = Key(prefix);
        if (!key.empty() && !IsRoot(key) && key != L"\\" && key != L"\\\\") {
            auto& e = entries_[key];
            if (e.name.empty()) {
                e.name = LastOf(prefix);
                e.folder = true;
            }
        }
        if (pos == std::wstring::npos) break;
    }
}

void FakeFiles::PutFile(const std::wstring& path, const std::string& bytes) {
    std::wstring key = Key(path);
    std::wstring unified = Unify(path);
    auto cut = unified.rfind(L'\\');
    if (cut != std::wstring::npos) MakeFolder(unified.substr(0, cut));
    auto& e = entries_[key];
    e.name = LastOf(unified);
    e.folder = false;
    e.bytes = bytes;
    if (e.attributes == 0) e.attributes = FileAttributeArchive;
}

std::optional<std::string> FakeFiles::Read(const std::wstring& path) const {
    const Entry* e = Find(path);
    if (!e || e->folder) return std::nullopt;
    return e->bytes;
}

bool FakeFiles::Exists(const std::wstring& path) const {
    return IsRoot(Key(path)) || Find(path) != nullptr;
}

bool FakeFiles::IsFolder(const std::wstring& path) const {
    const Entry* e = Find(path);
    return IsRoot(Key(path)) || (e && e->folder);
}

void FakeFiles::Lock(const std::wstring& path) {
    if (!Find(path)) PutFile(path, "");
    Find(path)->locked = true;
}

void FakeFiles::Unlock(const std::wstring& path) {
    if (Entry* e = Find(path)) e->locked = false;
}

void FakeFiles::LockRange(const std::wstring& path) {
    if (!Find(path)) PutFile(path, "");
    Find(path)->rangeLocked = true;
}

void FakeFiles::UnlockRange(const std::wstring& path) {
    if (Entry* e = Find(path)) e->rangeLocked = false;
}

void FakeFiles::DenyWrite(const std::wstring& path) { denied_.insert(Key(path)); }

void FakeFiles::DeletePending(const std::wstring& path) {
    entries_.erase(Key(path));
    deletePending_.insert(Key(path));
}

void FakeFiles::ReleaseDeletePending(const std::wstring& path) { deletePending_.erase(Key(path)); }

void FakeFiles::Remove(const std::wstring& path) {
    std::wstring key = Key(path);
    entries_.erase(key);
    std::wstring prefix = key + L"\\";
    for (auto it = entries_.lower_bound(prefix); it != entries_.end() && it->first.rfind(prefix, 0) == 0;)
        it = entries_.erase(it);
}

std::vector<std::wstring> FakeFiles::List(const std::wstring& folder) const {
    std::vector<std::wstring> names;
    std::wstring key = Key(folder);
    for (const auto& [k, e] : entries_)
        if (ParentOf(k) == key) names.push_back(e.name);
    return names;
}

// ---- IFiles ----

bool FakeFiles::FindFirstExists(const std::wstring& pattern) {
    findCalls.push_back(pattern);
    if (pattern.empty() || pattern.back() == L'\\' || pattern.back() == L'/') return false;
    std::wstring unified = Unify(pattern);
    auto cut = unified.rfind(L'\\');
    std::wstring dir = cut == std::wstring::npos ? std::wstring() : unified.substr(0, cut);
    std::wstring last = cut == std::wstring::npos ? unified : unified.substr(cut + 1);
    if (dir.find_first_of(L"*?") != std::wstring::npos) return false;
    if (last.find_first_of(L"*?") == std::wstring::npos) {
        return Find(unified) != nullptr;
    }
    std::wstring dirKey = Key(dir);
    if (!IsRoot(dirKey) && !dirKey.empty()) {
        auto it = entries_.find(dirKey);
        if (it == entries_.end() || !it->second.folder) return false;
    }
    std::wstring folded = FoldCopy(last);
    // A folder other than a drive root lists "." and ".." first.
    if (!IsRoot(dirKey) && !dirKey.empty() &&
        (Match(folded, 0, L".", 0) || Match(folded, 0, L"..", 0)))
        return true;
    for (const auto& [k, e] : entries_)
    {
        // In the folder itself: the key is the folder's, a backslash, and a name.
        const bool inFolder = dirKey.empty() ? k.find(L'\\') == std::wstring::npos
                                             : k.size() > dirKey.size() + 1 && k.compare(0, dirKey.size(), dirKey) == 0 &&
                                                   k[dirKey.size()] == L'\\' &&
                                                   k.find(L'\\', dirKey.size() + 1) == std::wstring::npos;
        if (inFolder && Match(folded, 0, FoldCopy(e.name), 0)) return true;
    }
    return false;
}

bool FakeFiles::CreateDirectory(const std::wstring& path, std::uint32_t* error) {
    std::uint32_t code = 0;
    std::wstring key = Key(path);
    std::wstring trimmed = Unify(path);
    while (trimmed.size() > 1 && trimmed.back() == L'\\') trimmed.pop_back();
    if (key.empty()) code = platform::err::PathNotFound;
    else if (trimmed.size() >= kMaxDirectoryPath) code = platform::err::FilenameExcedRange;
    else if (IsRoot(key) || entries_.count(key)) code = platform::err::AlreadyExists;
    else if (!ParentIsFolder(key)) code = platform::err::PathNotFound;
    if (code != 0) {
        if (error) *error = code;
        return false;
    }
    auto& e = entries_[key];
    e.name = LastOf(trimmed);
    e.folder = true;
    Note("CreateDirectory " + Utf8(path));
    return true;
}

bool FakeFiles::DeleteFile(const std::wstring& path) {
    Entry* e = Find(path);
    if (!e || e->folder || Held(*e) || denied_.count(Key(path)) ||
        (e->attributes & FileAttributeReadOnly))
        return false;
    entries_.erase(Key(path));
    Note("DeleteFile " + Utf8(path));
    return true;
}

std::int64_t FakeFiles::ExclusiveFileSize(const std::wstring& path) {
    const Entry* e = Find(path);
    if (!e || e->folder || Held(*e) || path.size() >= kMaxPath) return -1;
    return static_cast<std::int64_t>(e->bytes.size());
}

std::uint32_t FakeFiles::WriteCheck(const std::wstring& path, bool mayCreate, bool exclusive) const {
    if (path.empty()) return platform::err::PathNotFound;
    if (path.size() >= kMaxPath) return platform::err::FilenameExcedRange;
    std::wstring key = Key(path);
    if (path.back() == L'\\' || path.back() == L'/') return platform::err::PathNotFound;
    if (!ParentIsFolder(key)) return platform::err::PathNotFound;
    const Entry* e = Find(path);
    if (denied_.count(key)) return platform::err::AccessDenied;
    if (!e && deletePending_.count(key)) {
        rules::Fired(rules::kDeletePending);
        return platform::err::AccessDenied;
    }
    if (!e && mayCreate && denied_.count(key.substr(0, key.rfind(L'\\')))) {
        rules::Fired(rules::kFolderDenied);
        return platform::err::AccessDenied;
    }
    if (!e) return mayCreate ? 0 : platform::err::FileNotFound;
    if (e->folder) return platform::err::AccessDenied;
    if (HeldWithoutSharing(*e) || (exclusive && Held(*e))) return platform::err::SharingViolation;
    if (e->attributes & FileAttributeReadOnly) return platform::err::AccessDenied;
    return 0;
}

void FakeFiles::WhileOpen(const std::wstring& path, bool exclusive, const std::function<void(Entry&)>& write) {
    int Entry::*count = exclusive ? &Entry::exclusiveOpens : &Entry::sharedOpens;
    ++(Find(path)->*count);
    if (whileOpen) whileOpen(path);
    // The entry cannot go meanwhile: a file held open is never deleted.
    Entry* e = Find(path);
    write(*e);
    --(e->*count);
}

bool FakeFiles::AppendBytes(const std::wstring& path, const std::string& bytes, platform::Share share,
                            std::uint32_t* error) {
    // The sharing mode matters to the other openers while this call holds
    // the file (see whileOpen) and to the holders it meets.
    const bool exclusive = share == platform::Share::None;
    if (beforeAppend) beforeAppend(path);
    if (std::uint32_t code = WriteCheck(path, true, exclusive)) {
        if (error) *error = code;
        return false;
    }
    if (!Find(path)) PutFile(path, "");
    bool written = true;
    WhileOpen(path, exclusive, [&](Entry& e) {
        if (!bytes.empty() && e.rangeLocked) written = false;
        else e.bytes += bytes;
    });
    if (!written && error) *error = platform::err::LockViolation;
    return written;
}

bool FakeFiles::CreateNewFile(const std::wstring& path, const std::string& bytes,
                              std::uint32_t* error) {
    // The name is tested before any sharing or access check.
    std::uint32_t code = 0;
    if (path.size() >= kMaxPath) code = platform::err::FilenameExcedRange;
    else if (!ParentIsFolder(Key(path))) code = platform::err::PathNotFound;
    else if (Find(path)) code = platform::err::FileExists;
    else if (deletePending_.count(Key(path))) {
        rules::Fired(rules::kDeletePending);
        code = platform::err::AccessDenied;
    } else code = WriteCheck(path, true);
    if (code != 0) {
        if (error) *error = code;
        return false;
    }
    PutFile(path, "");
    Note("CreateNewFile " + Utf8(path));
    WhileOpen(path, false, [&bytes](Entry& e) { e.bytes = bytes; });
    return true;
}

std::uint32_t FakeFiles::GetAttributes(const std::wstring& path) {
    std::wstring key = Key(path);
    if (IsRoot(key)) return FileAttributeDirectory;
    const Entry* e = Find(path);
    if (!e) return InvalidFileAttributes;
    if (e->folder) return FileAttributeDirectory | e->attributes;
    return e->attributes == 0 ? FileAttributeNormal : e->attributes;
}

bool FakeFiles::SetAttributes(const std::wstring& path, std::uint32_t attributes) {
    Entry* e = Find(path);
    if (!e) return false;
    e->attributes = attributes & ~(FileAttributeDirectory | FileAttributeNormal);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", attributes);
    Note("SetFileAttributes " + Utf8(path) + " " + hex);
    return true;
}

// ---- IProfile ----

bool FakeFiles::ReadProfileLines(const std::wstring& file, std::vector<std::wstring>* lines) const {
    const Entry* e = Find(file);
    if (!e || e->folder || HeldWithoutSharing(*e)) return false;
    *lines = SplitLines(Decode(e->bytes, systemCodePage));
    return true;
}

bool FakeFiles::WriteProfileLines(const std::wstring& file, const std::vector<std::wstring>& lines) {
    const Entry* e = Find(file);
    bool utf16 = e && IsUtf16(e->bytes);
    std::wstring text;
    for (const auto& l : lines) text += l + L"\r\n";
    if (!utf16 && std::any_of(text.begin(), text.end(), [](wchar_t c) { return c >= 0x80; }))
        rules::Fired(rules::kProfileSystemCodePage);
    std::string bytes = Encode(text, utf16, systemCodePage);
    if (Entry* existing = Find(file)) existing->bytes = bytes;
    else PutFile(file, bytes);
    return true;
}

std::wstring FakeFiles::GetString(const std::wstring& section, const std::wstring& key,
                                  const std::wstring& defaultValue, std::uint32_t capacity,
                                  const std::wstring& file) {
    if (capacity == 0) return std::wstring();
    auto cut = [capacity](std::wstring v) {
        if (v.size() > capacity - 1) v.resize(capacity - 1);
        return v;
    };
    std::wstring def = defaultValue;
    while (!def.empty() && def.back() == L' ') def.pop_back();

    std::vector<std::wstring> lines;
    if (!ReadProfileLines(file, &lines)) return cut(def);
    const std::wstring wantSection = FoldCopy(Trim(section));
    const std::wstring wantKey = FoldCopy(Trim(key));
    bool inSection = false;
    for (const auto& line : lines) {
        if (auto s = SectionOf(line)) {
            inSection = FoldCopy(*s) == wantSection;
            continue;
        }
        if (!inSection) continue;
        auto k = KeyOf(line);
        if (!k || FoldCopy(*k) != wantKey) continue;
        std::wstring value = Trim(line.substr(line.find(L'=') + 1));
        if (value.size() >= 2 && (value[0] == L'"' || value[0] == L'\'') && value.back() == value[0])
            value = value.substr(1, value.size() - 2);
        return cut(value);
    }
    return cut(def);
}

bool FakeFiles::WriteString(const std::wstring& section, const std::wstring& key,
                            const std::wstring& value, const std::wstring& file) {
    if (WriteCheck(file, true) != 0) return false;
    std::vector<std::wstring> lines;
    ReadProfileLines(file, &lines);
    const std::wstring wantKey = FoldCopy(Trim(key));
    const std::size_t header = FindSection(lines, section);
    if (header == lines.size()) {
        lines.push_back(L"[" + section + L"]");
        lines.push_back(key + L"=" + value);
    } else {
        std::size_t end = header + 1;
        while (end < lines.size() && !SectionOf(lines[end])) ++end;
        bool replaced = false;
        for (std::size_t i = header + 1; i < end; ++i) {
            auto k = KeyOf(lines[i]);
            if (k && FoldCopy(*k) == wantKey) {
                lines[i] = *k + L"=" + value;
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            std::size_t at = end;
            while (at > header + 1 && Trim(lines[at - 1]).empty()) --at;
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), key + L"=" + value);
        }
    }
    WriteProfileLines(file, lines);
    Note("WritePrivateProfileString [" + Utf8(section) + "] " + Utf8(key) + "=" + Utf8(value) + " " +
         Utf8(file));
    return true;
}

bool FakeFiles::DeleteKey(const std::wstring& section, const std::wstring& key, const std::wstring& file) {
    if (!Find(file)) return true;
    if (WriteCheck(file, false) != 0) return false;
    std::vector<std::wstring> lines;
    ReadProfileLines(file, &lines);
    const std::size_t header = FindSection(lines, section);
    const std::wstring wantKey = FoldCopy(Trim(key));
    for (std::size_t i = header + 1; i < lines.size() && !SectionOf(lines[i]); ++i) {
        auto k = KeyOf(lines[i]);
        if (!k || FoldCopy(*k) != wantKey) continue;
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
        WriteProfileLines(file, lines);
        Note("WritePrivateProfileString [" + Utf8(section) + "] " + Utf8(key) + " removed " + Utf8(file));
        break;
    }
    return true;
}

bool FakeFiles::WriteSection(const std::wstring& section, const std::wstring& list,
                             const std::wstring& file) {
    if (WriteCheck(file, true) != 0) return false;
    std::vector<std::wstring> lines;
    ReadProfileLines(file, &lines);
    std::vector<std::wstring> fresh;
    std::wstring cur;
    for (wchar_t c : list) {
        if (c == L'\0') {
            if (!cur.empty()) fresh.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty()) fresh.push_back(cur);

    const std::size_t header = FindSection(lines, section);
    if (header == lines.size()) {
        lines.push_back(L"[" + section + L"]");
        lines.insert(lines.end(), fresh.begin(), fresh.end());
    } else {
        std::size_t end = header + 1;
        while (end < lines.size() && !SectionOf(lines[end])) ++end;
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(header + 1),
                    lines.begin() + static_cast<std::ptrdiff_t>(end));
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(header + 1), fresh.begin(), fresh.end());
    }
    WriteProfileLines(file, lines);
    std::string joined;
    for (const auto& l : fresh) joined += (joined.empty() ? "" : "|") + Utf8(l);
    Note("WritePrivateProfileSection [" + Utf8(section) + "] " + joined + " " + Utf8(file));
    return true;
}

}  // namespace fake
