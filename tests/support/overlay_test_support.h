// Test helpers for the overlay link: a main window stand-in behind OverlayLinkOwner, and bare
// ends of the link (a mailbox that records posts, a pipe end) to play either side byte by byte.
#pragma once

#include "core/text/gbk.h"
#include "core/link/link_records.h"
#include "link/mailbox.h"
#include "link/pipe_server.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QStringList>
#include <QWidget>
#include <QtTest>

#include <map>
#include <vector>

namespace lumo::test {

inline Roster overlayRoster(const std::vector<std::string>& utf8Names)
{
    Roster roster;
    roster.count = int(utf8Names.size());
    for (std::size_t i = 0; i < utf8Names.size(); ++i) {
        roster.records[i].setName(utf8ToGbk(utf8Names[i]));
        roster.records[i].id = std::uint16_t(i);
        roster.records[i].publicAddress = 0x7F000010u + std::uint32_t(i);
        roster.records[i].publicPort = 3550;
    }
    return roster;
}

// The main window as the link sees it: a member list (rows are the roster reversed, column 0
// the id), voice voiceSlots, the voice button. Every call is logged in order.
class FakeMainWindow : public OverlayLinkOwner {
public:
    struct Row {
        QString idText;
        bool ticked = false;
        QString voiceText;
    };

    void setRoster(const Roster& r)
    {
        roster = r;
        rows.clear();
        for (int i = r.count - 1; i >= 0; --i) rows.push_back({QString::number(r.records[std::size_t(i)].id), false, {}});
    }

    const Roster& overlayRoster() const override { return roster; }
    std::vector<int> overlayVoiceTargets() const override { return targets; }
    // The row that shows member `id`: the list shows the roster reversed.
    Row& rowOf(int id) { return rows.at(std::size_t(roster.count - 1 - id)); }
    void setMemberTicked(int memberId, bool ticked) override
    {
        log << QStringLiteral("tick %1 %2").arg(memberId).arg(ticked);
        rowOf(memberId).ticked = ticked;
        targets.clear();
        for (const Row& row : rows)
            if (row.ticked && targets.size() < 8) targets.push_back(row.idText.toInt());
        if (server && server->pipeOpen()) server->sendSelection();
    }
    bool answerFromOverlay(int memberId, link::VoiceAnswer answer) override
    {
        log << QStringLiteral("answer %1 %2").arg(memberId).arg(int(answer));
        auto slot = voiceSlots.find(memberId);
        if (slot == voiceSlots.end()) return false;
        slot->second = answer;
        rowOf(memberId).voiceText = answer == link::VoiceAnswer::Accepted  ? ChattingText
                                    : answer == link::VoiceAnswer::Refused ? NotChattingText
                                                                           : PromptText;
        return true;
    }
    void setTalking(bool on) override
    {
        log << QStringLiteral("talk %1").arg(on);
        talking = on;
    }

    Roster roster;
    std::vector<Row> rows;
    std::vector<int> targets;
    std::map<int, link::VoiceAnswer> voiceSlots;
    bool talking = false;
    // The main window's voice column after each answer.
    inline static const QString ChattingText = QStringLiteral("聊天中");
    inline static const QString NotChattingText = QStringLiteral("不聊");
    inline static const QString PromptText = QStringLiteral("提示");
    QStringList log;
    PipeServer* server = nullptr;
};

// A mailbox under a title that records every post.
class RecordingMailbox {
public:
    explicit RecordingMailbox(const char* title) : mailbox(QString::fromLatin1(title))
    {
        opened = mailbox.open();
        QObject::connect(&mailbox, &Mailbox::received, [this](int code, int value) { posts.push_back({code, value}); });
    }
    // The first post with `code` that arrives within `ms`, taken out of the record.
    std::optional<link::Post> next(int code, int ms = 2000)
    {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            for (auto it = posts.begin(); it != posts.end(); ++it) {
                if (it->code != code) continue;
                const link::Post post = *it;
                posts.erase(it);
                return post;
            }
            if (timer.elapsed() >= ms) return std::nullopt;
            QTest::qWait(5);
        }
    }
    Mailbox mailbox;
    bool opened = false;
    std::vector<link::Post> posts;
};

inline void writeRaw(QLocalSocket& socket, const Bytes& bytes)
{
    socket.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
    socket.flush();
}

// What arrives within `ms`, or as soon as `expected` bytes are there (then a little more, to see
// that nothing follows).
inline Bytes readRaw(QLocalSocket& socket, std::size_t expected = SIZE_MAX, int ms = 300)
{
    Bytes out;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        if (out.size() >= expected) {
            socket.waitForReadyRead(20);
            const QByteArray extra = socket.readAll();
            out.insert(out.end(), extra.begin(), extra.end());
            break;
        }
        socket.waitForReadyRead(20);
        const QByteArray chunk = socket.readAll();
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
    return out;
}

}  // namespace lumo::test
