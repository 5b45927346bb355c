// The main window's texts, in one place.
#pragma once

#include "ui/ui_text.h"

#include <QString>

namespace lumo {
struct BindProblem;
}

namespace lumo::text {

inline const QString AppName = QStringLiteral("LUMO");  // the window's title and its boxes' caption

// Controls.
inline constexpr UiText NameLabel = LUMO_UI_TEXT("lumo::MainDialog", "你的名字：");
inline constexpr UiText HostLabel = LUMO_UI_TEXT("lumo::MainDialog", "远端IP：");
inline constexpr UiText OwnAddressLabel = LUMO_UI_TEXT("lumo::MainDialog", "你的IP：");
inline constexpr UiText Connect = LUMO_UI_TEXT("lumo::MainDialog", "连接");
inline constexpr UiText Update = LUMO_UI_TEXT("lumo::MainDialog", "更新");
inline const QString Server = QStringLiteral("Server");
inline constexpr UiText Send = LUMO_UI_TEXT("lumo::MainDialog", "发送");
inline constexpr UiText Voice = LUMO_UI_TEXT("lumo::MainDialog", "语聊");
inline constexpr UiText StopVoice = LUMO_UI_TEXT("lumo::MainDialog", "终止");
inline constexpr UiText Gain = LUMO_UI_TEXT("lumo::MainDialog", "增溢");
// Mute (nothing of the microphone is sent) and deafen (nothing is played).
inline constexpr UiText MuteMicrophone = LUMO_UI_TEXT("lumo::MainDialog", "闭麦");
inline constexpr UiText DeafenSpeakers = LUMO_UI_TEXT("lumo::MainDialog", "闭听");
inline constexpr UiText MutedStatus = LUMO_UI_TEXT("lumo::MainDialog", "已闭麦：你说的话不会发出。");
inline constexpr UiText UnmutedStatus = LUMO_UI_TEXT("lumo::MainDialog", "已开麦。");
inline constexpr UiText DeafenedStatus = LUMO_UI_TEXT("lumo::MainDialog", "已闭听：听不到别人说话。");
inline constexpr UiText UndeafenedStatus = LUMO_UI_TEXT("lumo::MainDialog", "已开听。");
inline constexpr UiText GroupMode = LUMO_UI_TEXT("lumo::MainDialog", "GGMM：");
inline constexpr UiText SiteLink = LUMO_UI_TEXT("lumo::MainDialog", "访问站点");
inline constexpr UiText GroupChat = LUMO_UI_TEXT("lumo::MainDialog", "群聊");
inline constexpr UiText ColumnHeaders[] = {
    LUMO_UI_TEXT("lumo::MainDialog", "   id"),   LUMO_UI_TEXT("lumo::MainDialog", "名字"),
    LUMO_UI_TEXT("lumo::MainDialog", "源地址"), LUMO_UI_TEXT("lumo::MainDialog", "源端口"),
    LUMO_UI_TEXT("lumo::MainDialog", "连接状态"), LUMO_UI_TEXT("lumo::MainDialog", "语聊状态")};

// The member list's path and voice columns.
inline const QString PathOk = QStringLiteral("OK");
inline constexpr UiText Chatting = LUMO_UI_TEXT("lumo::MainDialog", "聊天中");
inline constexpr UiText NotChatting = LUMO_UI_TEXT("lumo::MainDialog", "不聊");
inline constexpr UiText Waiting = LUMO_UI_TEXT("lumo::MainDialog", "等待");
inline constexpr UiText Prompt = LUMO_UI_TEXT("lumo::MainDialog", "提示");

// The status line and boxes.
inline constexpr UiText Says = LUMO_UI_TEXT("lumo::MainDialog", "说：");
inline constexpr UiText Left = LUMO_UI_TEXT("lumo::MainDialog", "离开了！");
inline constexpr UiText PartnerLeft = LUMO_UI_TEXT("lumo::MainDialog", "（已离开）");
inline constexpr UiText NoName = LUMO_UI_TEXT("lumo::MainDialog", "你忘了写上你的名字了！");
inline constexpr UiText ConnectFailed = LUMO_UI_TEXT("lumo::MainDialog", "连接失败，请检查设置是否正确！");
inline constexpr UiText GroupFull = LUMO_UI_TEXT("lumo::MainDialog", "群已满，或群主没有回应。");
inline constexpr UiText HostGone = LUMO_UI_TEXT("lumo::MainDialog", "主机已离开");
// %1: the member's name.
inline constexpr UiText NotReached = LUMO_UI_TEXT("lumo::MainDialog", "无法连通%1：刚才的文字可能没有送到。");
inline constexpr UiText NameTooLong = LUMO_UI_TEXT("lumo::MainDialog", "名字太长了：最多 16 个字节（8 个汉字）。");
inline constexpr UiText BadAddress = LUMO_UI_TEXT("lumo::MainDialog", "远端IP不完整：请填写群主的完整地址，四段数字，例如 192.168.1.20。");
inline constexpr UiText NoPartner = LUMO_UI_TEXT("lumo::MainDialog", "你要和谁对话，你不说我怎么知道！要你就说吗！...*_*");
inline constexpr UiText Alone = LUMO_UI_TEXT("lumo::MainDialog", "就你一个人怎么群聊啊，去拉点人来吧！...*_*");
inline constexpr UiText VoiceQuestion = LUMO_UI_TEXT("lumo::MainDialog", "想和你聊天，接受吗？");
inline constexpr UiText NoMicrophone = LUMO_UI_TEXT("lumo::MainDialog", "无法开始语聊：打不开录音设备。\n请接上麦克风或耳机，检查声音设置，然后再按“语聊”。");
inline constexpr UiText MicrophoneLost = LUMO_UI_TEXT("lumo::MainDialog", "麦克风已断开");
// Members' keys. %1: the member's name; %2, %3: fingerprints.
inline constexpr UiText KeySealed = LUMO_UI_TEXT("lumo::MainDialog", "%1 的密钥已验证，文字和语音已加密。\n指纹：%2");
inline constexpr UiText KeyPlain = LUMO_UI_TEXT("lumo::MainDialog", "%1 只用普通协议（没有密钥）：文字和语音不加密。");
inline constexpr UiText KeyChecking = LUMO_UI_TEXT("lumo::MainDialog", "正在验证 %1 的密钥。");
inline constexpr UiText KeyNone = LUMO_UI_TEXT("lumo::MainDialog", "还没有和 %1 连通，尚未验证密钥。");
inline constexpr UiText KeyChangedStatus = LUMO_UI_TEXT("lumo::MainDialog", "%1 的密钥与上次不同：接受之前不收发其文字和语音。右击该成员查看。");
inline constexpr UiText KeyChangedAsk = LUMO_UI_TEXT("lumo::MainDialog", "%1 的密钥与上次不同。\n上次的指纹：%2\n这次的指纹：%3\n只有确认是本人（例如重装了LUMO）时才接受。接受新的密钥吗？");
inline constexpr UiText KeyNowPlainAsk = LUMO_UI_TEXT("lumo::MainDialog", "%1 上次有密钥，这次却只用普通协议。\n上次的指纹：%2\n只有确认是本人时才接受。接受吗？");
inline constexpr UiText MicrophoneLostBox = LUMO_UI_TEXT("lumo::MainDialog", "麦克风已断开，语聊已停止。\n接好后再按“语聊”。");

// Joining again by itself. %1: seconds until the next attempt.
inline constexpr UiText HostGoneRetrying = LUMO_UI_TEXT("lumo::MainDialog", "主机已离开，%1 秒后重新连接……");
inline constexpr UiText NetworkChangedRetrying = LUMO_UI_TEXT("lumo::MainDialog", "网络已变化，%1 秒后重新连接……");
inline constexpr UiText Rejoining = LUMO_UI_TEXT("lumo::MainDialog", "正在重新连接……");
// "发送" with nobody chosen or ticked.
inline constexpr UiText NoRecipient = LUMO_UI_TEXT("lumo::MainDialog", "请先点选或勾选要发给的成员。");
// Characters of a sent text that the wire's GBK cannot carry. %1: those characters.
inline constexpr UiText GbkLacks = LUMO_UI_TEXT("lumo::MainDialog", "对方收到的文字里，这些字符会变成“?”：%1");
// Leaving while in a group. %1: how many members it has.
inline constexpr UiText LeaveHosting = LUMO_UI_TEXT("lumo::MainDialog", "你是这个群的主机，群里有 %1 名成员。\n退出后他们会失去主机。确定退出吗？");
inline constexpr UiText LeaveGroup = LUMO_UI_TEXT("lumo::MainDialog", "你在一个有 %1 名成员的群里。确定退出吗？");

// The chat's actions and menu.
inline constexpr UiText HistoryAction = LUMO_UI_TEXT("lumo::MainDialog", "聊天记录(&H)");
inline constexpr UiText LogAction = LUMO_UI_TEXT("lumo::MainDialog", "把聊天记录写入文件(&L)");
inline constexpr UiText MessagesMenu = LUMO_UI_TEXT("lumo::MainDialog", "消息(&M)");

// A member's volume menu: no sound at all.
inline constexpr UiText Mute = LUMO_UI_TEXT("lumo::MainDialog", "静音");
// The overlay's pipe could not be created (chat text keeps coming in boxes).
inline constexpr UiText PipeCreateFailed = LUMO_UI_TEXT("lumo::PipeServer", "服务器创建管道失败！");

// Ports that cannot be bound: %1 where (this machine, or an address), %2 the port.
inline constexpr UiText OnThisMachine = LUMO_UI_TEXT("lumo::MainDialog", "本机");
inline constexpr UiText OnAddress = LUMO_UI_TEXT("lumo::MainDialog", "地址 %1 上");
inline constexpr UiText PortInUse = LUMO_UI_TEXT("lumo::MainDialog",
                                               "LUMO 无法使用%1的 UDP 端口 %2：端口已被占用，可能另一个 LUMO 正在运行。\n"
                                               "请先关闭它，或用 --bind 为这个 LUMO 选一个别的本机地址。");
inline constexpr UiText NoSuchAddress = LUMO_UI_TEXT("lumo::MainDialog",
                                                   "LUMO 无法使用地址 %1：本机没有这个地址。\n"
                                                   "请用 --bind 选择本机的一个地址，或不带 --bind 启动。");
inline constexpr UiText PortForbidden = LUMO_UI_TEXT("lumo::MainDialog", "LUMO 无权使用%1的 UDP 端口 %2。\n请检查系统的网络权限设置。");
inline constexpr UiText PortUnusable = LUMO_UI_TEXT("lumo::MainDialog", "LUMO 无法使用%1的 UDP 端口 %2（%3）。\n请检查网络设置后重新启动 LUMO。");

// Why a port could not be bound, in the player's words.
QString describe(const BindProblem& problem);

}  // namespace lumo::text
