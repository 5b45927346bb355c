// The C interface between lumo and a plug-in library (plugin/<name>.so), as the plug-in loader
// uses it. Both functions are looked up by name with QLibrary::resolve and have C linkage.
//
//   void* gethook(const char* libraryFileName)
//     Installs the plug-in's Home-key hook in the calling process and returns the hook handle,
//     or null when no hook could be installed (no X11 display, for instance offscreen; the key
//     already grabbed by another client; a hook of this library already installed). The
//     argument is the plug-in's file name ("hudlet.so"); the library copies what it needs.
//     Call it on the thread that runs the QApplication.
//
//   void unhook(void* hook)
//     Removes the hook that gethook returned and closes the plug-in's overlay window if it still
//     exists. Call it before unloading the library; null does nothing. The handle is invalid
//     afterwards.
//
// Unload order in the loader: post OverlayClose to "gamein", wait (processing events) until the
// mailbox "gamein" is gone or a bounded time has passed, unhook, then QLibrary::unload. The
// plug-in is built so that it stays mapped after unload (its Qt objects may still have queued
// events), so unloading is always safe; loading it again gives a fresh hook.
#pragma once

extern "C" {
typedef void* (*LumoGetHookFunction)(const char* libraryFileName);
typedef void (*LumoUnhookFunction)(void* hook);
}

namespace lumo {
inline constexpr const char* GetHookSymbol = "gethook";
inline constexpr const char* UnhookSymbol = "unhook";
}  // namespace lumo
