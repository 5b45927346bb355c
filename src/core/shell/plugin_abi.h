// The entry points every LUMO plug-in library (plugin/*.so) exports with C linkage. The main
// program loads a library when the player ticks its "&game" item, calls gethook, and keeps the
// handle; before it unloads the library it passes the handle back to unhook.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Installs the plug-in's hook. libraryPath is the library's file name without directory (for
// example "hudlet.so"). Returns the hook handle, or null when nothing was installed.
void* gethook(const char* libraryPath);
// Removes the hook that gethook returned; the library is unloaded right after.
void unhook(void* hook);
// Optional: why the last gethook returned null, as UTF-8 text in the program's language for the
// player, or null. The text stays valid until the next call into the library.
const char* hookproblem(void);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
namespace lumo {
using GetHookFunction = void* (*)(const char* libraryPath);
using UnhookFunction = void (*)(void* hook);
inline constexpr const char* GetHookSymbol = "gethook";
inline constexpr const char* UnhookSymbol = "unhook";
using HookProblemFunction = const char* (*)();
inline constexpr const char* HookProblemSymbol = "hookproblem";
// The most of a hookproblem text the program reads.
inline constexpr int MaxHookProblemBytes = 2048;
}  // namespace lumo
#endif
