// Every chat text of the run, received or sent, in the order it came, for the history view and
// the optional log file. Plain data, no Qt, no I/O: the window feeds it and shows it.
//
// The sender splits a text longer than one datagram into several ChatText datagrams, each as
// long as a datagram allows (cut on a character boundary), sent back to back. The wire carries
// no mark that joins them, so a part is taken as the continuation of the sender's previous text
// when that text's last part was full length and the new part follows it within
// ContinueWithinMs. A text of exactly one full datagram followed at once by another text from the
// same member is thus shown joined to it: the price of keeping the wire unchanged.
//
// Memory stays bounded: at most MaxMessages texts and MaxTextBytes bytes of text (as allocated)
// are kept; past either the oldest are dropped and counted (droppedCount), so the view can say
// so. One joined text grows to at most MaxMessageBytes; a further part starts a new text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace lumo {

struct ChatMessage {
    std::int64_t timeMs = 0;  // wall-clock time of its first part, ms since the epoch
    bool outgoing = false;    // sent by this player (to `peer`), or received (from `peer`)
    std::string peer;         // UTF-8 name of the sender or of the recipient
    std::string text;         // UTF-8
};

class ChatHistory {
public:
    static constexpr std::size_t MaxMessages = 100000;
    static constexpr std::size_t MaxTextBytes = 32u * 1024 * 1024;
    static constexpr std::size_t MaxMessageBytes = 64u * 1024;
    static constexpr std::int64_t ContinueWithinMs = 1000;

    // Serials number the texts of the run from 0 and never repeat: a view keeps showing the same
    // text at the same serial while older ones are dropped in front of it.
    struct Added {
        std::uint64_t serial = 0;
        bool continued = false;  // the part was appended to the text at `serial`
        bool mayContinue = false;  // the part was full length: a next part may still join the text
    };

    // A received part, as GBK bytes from the wire (the full-length rule counts wire bytes).
    // `senderKey` tells members apart (their id and address); `senderName` is UTF-8.
    Added addReceived(std::string_view senderKey, std::string_view senderName, std::string_view gbkPart,
                      std::int64_t nowMs, std::int64_t timeMs);
    // A text this player sent, whole.
    Added addSent(std::string_view recipientName, std::string_view utf8Text, std::int64_t timeMs);

    std::uint64_t firstSerial() const { return first_; }
    std::uint64_t endSerial() const { return first_ + messages_.size(); }
    std::size_t size() const { return messages_.size(); }
    // nullptr when `serial` was dropped or not yet written.
    const ChatMessage* at(std::uint64_t serial) const;
    std::uint64_t droppedCount() const { return first_; }
    // Whether the text at `serial` can still grow: the last text received, while a part that
    // continues it may still come. The log file writes a text once it is settled.
    bool settled(std::uint64_t serial, std::int64_t nowMs) const;
    std::size_t textBytes() const { return textBytes_; }

private:
    Added append(ChatMessage message);
    void dropOldest();

    std::deque<ChatMessage> messages_;
    std::uint64_t first_ = 0;
    std::size_t textBytes_ = 0;

    // The text the next part from the same sender may continue.
    struct OpenText {
        std::string senderKey;
        std::uint64_t serial = 0;
        std::int64_t lastPartMs = 0;
        bool lastPartFull = false;
    };
    OpenText open_;
    bool hasOpen_ = false;
};

// One line of the log file: "2026-12-07 21:30:05 " then `heading` (the window's "name说："),
// then the text. Line breaks and other control characters in the text are written as escapes
// (\n, \r, \t, \xNN, and a backslash as \\), so a line always holds one whole text;
// `localOffsetMs` shifts the time from UTC to the player's zone.
std::string formatLogLine(const ChatMessage& message, std::string_view heading, std::int64_t localOffsetMs);

// The log file's name for a group: its host's address ("192.168.1.20.log"), digits and dots only.
std::string logFileName(std::uint32_t hostAddress);

}  // namespace lumo
