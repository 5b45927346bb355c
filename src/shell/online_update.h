// Online update and the web links of the menu. The updater is a separate program, "update", in
// the current directory; a downloaded "update.rar" beside it is the new updater and replaces it
// first. The updater is started with the arguments "lumo" and the update server's URL from
// sys/sys.ini [server] http.
#pragma once

#include "ui/ui_text.h"

#include <QString>

namespace lumo {

inline constexpr const char* UpdaterFileName = "update";
inline constexpr const char* DownloadedUpdaterFileName = "update.rar";

// Texts told to the player when the update cannot run (%1: the directory; %2: the reason).
inline constexpr UiText UpdateSwapFailedText = LUMO_UI_TEXT("lumo::OnlineUpdate", "无法用 update.rar 替换 %1 中的升级程序 update：\n%2");
inline constexpr UiText UpdaterMissingText = LUMO_UI_TEXT("lumo::OnlineUpdate", "在 %1 中找不到升级程序 update，无法在线升级。");
inline constexpr UiText UpdaterNotStartedText = LUMO_UI_TEXT("lumo::OnlineUpdate", "%1 中的升级程序 update 无法启动：\n%2");
inline constexpr UiText NoSiteText = LUMO_UI_TEXT("lumo::OnlineUpdate", "没有站点地址：sys/sys.ini 中没有目录服务器。");

// The update sequence in `directory`:
// 1. if update.rar is there, it replaces update (in one step, so there is never a moment
//    without an updater) and is made executable for its owner;
// 2. the URL is read from directory/sys/sys.ini, [server] http (a default when missing);
// 3. update is started detached, in directory, with the arguments "lumo" and the URL, no shell.
// Returns an empty text once the updater has started, otherwise what to tell the player.
QString runOnlineUpdate(const QString& directory);

// The forum beside a directory server: its base URL followed by "/../bbs", unchanged; the
// browser and the server resolve the step up.
QString forumUrl(const QString& baseUrl);

// Opens url in the player's web browser. Returns an empty text when it was handed to a
// browser, otherwise what to tell the player (no URL, or the hyperlink failure text).
QString openWebLink(const QString& url);

}  // namespace lumo
