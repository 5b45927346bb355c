// The overlay's chat page (layout 3002): the group's members as the main program last sent them,
// the answer given for each member's voice, what the main window's list shows beside each name
// (path, voice state, talking marker) when the main program sends it, the talk button and the popup menu whose commands
// become LinkMessage posts to the main program. The page keeps its own copy of the roster and of
// the voice targets; rows show the roster reversed (record i in row count - 1 - i).
#pragma once

#include "ui/ui_text.h"

#include "core/link/link_records.h"
#include "core/wire/wire.h"

#include <QString>
#include <QWidget>

#include <array>
#include <functional>
#include <vector>

class QMenu;
class QPushButton;
class QTreeWidget;

namespace lumo {

class OverlayPipeClient;

class OverlayChatPage : public QWidget {
    Q_OBJECT
public:
    static constexpr UiText TalkText = LUMO_UI_TEXT("lumo::OverlayChatPage", "语 聊");
    static constexpr UiText StopText = LUMO_UI_TEXT("lumo::OverlayChatPage", "终 止");
    static const QString LinkedText;       // "ok"
    static constexpr UiText ListenText = LUMO_UI_TEXT("lumo::OverlayChatPage", "要听");
    static constexpr UiText DontListenText = LUMO_UI_TEXT("lumo::OverlayChatPage", "不听");
    static constexpr UiText AskNextText = LUMO_UI_TEXT("lumo::OverlayChatPage", "下次提示");
    // The voice column as the main window's list words it (a context of its own: "不聊" is also
    // a menu command here, worded otherwise).
    // Indexed by VoiceMark - 1 (VoiceMark::None shows nothing).
    static constexpr UiText VoiceStateTexts[] = {
        LUMO_UI_TEXT("lumo::OverlayMemberStates", "聊天中"),
        LUMO_UI_TEXT("lumo::OverlayMemberStates", "不聊"), LUMO_UI_TEXT("lumo::OverlayMemberStates", "等待"),
        LUMO_UI_TEXT("lumo::OverlayMemberStates", "提示")};
    static const QString PathOkText;       // "OK", as the main window's list shows an open path
    // The talking marker's level on the name (absent while not talking), for tests and tools.
    static constexpr int TalkingRole = Qt::UserRole + 2;

    enum Column { IdColumn, NameColumn, LinkColumn, VoiceColumn, ColumnCount };

    // Menu commands; a command posts the code command - CodeOffset.
    static constexpr int TalkToCommand = 32771;      // "要聊"
    static constexpr int DontTalkToCommand = 32772;  // "不聊"
    static constexpr int ListenCommand = 32773;      // "要听"
    static constexpr int DontListenCommand = 32774;  // "不听"
    static constexpr int AskNextCommand = 32775;     // "下次提示"
    static constexpr int RefreshCommand = 32776;     // "刷新"
    static constexpr int LastCommand = 32861;
    static constexpr int CodeOffset = 32761;

    explicit OverlayChatPage(QWidget* parent = nullptr);

    // Where the page's posts go (the owning OverlayDialog's postToMain).
    void setPoster(std::function<void(int code, int value)> post) { post_ = std::move(post); }

    // Reads an announced RosterMessage of `length` bytes from the pipe and shows it. A record
    // that is not whole and consistent leaves the rows as they were; false then.
    bool readRoster(OverlayPipeClient& pipe, qint64 length);
    // Reads an announced SelectionMessage (length 0: no targets, nothing read) and ticks the
    // rows of its ids; false, with the ticks unchanged, for a record that is not whole.
    bool readSelection(OverlayPipeClient& pipe, qint64 length);
    // Reads an announced MemberStatesMessage and shows it; false, with the rows unchanged, for a
    // record that is not whole and consistent.
    bool readMemberStates(OverlayPipeClient& pipe, qint64 length);
    void showRoster(const Roster& roster);
    void showSelection(const std::vector<int>& ids);
    // Entries for members the roster copy does not hold are passed over.
    void showMemberStates(const std::vector<link::MemberState>& states);

    void onTalkButton();
    // Right-click on the list: remembers the selected row (-1 for none) and opens the menu.
    void openMenu(const QPoint& globalPosition);
    void onMenuCommand(int command);
    // Column 3 of `row`, as the answer to a voice request is shown.
    void setAnswerText(int row, const QString& text);

    // --- state, for the overlay window and for tests ---
    const Roster& roster() const { return roster_; }
    int targetCount() const { return targetCount_; }
    int rowCount() const;
    bool isRowTicked(int row) const;
    QString cellText(int row, int column) const;
    int menuRow() const { return menuRow_; }
    QTreeWidget* memberList() const { return memberList_; }
    QPushButton* talkButton() const { return talkButton_; }
    QMenu* popupMenu() const { return popupMenu_; }

private:
    void buildMenu();
    void setRowTicked(int row, bool ticked);
    void post(int code, int value);

    Roster roster_;
    std::array<int, 8> targetIds_{-1, -1, -1, -1, -1, -1, -1, -1};
    int targetCount_ = 0;
    int menuRow_ = -1;
    std::function<void(int, int)> post_;

    QTreeWidget* memberList_ = nullptr;
    QPushButton* talkButton_ = nullptr;
    QMenu* popupMenu_ = nullptr;
};

// The second page (layout 3003): empty.
class OverlayOtherPage : public QWidget {
    Q_OBJECT
public:
    explicit OverlayOtherPage(QWidget* parent = nullptr) : QWidget(parent) {}
};

}  // namespace lumo
