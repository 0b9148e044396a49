// The meta-file decoder and the journal reader over arbitrary bytes: no crash,
// and whatever decodes encodes back to a text that decodes to the same map.
#include <cstdlib>
#include <string_view>

#include "output/meta_entry.h"

using namespace quellmark;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto map = decodeMetaMap(text)) {
        const auto again = decodeMetaMap(encodeMetaMap(*map));
        if (!again || *again != *map) std::abort();
    }
    const auto journal = decodeJournal(text);
    for (const auto& [path, entry] : journal) {
        const auto line = encodeJournalLine(path, entry);
        const auto back = decodeJournal(line);
        if (back.size() != 1 || back.begin()->second != entry) std::abort();
    }
    return 0;
}
