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

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
namespace lumo {
using GetHookFunction = void* (*)(const char* libraryPath);
using UnhookFunction = void (*)(void* hook);
inline constexpr const char* GetHookSymbol = "gethook";
inline constexpr const char* UnhookSymbol = "unhook";
}  // namespace lumo
#endif
