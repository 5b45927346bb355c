// The hudlet plug-in's exports (see core/shell/plugin_abi.h). Everything else in the library is
// hidden, so the copies of the link code it carries never mix with the program's own.
#include "core/shell/plugin_abi.h"
#include "overlay/home_key_hook.h"

#include <QCoreApplication>
#include <QThread>

#include <cstdio>
#include <cstring>

namespace {

struct PluginState {
    lumo::OverlayToggle toggle;
    lumo::HomeKeyHook* hook = nullptr;
    QByteArray problem;  // why the last gethook failed, for hookproblem
};

PluginState& state()
{
    static PluginState instance;
    return instance;
}

bool onApplicationThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void* gethook(const char* libraryFileName)
{
    // The name tells the library which file it was loaded from; nothing here depends on it, but
    // a caller that passes none is not the plug-in loader.
    if (!libraryFileName || ::strnlen(libraryFileName, 4096) == 4096) return nullptr;
    if (!onApplicationThread()) return nullptr;
    PluginState& plugin = state();
    if (plugin.hook) return nullptr;  // one hook per library
    QString problem;
    plugin.hook = lumo::HomeKeyHook::install([] { state().toggle.homeReleased(); }, &problem);
    plugin.problem = plugin.hook ? QByteArray() : problem.toUtf8();
    // Said on stderr too: the loader's box may not be the first thing a player reads.
    if (!plugin.hook && !problem.isEmpty()) std::fprintf(stderr, "hudlet: %s\n", plugin.problem.constData());
    return plugin.hook;
}

extern "C" __attribute__((visibility("default"))) void unhook(void* hook)
{
    PluginState& plugin = state();
    if (!hook || hook != plugin.hook || !onApplicationThread()) return;
    delete plugin.hook;
    plugin.hook = nullptr;
    plugin.toggle.reset();
}

extern "C" __attribute__((visibility("default"))) const char* hookproblem(void)
{
    const PluginState& plugin = state();
    return plugin.problem.isEmpty() ? nullptr : plugin.problem.constData();
}
