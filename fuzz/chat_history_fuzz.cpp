// Chat text as it reaches the history: a run of datagram payloads from up to 32 senders, with
// the time moving on by 0 to 2.55 s between them. The history must keep its bounds, number its
// texts without gaps, join a part only to the same sender's text, and never lose a byte that
// was not dropped with its whole text.
#include "fuzz_support.h"

#include "core/group/chat_history.h"

#include <string>

using namespace lumo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    ChatHistory history;
    std::int64_t now = 0;
    std::uint64_t added = 0;
    while (!input.empty()) {
        const auto [control, bytes] = input.datagram();
        now += std::int64_t(input.byte()) * 10;
        const std::string sender = std::to_string(control & 0x1F);
        const std::string_view part(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        const std::uint64_t endBefore = history.endSerial();
        const std::string lastTextBefore = endBefore > history.firstSerial() ? history.at(endBefore - 1)->text : "";
        const ChatHistory::Added result = history.addReceived(sender, sender, part, now, now);

        FUZZ_CHECK(history.size() <= ChatHistory::MaxMessages);
        FUZZ_CHECK(history.textBytes() <= ChatHistory::MaxTextBytes || history.size() == 1);
        FUZZ_CHECK(history.firstSerial() + history.size() == history.endSerial());
        if (result.continued) {
            FUZZ_CHECK(result.serial == endBefore - 1);
            const ChatMessage* joined = history.at(result.serial);
            FUZZ_CHECK(joined && joined->peer == sender);
            FUZZ_CHECK(joined->text.size() <= ChatHistory::MaxMessageBytes);
            FUZZ_CHECK(joined->text.compare(0, lastTextBefore.size(), lastTextBefore) == 0);
            FUZZ_CHECK(joined->text.size() == lastTextBefore.size() + gbkToUtf8(part).size());
        } else {
            ++added;
            FUZZ_CHECK(result.serial == endBefore && history.endSerial() == endBefore + 1);
            FUZZ_CHECK(history.at(result.serial)->text == gbkToUtf8(part));
        }
        FUZZ_CHECK(history.endSerial() == added);
        const std::string line = formatLogLine(*history.at(history.endSerial() - 1), sender, 0);
        FUZZ_CHECK(!line.empty() && line.find('\n') == line.size() - 1);
    }
    return 0;
}
