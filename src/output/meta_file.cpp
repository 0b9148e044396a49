// The meta file and the journal: encoding by hand (the format is tiny and a
// 100,000-entry map is written at the end of every run), decoding with
// nlohmann's SAX interface, which keeps unsigned and signed integers and floats
// apart and never builds a DOM of the whole file.
#include <charconv>
#include <cstdint>
#include <limits>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "base/file_descriptor.h"
#include "output/meta_entry.h"

namespace quellmark {
namespace {

using Json = nlohmann::json;

bool needsEscape(unsigned char byte) { return byte < 0x20 || byte == '"' || byte == '\\'; }

void appendJsonString(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    size_t runStart = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (!needsEscape(byte)) continue;
        out.append(text.substr(runStart, i - runStart));
        runStart = i + 1;
        switch (byte) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '\b': out.append("\\b"); break;
            case '\f': out.append("\\f"); break;
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            case '\t': out.append("\\t"); break;
            default:
                out.append("\\u00");
                out.push_back(kHex[byte >> 4]);
                out.push_back(kHex[byte & 0xF]);
        }
    }
    out.append(text.substr(runStart));
    out.push_back('"');
}

bool isAscii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

// A JSON reader rejects invalid UTF-8, and one bad name would spoil the whole
// file; callers pass repaired text, this only guards against a slip.
void appendName(std::string& out, std::string_view name) {
    if (isAscii(name) || isValidUtf8(name)) {
        appendJsonString(out, name);
    } else {
        appendJsonString(out, repairUtf8(name));
    }
}

template <class Integer>
void appendInteger(std::string& out, Integer value) {
    char buffer[24];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    out.append(buffer, end);
}

// Reads either the meta file (an object of entries) or one journal line (one
// entry carrying its own "path"). Any value of the wrong kind for a known
// member stops the parse; unknown members are skipped whatever they hold.
class EntryReader {
public:
    explicit EntryReader(bool journalLine) : m_journalLine(journalLine) {}

    std::vector<std::pair<std::string, MetaEntry>>& entries() { return m_entries; }

    bool null() { return otherValue(); }
    bool boolean(bool) { return otherValue(); }
    bool binary(Json::binary_t&) { return otherValue(); }
    bool number_float(double, const std::string&) { return otherValue(); }
    bool number_unsigned(std::uint64_t value) {
        if (m_skipDepth > 0) return true;
        if (m_level != Level::entry) return false;
        switch (m_field) {
            case Field::mtimeNs: m_entry.mtimeNs = value; m_hasMtime = true; return true;
            case Field::size:
                if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
                m_entry.size = static_cast<std::int64_t>(value);
                m_hasSize = true;
                return true;
            case Field::path: return false;
            case Field::ignored: return true;
        }
        return false;
    }
    bool number_integer(std::int64_t value) {
        if (value >= 0) return number_unsigned(static_cast<std::uint64_t>(value));
        if (m_skipDepth > 0) return true;
        if (m_level != Level::entry) return false;
        if (m_field == Field::size) {
            m_entry.size = value;
            m_hasSize = true;
            return true;
        }
        return m_field == Field::ignored;
    }
    bool string(std::string& value) {
        if (m_skipDepth > 0) return true;
        if (m_level != Level::entry) return false;
        if (m_field == Field::path) {
            m_path = std::move(value);
            m_hasPath = true;
            return true;
        }
        return m_field == Field::ignored;
    }
    bool start_object(std::size_t) {
        if (m_skipDepth > 0 || m_level == Level::entry) return skipOrFail();
        if (m_level == Level::top && !m_journalLine) {
            m_level = Level::names;
            return true;
        }
        enterEntry();
        return true;
    }
    bool start_array(std::size_t) {
        if (m_skipDepth > 0 || m_level == Level::entry) return skipOrFail();
        return false;
    }
    bool key(std::string& name) {
        if (m_skipDepth > 0) return true;
        if (m_level == Level::names) {
            m_name = std::move(name);
            return true;
        }
        if (name == "mtimeNs") {
            m_field = Field::mtimeNs;
        } else if (name == "size") {
            m_field = Field::size;
        } else if (m_journalLine && name == "path") {
            m_field = Field::path;
        } else {
            m_field = Field::ignored;
        }
        return true;
    }
    bool end_object() {
        if (m_skipDepth > 0) {
            --m_skipDepth;
            return true;
        }
        if (m_level == Level::names) {
            m_level = Level::top;
            return true;
        }
        if (!m_hasSize || !m_hasMtime || (m_journalLine && !m_hasPath)) return false;
        std::string& name = m_journalLine ? m_path : m_name;
        m_entries.emplace_back(std::move(name), m_entry);
        m_level = m_journalLine ? Level::top : Level::names;
        return true;
    }
    bool end_array() {
        --m_skipDepth;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

private:
    enum class Level { top, names, entry };
    enum class Field { mtimeNs, size, path, ignored };

    bool otherValue() { return m_skipDepth > 0 || (m_level == Level::entry && m_field == Field::ignored); }
    bool skipOrFail() {
        if (m_skipDepth == 0 && m_field != Field::ignored) return false;
        ++m_skipDepth;
        return true;
    }
    void enterEntry() {
        m_level = Level::entry;
        m_field = Field::ignored;
        m_entry = {};
        m_hasSize = m_hasMtime = m_hasPath = false;
    }

    bool m_journalLine;
    Level m_level = Level::top;
    Field m_field = Field::ignored;
    int m_skipDepth = 0;
    std::string m_name;
    std::string m_path;
    MetaEntry m_entry;
    bool m_hasSize = false;
    bool m_hasMtime = false;
    bool m_hasPath = false;
    std::vector<std::pair<std::string, MetaEntry>> m_entries;
};

using EntryList = std::vector<std::pair<std::string, MetaEntry>>;

std::optional<EntryList> readEntries(std::string_view text, bool journalLine) {
    EntryReader reader(journalLine);
    try {
        if (!Json::sax_parse(text.begin(), text.end(), &reader)) return std::nullopt;
    } catch (const Json::exception&) {
        return std::nullopt;
    }
    return std::move(reader.entries());
}

// The meta file exactly as encodeMetaMap writes it: no white space, members in
// its order, the few escapes it uses. A meta file of 200,000 entries is read at
// the start of every rerun, and this reads it several times faster than a
// general JSON parser. Anything else (or anything doubtful, such as a number
// that may not fit) makes it give up, and the general reader decides.
class CompactMetaReader {
public:
    using OnEntry = std::function<void(std::string_view, const MetaEntry&)>;
    CompactMetaReader(std::string_view text, const OnEntry& onEntry) : m_text(text), m_onEntry(onEntry) {}

    bool read() {
        if (!take('{')) return false;
        if (take('}')) return atEnd();
        do {
            std::string_view name;
            MetaEntry entry;
            if (!readString(name) || !take(':') || !takeText("{\"mtimeNs\":") || !readUnsigned(entry.mtimeNs) ||
                !takeText(",\"size\":") || !readSize(entry.size) || !take('}')) {
                return false;
            }
            m_onEntry(name, entry);
        } while (take(','));
        return take('}') && atEnd();
    }

private:
    bool atEnd() const { return m_at == m_text.size(); }
    bool take(char c) {
        if (m_at < m_text.size() && m_text[m_at] == c) return ++m_at, true;
        return false;
    }
    bool takeText(std::string_view expected) {
        if (m_text.substr(m_at, expected.size()) != expected) return false;
        m_at += expected.size();
        return true;
    }
    bool readString(std::string_view& out) {
        if (!take('"')) return false;
        const size_t start = m_at;
        while (m_at < m_text.size()) {
            const auto c = static_cast<unsigned char>(m_text[m_at]);
            if (c == '"') {
                out = m_text.substr(start, m_at - start);
                ++m_at;
                return isValidUtf8(out);
            }
            // Escapes and control characters are the general reader's business.
            if (c == '\\' || c < 0x20) return false;
            ++m_at;
        }
        return false;
    }
    // A leading zero is not JSON unless alone; a number that would not fit
    // (the general reader decides what that means) is given up on.
    bool readDigits(std::uint64_t& value) {
        const size_t start = m_at;
        value = 0;
        while (m_at < m_text.size() && m_text[m_at] >= '0' && m_text[m_at] <= '9') {
            const auto digit = static_cast<std::uint64_t>(m_text[m_at] - '0');
            if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
            value = value * 10 + digit;
            ++m_at;
        }
        const size_t count = m_at - start;
        return count > 0 && (count == 1 || m_text[start] != '0');
    }
    bool readUnsigned(std::uint64_t& value) { return readDigits(value); }
    bool readSize(std::int64_t& value) {
        const bool negative = take('-');
        std::uint64_t magnitude = 0;
        if (!readDigits(magnitude) || magnitude > std::uint64_t{1} << 62) return false;
        value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
        return true;
    }

    std::string_view m_text;
    const OnEntry& m_onEntry;
    size_t m_at = 0;
};

// The stamp's two members, written alike in the meta file and the journal.
void appendStampMembers(std::string& out, const MetaEntry& entry) {
    out.append("\"mtimeNs\":");
    appendInteger(out, entry.mtimeNs);
    out.append(",\"size\":");
    appendInteger(out, entry.size);
}

}  // namespace

void appendMetaMember(std::string& out, std::string_view name, const MetaEntry& entry) {
    appendName(out, name);
    out.append(":{");
    appendStampMembers(out, entry);
    out.push_back('}');
}

std::string encodeMetaMap(const MetaMap& map) {
    std::string out;
    out.reserve(2 + map.size() * 64);
    out.push_back('{');
    bool first = true;
    for (const auto& [name, entry] : map) {
        if (!first) out.push_back(',');
        first = false;
        appendMetaMember(out, name, entry);
    }
    out.push_back('}');
    return out;
}

bool forEachMetaEntry(std::string_view json,
                      const std::function<void(std::string_view path, const MetaEntry& entry)>& onEntry) {
    if (CompactMetaReader(json, onEntry).read()) return true;
    const auto entries = readEntries(json, false);
    if (!entries) return false;
    for (const auto& [path, entry] : *entries) onEntry(path, entry);
    return true;
}

std::optional<MetaMap> decodeMetaMap(std::string_view json) {
    MetaMap map;
    if (!forEachMetaEntry(json, [&](std::string_view path, const MetaEntry& entry) {
            map.insert_or_assign(std::string(path), entry);
        })) {
        return std::nullopt;
    }
    return map;
}

MetaMap loadPreviousMeta(const std::filesystem::path& path) {
    const auto text = readWholeFile(path);
    if (!text) return {};
    return decodeMetaMap(*text).value_or(MetaMap{});
}

std::string encodeJournalLine(std::string_view relativePath, const MetaEntry& entry) {
    std::string out;
    out.reserve(relativePath.size() + 64);
    out.append("{\"path\":");
    appendName(out, relativePath);
    out.push_back(',');
    appendStampMembers(out, entry);
    out.append("}\n");
    return out;
}

MetaMap decodeJournal(std::string_view text) {
    MetaMap entries;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty()) continue;
        if (auto one = readEntries(line, true)) {
            for (auto& [path, entry] : *one) entries.insert_or_assign(std::move(path), entry);
        }
    }
    return entries;
}

}  // namespace quellmark
