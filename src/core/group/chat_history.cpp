#include "core/group/chat_history.h"

#include "core/text/gbk.h"
#include "core/wire/wire.h"

#include <cstdio>

namespace lumo {

namespace {

// The sender cuts on a character boundary, so a full part is one byte short of the datagram's
// room when a two-byte character did not fit.
constexpr std::size_t FullPartBytes = MaxChatTextBytes - 1;

// What a text holds in memory: a joined text grows by doubling, so its capacity, not its length.
std::size_t heldBytes(const ChatMessage& message) { return message.text.capacity() + message.peer.capacity(); }

}  // namespace

ChatHistory::Added ChatHistory::addReceived(std::string_view senderKey, std::string_view senderName,
                                            std::string_view gbkPart, std::int64_t nowMs, std::int64_t timeMs)
{
    const bool full = gbkPart.size() >= FullPartBytes;
    std::string part = gbkToUtf8(gbkPart);
    if (hasOpen_ && open_.senderKey == senderKey && open_.lastPartFull && open_.serial >= first_ &&
        nowMs - open_.lastPartMs <= ContinueWithinMs) {
        ChatMessage& message = messages_[open_.serial - first_];
        if (message.text.size() + part.size() <= MaxMessageBytes) {
            textBytes_ -= heldBytes(message);
            message.text += part;
            textBytes_ += heldBytes(message);
            open_.lastPartMs = nowMs;
            open_.lastPartFull = full;
            const std::uint64_t serial = open_.serial;
            while (textBytes_ > MaxTextBytes && messages_.size() > 1) dropOldest();
            return {serial, true, full};
        }
    }
    ChatMessage message;
    message.timeMs = timeMs;
    message.peer = std::string(senderName);
    message.text = std::move(part);
    Added added = append(std::move(message));
    open_ = {std::string(senderKey), added.serial, nowMs, full};
    hasOpen_ = true;
    added.mayContinue = full;
    return added;
}

ChatHistory::Added ChatHistory::addSent(std::string_view recipientName, std::string_view utf8Text, std::int64_t timeMs)
{
    ChatMessage message;
    message.timeMs = timeMs;
    message.outgoing = true;
    message.peer = std::string(recipientName);
    message.text = std::string(utf8Text);
    return append(std::move(message));
}

ChatHistory::Added ChatHistory::append(ChatMessage message)
{
    textBytes_ += heldBytes(message);
    messages_.push_back(std::move(message));
    while ((messages_.size() > MaxMessages || textBytes_ > MaxTextBytes) && messages_.size() > 1) dropOldest();
    return {endSerial() - 1, false};
}

void ChatHistory::dropOldest()
{
    textBytes_ -= heldBytes(messages_.front());
    messages_.pop_front();
    ++first_;
}

const ChatMessage* ChatHistory::at(std::uint64_t serial) const
{
    if (serial < first_ || serial >= endSerial()) return nullptr;
    return &messages_[serial - first_];
}

bool ChatHistory::settled(std::uint64_t serial, std::int64_t nowMs) const
{
    return !(hasOpen_ && open_.serial == serial && open_.lastPartFull && nowMs - open_.lastPartMs <= ContinueWithinMs);
}

namespace {

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civilFromDays(std::int64_t days, int& year, int& month, int& day)
{
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    day = int(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    month = int(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    year = int(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
}

}  // namespace

std::string formatLogLine(const ChatMessage& message, std::string_view heading, std::int64_t localOffsetMs)
{
    const std::int64_t ms = message.timeMs + localOffsetMs;
    const std::int64_t seconds = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    const std::int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    const std::int64_t ofDay = seconds - days * 86400;
    int year = 0, month = 0, day = 0;
    civilFromDays(days, year, month, day);
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d ", year, month, day, int(ofDay / 3600),
                  int(ofDay / 60 % 60), int(ofDay % 60));
    std::string line = stamp;
    line.append(heading);
    for (const char c : message.text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\n': line += "\\n"; break;
        case '\r': line += "\\r"; break;
        case '\t': line += "\\t"; break;
        case '\\': line += "\\\\"; break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\x%02X", unsigned(byte));
                line += escape;
            } else {
                line += c;
            }
        }
    }
    line += '\n';
    return line;
}

std::string logFileName(std::uint32_t hostAddress) { return dottedAddress(hostAddress) + ".log"; }

}  // namespace lumo
