// The main window's texts, in one place.
#pragma once

#include <QString>

namespace lumo {
struct BindProblem;
}

namespace lumo::text {

inline const QString AppName = QStringLiteral("LUMO");  // the window's title and its boxes' caption

// Controls.
inline const QString NameLabel = QStringLiteral("你的名字：");
inline const QString HostLabel = QStringLiteral("远端IP：");
inline const QString OwnAddressLabel = QStringLiteral("你的IP：");
inline const QString Connect = QStringLiteral("连接");
inline const QString Update = QStringLiteral("更新");
inline const QString Server = QStringLiteral("Server");
inline const QString Send = QStringLiteral("发送");
inline const QString Voice = QStringLiteral("语聊");
inline const QString StopVoice = QStringLiteral("终止");
inline const QString Gain = QStringLiteral("增溢");
inline const QString GroupMode = QStringLiteral("GGMM：");
inline const QString SiteLink = QStringLiteral("访问站点");
inline const QString GroupChat = QStringLiteral("群聊");
inline const QString ColumnHeaders[] = {QStringLiteral("   id"),   QStringLiteral("名字"),     QStringLiteral("源地址"),
                                        QStringLiteral("源端口"), QStringLiteral("连接状态"), QStringLiteral("语聊状态")};

// The member list's path and voice columns.
inline const QString PathOk = QStringLiteral("OK");
inline const QString Chatting = QStringLiteral("聊天中");
inline const QString NotChatting = QStringLiteral("不聊");
inline const QString Waiting = QStringLiteral("等待");
inline const QString Prompt = QStringLiteral("提示");

// The status line and boxes.
inline const QString Says = QStringLiteral("说：");
inline const QString Left = QStringLiteral("离开了！");
inline const QString PartnerLeft = QStringLiteral("（已离开）");
inline const QString NoName = QStringLiteral("你忘了写上你的名字了！");
inline const QString ConnectFailed = QStringLiteral("连接失败，请检查设置是否正确！");
inline const QString GroupFull = QStringLiteral("群已满，或群主没有回应。");
inline const QString HostGone = QStringLiteral("主机已离开");
// %1: the member's name.
inline const QString NotReached = QStringLiteral("无法连通%1：刚才的文字可能没有送到。");
inline const QString NameTooLong = QStringLiteral("名字太长了：最多 16 个字节（8 个汉字）。");
inline const QString BadAddress = QStringLiteral("远端IP不完整：请填写群主的完整地址，四段数字，例如 192.168.1.20。");
inline const QString NoPartner = QStringLiteral("你要和谁对话，你不说我怎么知道！要你就说吗！...*_*");
inline const QString Alone = QStringLiteral("就你一个人怎么群聊啊，去拉点人来吧！...*_*");
inline const QString VoiceQuestion = QStringLiteral("想和你聊天，接受吗？");
inline const QString NoMicrophone =
    QStringLiteral("无法开始语聊：打不开录音设备。\n请接上麦克风或耳机，检查声音设置，然后再按“语聊”。");

// Ports that cannot be bound: %1 where (this machine, or an address), %2 the port.
inline const QString OnThisMachine = QStringLiteral("本机");
inline const QString OnAddress = QStringLiteral("地址 %1 上");
inline const QString PortInUse = QStringLiteral("LUMO 无法使用%1的 UDP 端口 %2：端口已被占用，可能另一个 LUMO 正在运行。\n"
                                                "请先关闭它，或用 --bind 为这个 LUMO 选一个别的本机地址。");
inline const QString NoSuchAddress = QStringLiteral("LUMO 无法使用地址 %1：本机没有这个地址。\n"
                                                    "请用 --bind 选择本机的一个地址，或不带 --bind 启动。");
inline const QString PortForbidden = QStringLiteral("LUMO 无权使用%1的 UDP 端口 %2。\n请检查系统的网络权限设置。");
inline const QString PortUnusable = QStringLiteral("LUMO 无法使用%1的 UDP 端口 %2（%3）。\n请检查网络设置后重新启动 LUMO。");

// Why a port could not be bound, in the player's words.
QString describe(const BindProblem& problem);

}  // namespace lumo::text
