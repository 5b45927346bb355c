<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="zh_CN">
<context>
    <name>ChatHistoryWindow</name>
    <message>
        <source>我对%1说：</source>
        <translation>I said to %1: </translation>
    </message>
</context>
<context>
    <name>MenuBar</name>
    <message>
        <source>退出</source>
        <translation>E&amp;xit</translation>
    </message>
    <message>
        <source>&amp;在线升级</source>
        <translation>&amp;Online Update</translation>
    </message>
    <message>
        <source>跟随系统</source>
        <translation>&amp;System Language</translation>
    </message>
</context>
<context>
    <name>lumo::AboutDialog</name>
    <message>
        <source>LUMO 是自由软件：你可以按 GNU 通用公共许可证第 3 版或（由你选择）任何更新版本再发布和修改它。它不带任何担保。许可证全文见随程序附带的 LICENSE 文件。</source>
        <translation>LUMO is free software: you can redistribute and modify it under the GNU General Public License, version 3 or (at your option) any later version. It comes with no warranty. The full licence is in the LICENSE file that comes with the program.</translation>
    </message>
    <message>
        <source>本机密钥指纹：
%1</source>
        <translation>This install's key fingerprint:
%1</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>关于LUMO </source>
        <translation>About LUMO </translation>
    </message>
    <message>
        <source>LUMO %1 版</source>
        <translation>LUMO %1</translation>
    </message>
    <message>
        <source>Copyright (C) 2004
LUMO 开发组</source>
        <translation>Copyright (C) 2004
The LUMO developers</translation>
    </message>
</context>
<context>
    <name>lumo::CallPromptDialog</name>
    <message>
        <source>密钥…</source>
        <translation>Key…</translation>
    </message>
    <message>
        <source>同意通话</source>
        <translation>Accept call</translation>
    </message>
    <message>
        <source>拒绝通话</source>
        <translation>Refuse call</translation>
    </message>
    <message>
        <source>下次提示</source>
        <translation>Ask later</translation>
    </message>
    <message>
        <source>音量…</source>
        <translation>Volume…</translation>
    </message>
</context>
<context>
    <name>lumo::ChatHistoryWindow</name>
    <message>
        <source>聊天记录</source>
        <translation>Chat history</translation>
    </message>
    <message>
        <source>为节省内存，最早的 %1 条消息已从记录中删除。</source>
        <translation>To save memory, the oldest %1 messages were removed from the history.</translation>
    </message>
</context>
<context>
    <name>lumo::ChatInbox</name>
    <message>
        <source>聊天记录（%1 条未读）</source>
        <translation>Chat history (%1 unread)</translation>
    </message>
    <message>
        <source>聊天记录</source>
        <translation>Chat history</translation>
    </message>
</context>
<context>
    <name>lumo::ChatLogWriter</name>
    <message>
        <source>无法写入聊天记录文件 %1：%2</source>
        <translation>Cannot write the chat log file %1: %2</translation>
    </message>
    <message>
        <source>聊天记录文件 %1 已超过 64 MB，不再写入。</source>
        <translation>The chat log file %1 is over 64 MB; nothing more is written to it.</translation>
    </message>
</context>
<context>
    <name>lumo::DesktopNotifier</name>
    <message>
        <source>（另有 %1 条新消息）</source>
        <translation>(%1 more new messages)</translation>
    </message>
    <message>
        <source>打开 LUMO</source>
        <translation>Open LUMO</translation>
    </message>
</context>
<context>
    <name>lumo::GlobalKey</name>
    <message>
        <source>无法监听这个按键：X 服务器没有 XInput2 扩展，或键盘上没有这个键。</source>
        <translation>This key cannot be watched: the X server has no XInput2 extension, or no key of the keyboard makes it.</translation>
    </message>
    <message>
        <source>桌面没有提供全局快捷键门户（org.freedesktop.portal.GlobalShortcuts）。</source>
        <translation>The desktop offers no global shortcuts portal (org.freedesktop.portal.GlobalShortcuts).</translation>
    </message>
    <message>
        <source>桌面没有绑定这个按键。</source>
        <translation>The desktop did not bind this key.</translation>
    </message>
    <message>
        <source>桌面的全局快捷键门户已退出。</source>
        <translation>The desktop&apos;s global shortcuts portal went away.</translation>
    </message>
    <message>
        <source>按键只在 X11 程序（经 XWayland 运行的游戏）有焦点时有效；KDE Plasma 5.27 及以后、GNOME 48 及以后的桌面提供该门户。</source>
        <translation>The key works only while an X11 program (a game run through XWayland) has the focus; KDE Plasma 5.27 and later and GNOME 48 and later offer the portal.</translation>
    </message>
    <message>
        <source>按键无法使用：请以 QT_QPA_PLATFORM=xcb 启动 LUMO（经 XWayland 运行，按键在 X11 游戏有焦点时有效），或使用提供该门户的桌面（KDE Plasma 5.27 及以后、GNOME 48 及以后）。</source>
        <translation>The key cannot be used: start LUMO with QT_QPA_PLATFORM=xcb (through XWayland; the key then works while an X11 game has the focus), or use a desktop that offers the portal (KDE Plasma 5.27 and later, GNOME 48 and later).</translation>
    </message>
    <message>
        <source>正在请桌面绑定按键……</source>
        <translation>Asking the desktop to bind the key…</translation>
    </message>
    <message>
        <source>由桌面绑定：%1</source>
        <translation>Bound by the desktop: %1</translation>
    </message>
    <message>
        <source>已由桌面绑定。</source>
        <translation>Bound by the desktop.</translation>
    </message>
    <message>
        <source>这里也没有 X11 显示：按键无法使用。</source>
        <translation>There is no X11 display here either: the key cannot be used.</translation>
    </message>
</context>
<context>
    <name>lumo::GroupBrowserDialog</name>
    <message>
        <source>请先写上群名。</source>
        <translation>Type a group name first.</translation>
    </message>
    <message>
        <source>群目录不接受带空格的群名：请去掉空格后再创建。</source>
        <translation>The group directory takes no spaces in a group name: remove them and create again.</translation>
    </message>
    <message>
        <source>群已建好：写上酷名，双击你的群加入。</source>
        <translation>Group created: type a nickname and double-click your group to join it.</translation>
    </message>
    <message>
        <source>群名</source>
        <translation>Group</translation>
    </message>
    <message>
        <source>地址</source>
        <translation>Address</translation>
    </message>
    <message>
        <source>端口</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>状态</source>
        <translation>Status</translation>
    </message>
    <message>
        <source>我要建群</source>
        <translation>Host a group</translation>
    </message>
    <message>
        <source>群名：</source>
        <translation>Group:</translation>
    </message>
    <message>
        <source>创 建</source>
        <translation>Create</translation>
    </message>
    <message>
        <source>你的酷名：</source>
        <translation>Nickname:</translation>
    </message>
    <message>
        <source>在线</source>
        <translation>online</translation>
    </message>
    <message>
        <source>显示前 %1 个群</source>
        <translation>First %1 groups</translation>
    </message>
    <message>
        <source>另有 %1 个群未显示</source>
        <translation>%1 more groups not shown</translation>
    </message>
    <message>
        <source>请等待</source>
        <translation>Wait</translation>
    </message>
    <message>
        <source>刷 新</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>我要建群!</source>
        <translation>Host a group!</translation>
    </message>
    <message>
        <source>我要建群！</source>
        <translation>Host a group!</translation>
    </message>
    <message>
        <source>你是内网用户，不能建群！</source>
        <translation>Your address is a private one: you cannot host a group!</translation>
    </message>
    <message>
        <source>出错了，请重试！</source>
        <translation>Something went wrong, please try again!</translation>
    </message>
    <message>
        <source>连接失败，请再次刷新！</source>
        <translation>Connecting failed, please refresh again!</translation>
    </message>
    <message>
        <source>创建失败，请再次创建！</source>
        <translation>Creating failed, please create again!</translation>
    </message>
    <message>
        <source>你忘了你的酷名了！*_*</source>
        <translation>You forgot your nickname! *_*</translation>
    </message>
    <message>
        <source>找不到群目录服务器：%1 不存在，或其中 [urllist] 一节没有列出服务器。
请在 LUMO 的运行目录中启动 LUMO（scripts/run 或已安装的 lumo 命令），或重新安装 LUMO。</source>
        <translation>No group directory server: %1 does not exist, or its [urllist] section lists no server.
Start LUMO in its run directory (scripts/run or the installed lumo command), or install LUMO again.</translation>
    </message>
    <message>
        <source>群列表太大，无法显示！</source>
        <translation>The group list is too large to show!</translation>
    </message>
    <message>
        <source>在线群</source>
        <translation>Online groups</translation>
    </message>
</context>
<context>
    <name>lumo::HomeKeyHook</name>
    <message>
        <source>游戏内浮窗需要 X11 会话，或经 XWayland 运行的 LUMO（以 QT_QPA_PLATFORM=xcb 启动）：作为 Wayland 原生窗口，它无法停留在游戏上方，也听不到游戏中按下的 Home 键。</source>
        <translation>The in-game overlay needs an X11 session, or LUMO run through XWayland (start it with QT_QPA_PLATFORM=xcb): as a native Wayland window it can neither stay above the game nor hear Home pressed in the game.</translation>
    </message>
    <message>
        <source>显示或隐藏 LUMO 的游戏内浮窗</source>
        <translation>Show or hide LUMO&apos;s in-game overlay</translation>
    </message>
</context>
<context>
    <name>lumo::HyperLinkLabel</name>
    <message>
        <source>找不到 BROWSER 环境变量指定的浏览器程序。</source>
        <translation>The browser named by the BROWSER environment variable was not found.</translation>
    </message>
    <message>
        <source>本机没有可以打开网页的程序。</source>
        <translation>This machine has no program that opens web pages.</translation>
    </message>
    <message>
        <source>系统资源不足。</source>
        <translation>Not enough system resources.</translation>
    </message>
    <message>
        <source>未知错误（%1）。</source>
        <translation>Unknown error (%1).</translation>
    </message>
    <message>
        <source>无法打开网页 %1
%2
请安装一个网页浏览器（或用 BROWSER 环境变量指定一个），然后再试。</source>
        <translation>Cannot open the web page %1
%2
Please install a web browser (or name one in the BROWSER environment variable), then try again.</translation>
    </message>
</context>
<context>
    <name>lumo::MainDialog</name>
    <message>
        <source>主机已离开，%1 秒后重新连接……</source>
        <translation>The host has left; joining again in %1 s…</translation>
    </message>
    <message>
        <source>网络已变化，%1 秒后重新连接……</source>
        <translation>The network changed; joining again in %1 s…</translation>
    </message>
    <message>
        <source>正在重新连接……</source>
        <translation>Joining again…</translation>
    </message>
    <message>
        <source>请先点选或勾选要发给的成员。</source>
        <translation>Click or tick the members to send to first.</translation>
    </message>
    <message>
        <source>对方收到的文字里，这些字符会变成“?”：%1</source>
        <translation>The others will see these characters as "?": %1</translation>
    </message>
    <message>
        <source>你是这个群的主机，群里有 %1 名成员。
退出后他们会失去主机。确定退出吗？</source>
        <translation>You host this group, which has %1 members.
If you quit, they lose their host. Quit anyway?</translation>
    </message>
    <message>
        <source>你在一个有 %1 名成员的群里。确定退出吗？</source>
        <translation>You are in a group of %1 members. Quit anyway?</translation>
    </message>
    <message>
        <source>%1 的密钥已验证，文字和语音已加密。
指纹：%2</source>
        <translation>%1's key proved itself: text and voice are sealed.
Fingerprint: %2</translation>
    </message>
    <message>
        <source>%1 只用普通协议（没有密钥）：文字和语音不加密。</source>
        <translation>%1 speaks only the plain protocol (no key): text and voice are not sealed.</translation>
    </message>
    <message>
        <source>正在验证 %1 的密钥。</source>
        <translation>Checking %1's key.</translation>
    </message>
    <message>
        <source>还没有和 %1 连通，尚未验证密钥。</source>
        <translation>No path to %1 yet: its key has not been checked.</translation>
    </message>
    <message>
        <source>%1 的密钥与上次不同：接受之前不收发其文字和语音。右击该成员查看。</source>
        <translation>%1's key differs from last time: no text or voice goes to or comes from %1 until you accept it. Right-click the member to see it.</translation>
    </message>
    <message>
        <source>%1 的密钥与上次不同。
上次的指纹：%2
这次的指纹：%3
只有确认是本人（例如重装了LUMO）时才接受。接受新的密钥吗？</source>
        <translation>%1's key differs from last time.
Fingerprint last time: %2
Fingerprint now: %3
Accept it only when you are sure it is the same player (who reinstalled LUMO, for example). Accept the new key?</translation>
    </message>
    <message>
        <source>%1 上次有密钥，这次却只用普通协议。
上次的指纹：%2
只有确认是本人时才接受。接受吗？</source>
        <translation>%1 had a key last time but now speaks only the plain protocol.
Fingerprint last time: %2
Accept this only when you are sure it is the same player. Accept?</translation>
    </message>
    <message>
        <source>你的名字：</source>
        <translation>Name:</translation>
    </message>
    <message>
        <source>远端IP：</source>
        <translation>Host IP:</translation>
    </message>
    <message>
        <source>你的IP：</source>
        <translation>Your IP:</translation>
    </message>
    <message>
        <source>连接</source>
        <translation>Join</translation>
    </message>
    <message>
        <source>更新</source>
        <translation>Renew</translation>
    </message>
    <message>
        <source>发送</source>
        <translation>Send</translation>
    </message>
    <message>
        <source>语聊</source>
        <translation>Talk</translation>
    </message>
    <message>
        <source>终止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>增溢</source>
        <translation>Gain</translation>
    </message>
    <message>
        <source>闭麦</source>
        <translation>Mute</translation>
    </message>
    <message>
        <source>闭听</source>
        <translation>Deafen</translation>
    </message>
    <message>
        <source>已闭麦：你说的话不会发出。</source>
        <translation>Muted: nothing you say goes out.</translation>
    </message>
    <message>
        <source>已开麦。</source>
        <translation>Unmuted.</translation>
    </message>
    <message>
        <source>已闭听：听不到别人说话。</source>
        <translation>Deafened: you hear nobody.</translation>
    </message>
    <message>
        <source>已开听。</source>
        <translation>Hearing again.</translation>
    </message>
    <message>
        <source>GGMM：</source>
        <translation>GGMM:</translation>
    </message>
    <message>
        <source>访问站点</source>
        <translation>Visit site</translation>
    </message>
    <message>
        <source>群聊</source>
        <translation>Group chat</translation>
    </message>
    <message>
        <source>   id</source>
        <translation>   id</translation>
    </message>
    <message>
        <source>名字</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>源地址</source>
        <translation>Address</translation>
    </message>
    <message>
        <source>源端口</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>连接状态</source>
        <translation>Path</translation>
    </message>
    <message>
        <source>语聊状态</source>
        <translation>Voice</translation>
    </message>
    <message>
        <source>聊天中</source>
        <translation>Talking</translation>
    </message>
    <message>
        <source>不聊</source>
        <translation>Off</translation>
    </message>
    <message>
        <source>等待</source>
        <translation>Waiting</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>Ask</translation>
    </message>
    <message>
        <source>说：</source>
        <translation> says: </translation>
    </message>
    <message>
        <source>离开了！</source>
        <translation> left!</translation>
    </message>
    <message>
        <source>（已离开）</source>
        <translation> (left)</translation>
    </message>
    <message>
        <source>你忘了写上你的名字了！</source>
        <translation>You forgot to write your name!</translation>
    </message>
    <message>
        <source>连接失败，请检查设置是否正确！</source>
        <translation>Connecting failed, please check your settings!</translation>
    </message>
    <message>
        <source>群已满，或群主没有回应。</source>
        <translation>The group is full, or its host does not answer.</translation>
    </message>
    <message>
        <source>主机已离开</source>
        <translation>The host has left</translation>
    </message>
    <message>
        <source>名字太长了：最多 16 个字节（8 个汉字）。</source>
        <translation>The name is too long: at most 16 bytes (8 Chinese characters).</translation>
    </message>
    <message>
        <source>远端IP不完整：请填写群主的完整地址，四段数字，例如 192.168.1.20。</source>
        <translation>The host IP is incomplete: fill in the full address of the group&apos;s host, four numbers, such as 192.168.1.20.</translation>
    </message>
    <message>
        <source>你要和谁对话，你不说我怎么知道！要你就说吗！...*_*</source>
        <translation>Who do you want to talk to? If you do not say, how should I know! ...*_*</translation>
    </message>
    <message>
        <source>就你一个人怎么群聊啊，去拉点人来吧！...*_*</source>
        <translation>A group chat all by yourself? Go and bring some people along! ...*_*</translation>
    </message>
    <message>
        <source>想和你聊天，接受吗？</source>
        <translation> wants to talk with you. Accept?</translation>
    </message>
    <message>
        <source>无法开始语聊：打不开录音设备。
请接上麦克风或耳机，检查声音设置，然后再按“语聊”。</source>
        <translation>Cannot start talking: the recording device does not open.
Plug in a microphone or a headset, check the sound settings, then press &quot;Talk&quot; again.</translation>
    </message>
    <message>
        <source>本机</source>
        <translation>this machine</translation>
    </message>
    <message>
        <source>地址 %1 上</source>
        <translation>address %1</translation>
    </message>
    <message>
        <source>LUMO 无法使用%1的 UDP 端口 %2：端口已被占用，可能另一个 LUMO 正在运行。
请先关闭它，或用 --bind 为这个 LUMO 选一个别的本机地址。</source>
        <translation>LUMO cannot use UDP port %2 on %1: the port is in use, perhaps by another LUMO.
Close that one first, or choose another address of this machine for this LUMO with --bind.</translation>
    </message>
    <message>
        <source>LUMO 无法使用地址 %1：本机没有这个地址。
请用 --bind 选择本机的一个地址，或不带 --bind 启动。</source>
        <translation>LUMO cannot use the address %1: this machine does not have it.
Choose one of this machine&apos;s addresses with --bind, or start without --bind.</translation>
    </message>
    <message>
        <source>LUMO 无权使用%1的 UDP 端口 %2。
请检查系统的网络权限设置。</source>
        <translation>LUMO may not use UDP port %2 on %1.
Please check the system&apos;s network permissions.</translation>
    </message>
    <message>
        <source>LUMO 无法使用%1的 UDP 端口 %2（%3）。
请检查网络设置后重新启动 LUMO。</source>
        <translation>LUMO cannot use UDP port %2 on %1 (%3).
Please check the network settings, then start LUMO again.</translation>
    </message>
    <message>
        <source>聊天记录(&amp;H)</source>
        <translation>Chat &amp;history</translation>
    </message>
    <message>
        <source>把聊天记录写入文件(&amp;L)</source>
        <translation>&amp;Log chat history to a file</translation>
    </message>
    <message>
        <source>消息(&amp;M)</source>
        <translation>&amp;Messages</translation>
    </message>
    <message>
        <source>无法连通%1：刚才的文字可能没有送到。</source>
        <translation>Cannot reach %1: the text just sent may not have arrived.</translation>
    </message>
    <message>
        <source>声音设置...</source>
        <translation>Sound settings...</translation>
    </message>
    <message>
        <source>静音</source>
        <translation>Mute</translation>
    </message>
    <message>
        <source>麦克风已断开</source>
        <translation>Microphone disconnected</translation>
    </message>
    <message>
        <source>麦克风已断开，语聊已停止。
接好后再按“语聊”。</source>
        <translation>The microphone was disconnected; voice chat stopped.
Reconnect it and press &quot;Talk&quot; again.</translation>
    </message>
    <message>
        <source>按住说话（LUMO 群聊语音）</source>
        <translation>Push to talk (LUMO group voice)</translation>
    </message>
    <message>
        <source>按键说话无法使用，详见“声音设置”。</source>
        <translation>Push-to-talk cannot work here; see Sound settings.</translation>
    </message>
    <message>
        <source>按键说话仅在 X11 程序有焦点时有效。</source>
        <translation>Push-to-talk works only while an X11 program has the focus.</translation>
    </message>
    <message>
        <source>按键说话：%1</source>
        <translation>Push-to-talk: %1</translation>
    </message>
</context>
<context>
    <name>lumo::MainWindowShell</name>
    <message>
        <source>语言设置已保存，LUMO 下次启动时生效。</source>
        <translation>The language setting is saved; it applies from the next start of LUMO.</translation>
    </message>
    <message>
        <source>无法保存语言设置：%1 无法写入。</source>
        <translation>Cannot save the language setting: %1 cannot be written.</translation>
    </message>
    <message>
        <source>无法加载皮肤文件 %1。</source>
        <translation>Cannot load the skin file %1.</translation>
    </message>
</context>
<context>
    <name>lumo::OnlineUpdate</name>
    <message>
        <source>无法用 update.rar 替换 %1 中的升级程序 update：
%2</source>
        <translation>Cannot replace the updater update in %1 with update.rar:
%2</translation>
    </message>
    <message>
        <source>在 %1 中找不到升级程序 update，无法在线升级。</source>
        <translation>The updater update is not in %1: the online update cannot run.</translation>
    </message>
    <message>
        <source>%1 中的升级程序 update 无法启动：
%2</source>
        <translation>The updater update in %1 cannot be started:
%2</translation>
    </message>
    <message>
        <source>没有站点地址：sys/sys.ini 中没有目录服务器。</source>
        <translation>No site address: sys/sys.ini lists no directory server.</translation>
    </message>
</context>
<context>
    <name>lumo::OverlayChatPage</name>
    <message>
        <source>名字</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>连接状态</source>
        <translation>Path</translation>
    </message>
    <message>
        <source>语聊状态</source>
        <translation>Voice</translation>
    </message>
    <message>
        <source>要聊</source>
        <translation>Talk to</translation>
    </message>
    <message>
        <source>不聊</source>
        <translation>Don&apos;t talk to</translation>
    </message>
    <message>
        <source>要听</source>
        <translation>Listen</translation>
    </message>
    <message>
        <source>不听</source>
        <translation>Don&apos;t listen</translation>
    </message>
    <message>
        <source>下次提示</source>
        <translation>Ask later</translation>
    </message>
    <message>
        <source>刷新</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>语 聊</source>
        <translation>Talk</translation>
    </message>
    <message>
        <source>终 止</source>
        <translation>Stop</translation>
    </message>
</context>
<context>
    <name>lumo::OverlayDialog</name>
    <message>
        <source>聊天</source>
        <translation>Chat</translation>
    </message>
    <message>
        <source>其它</source>
        <translation>Other</translation>
    </message>
    <message>
        <source>等待管道失败！</source>
        <translation>Waiting for the pipe failed!</translation>
    </message>
    <message>
        <source>打开管道失败！</source>
        <translation>Opening the pipe failed!</translation>
    </message>
    <message>
        <source>想和你聊天，接受吗？</source>
        <translation> wants to talk with you. Accept?</translation>
    </message>
</context>
<context>
    <name>lumo::PipeServer</name>
    <message>
        <source>服务器创建管道失败！</source>
        <translation>The server could not create the pipe!</translation>
    </message>
</context>
<context>
    <name>lumo::PluginLoader</name>
    <message>
        <source>插件 %1 无法加载：
%2</source>
        <translation>The plug-in %1 cannot be loaded:
%2</translation>
    </message>
    <message>
        <source>插件 %1 不是 LUMO 插件：缺少 gethook 或 unhook。</source>
        <translation>The plug-in %1 is not a LUMO plug-in: gethook or unhook is missing.</translation>
    </message>
    <message>
        <source>插件 %1 未能启动：gethook 失败。</source>
        <translation>The plug-in %1 did not start: gethook failed.</translation>
    </message>
    <message>
        <source>插件 %1 未能启动：%2</source>
        <translation>The plug-in %1 did not start: %2</translation>
    </message>
</context>
<context>
    <name>lumo::RememberedSettings</name>
    <message>
        <source>无法保存设置：%1 不可写。这次的改动在下次启动时不会保留。</source>
        <translation>Settings cannot be saved: %1 is not writable. Changes made now will be gone at the next start.</translation>
    </message>
    <message>
        <source>设置文件 %1 已损坏或含有无法使用的值，相关设置已恢复为默认值。</source>
        <translation>The settings file %1 is damaged or holds values that cannot be used; those settings have been reset to their defaults.</translation>
    </message>
    <message>
        <source>原文件已另存为 %1。</source>
        <translation>The original file has been kept as %1.</translation>
    </message>
</context>
<context>
    <name>lumo::SoundDialog</name>
    <message>
        <source>声音设置</source>
        <translation>Sound settings</translation>
    </message>
    <message>
        <source>刷新</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>测试声音</source>
        <translation>Test sound</translation>
    </message>
    <message>
        <source>设置按键(&amp;K)</source>
        <translation>Set &amp;key</translation>
    </message>
    <message>
        <source>清除按键</source>
        <translation>Clear key</translation>
    </message>
    <message>
        <source>输入设备：</source>
        <translation>Input device:</translation>
    </message>
    <message>
        <source>输出设备：</source>
        <translation>Output device:</translation>
    </message>
    <message>
        <source>麦克风音量：</source>
        <translation>Microphone level:</translation>
    </message>
    <message>
        <source>静音门限：</source>
        <translation>Silence threshold:</translation>
    </message>
    <message>
        <source>按键说话：</source>
        <translation>Push to talk:</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>默认设备</source>
        <translation>Default device</translation>
    </message>
    <message>
        <source>（默认）</source>
        <translation> (default)</translation>
    </message>
    <message>
        <source>%1（未接上）</source>
        <translation>%1 (not plugged in)</translation>
    </message>
    <message>
        <source>找不到设备：%1</source>
        <translation>Device not found: %1</translation>
    </message>
    <message>
        <source>打不开录音设备。</source>
        <translation>Cannot open the recording device.</translation>
    </message>
    <message>
        <source>录音设备已断开。</source>
        <translation>The recording device was disconnected.</translation>
    </message>
    <message>
        <source>打不开放音设备。</source>
        <translation>Cannot open the playback device.</translation>
    </message>
    <message>
        <source>请按一个键…（Esc 取消）</source>
        <translation>Press a key… (Esc cancels)</translation>
    </message>
    <message>
        <source>无（声音够大时自动发出）</source>
        <translation>None (sent automatically when loud enough)</translation>
    </message>
    <message>
        <source>降噪</source>
        <translation>Noise suppression</translation>
    </message>
    <message>
        <source>自动增益</source>
        <translation>Automatic gain</translation>
    </message>
    <message>
        <source>回声消除</source>
        <translation>Echo cancellation</translation>
    </message>
    <message>
        <source>用扬声器时打开；戴耳机时不需要</source>
        <translation>On with speakers; not needed with a headset</translation>
    </message>
    <message>
        <source>只在听到人声时发送</source>
        <translation>Send only when a voice is heard</translation>
    </message>
    <message>
        <source>麦克风处理：</source>
        <translation>Voice processing:</translation>
    </message>
</context>
<context>
    <name>lumo::TrayNotifications</name>
    <message>
        <source>关闭窗口时留在托盘(&amp;T)</source>
        <translation>Keep running in the &amp;tray when the window is closed</translation>
    </message>
    <message>
        <source>打开 LUMO</source>
        <translation>Open LUMO</translation>
    </message>
    <message>
        <source>退出</source>
        <translation>Quit</translation>
    </message>
    <message>
        <source>LUMO：%1 条未读消息</source>
        <translation>LUMO: %1 unread messages</translation>
    </message>
</context>
</TS>
