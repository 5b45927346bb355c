// sys/sys.ini as the group browser reads it, whatever the file holds: through the bounded file
// reader (from a memory file) and the urllist grammar, then the names shown in the server choice
// box and the look-up of a picked name.
#include "fuzz_support.h"

#include "core/directory/server_list.h"

#include <string>
#include <sys/mman.h>
#include <unistd.h>

using namespace lumo;

namespace {

constexpr std::string_view WhiteSpace = " \t\n\v\f\r";

bool trimmed(const std::string& text)
{
    return text.empty() || (WhiteSpace.find(text.front()) == std::string_view::npos &&
                            WhiteSpace.find(text.back()) == std::string_view::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const int file = memfd_create("sys.ini", 0);
    FUZZ_CHECK(file >= 0);
    FUZZ_CHECK(ftruncate(file, 0) == 0);
    FUZZ_CHECK(pwrite(file, data, size, 0) == static_cast<ssize_t>(size));

    const auto entries = readServerList("/proc/self/fd/" + std::to_string(file));
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(entries == parseServerList(text.substr(0, MaxServerListBytes)));

    FUZZ_CHECK(entries.size() <= static_cast<std::size_t>(MaxServerEntries));
    for (const ServerEntry& entry : entries) {
        FUZZ_CHECK(entry.name.find('=') == std::string::npos);
        FUZZ_CHECK(entry.name.find('\n') == std::string::npos && entry.url.find('\n') == std::string::npos);
        FUZZ_CHECK(trimmed(entry.name) && trimmed(entry.url));
        fuzz::checkShownText(entry.name);
        // Picking a name gives the URL of the first entry with that name.
        const auto url = findServerUrl(entries, entry.name);
        FUZZ_CHECK(url);
        for (const ServerEntry& earlier : entries) {
            if (earlier.name == entry.name) {
                FUZZ_CHECK(*url == earlier.url);
                break;
            }
        }
    }
    return 0;
}
