// skin/skin.ini as the "&Skin" menu reads it, whatever the file holds: through the bounded file
// reader (from a memory file) and the skin list's rules, then the names the menu shows and the
// paths the skin library is given.
#include "fuzz_support.h"

#include "core/shell/skin_list.h"

#include <string>
#include <sys/mman.h>
#include <unistd.h>

using namespace lumo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const int file = memfd_create("skin.ini", 0);
    FUZZ_CHECK(file >= 0);
    FUZZ_CHECK(ftruncate(file, 0) == 0);
    FUZZ_CHECK(pwrite(file, data, size, 0) == static_cast<ssize_t>(size));

    const auto entries = readSkinList("/proc/self/fd/" + std::to_string(file));
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(entries == parseSkinList(text.substr(0, MaxSkinListBytes)));

    FUZZ_CHECK(entries.size() <= static_cast<std::size_t>(MaxSkins));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const SkinEntry& entry = entries[i];
        FUZZ_CHECK(entry.index == i + 1);  // the list is the lines right after the section line
        FUZZ_CHECK(entry.name.find('=') == std::string::npos);
        FUZZ_CHECK(entry.name.find('\n') == std::string::npos && entry.file.find('\n') == std::string::npos);
        FUZZ_CHECK(skinFilePath(entry) == SkinDirectory + entry.file);
        fuzz::checkShownText(entry.name);
    }
    return 0;
}
