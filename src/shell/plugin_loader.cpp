#include "shell/plugin_loader.h"

#include "ui/message_box.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLibrary>
#include <QThread>

#include <cstring>

namespace lumo {

const QString PluginLoader::OverlayTitle = QStringLiteral("gamein");

PluginLoader::PluginLoader(PluginOverlayLink& link, WindowExists windowExists, QWidget* messageParent)
    : link_(link), windowExists_(std::move(windowExists)), messageParent_(messageParent)
{
}

// A plug-in still on when the loader goes (the window closed without unloading) has its hook
// removed; its code stays mapped until the process ends, since windows or handlers it created
// may still be about.
PluginLoader::~PluginLoader()
{
    for (Slot& slot : slots_) {
        if (slot.hook && slot.unhook) slot.unhook(slot.hook);
        slot.hook = nullptr;
    }
}

const std::vector<PluginItem>& PluginLoader::scan()
{
    const QDir directory(QDir::current().filePath(QString::fromUtf8(PluginDirectory)));
    std::vector<std::string> names;
    for (const QString& name : directory.entryList(QDir::Files, QDir::Unsorted))
        names.push_back(QFile::encodeName(name).toStdString());
    items_ = pluginItems(std::move(names));
    return items_;
}

bool PluginLoader::isOn(int item) const { return hasSlot(item) && slots_[item].hook != nullptr; }

void* PluginLoader::hookOf(int item) const { return hasSlot(item) ? slots_[item].hook : nullptr; }

bool PluginLoader::toggle(int item)
{
    if (!hasSlot(item) || item >= static_cast<int>(items_.size()) || busy_) return isOn(item);
    busy_ = true;
    if (isOn(item)) {
        link_.closeOverlay();
        unload(item);
    } else {
        // The new plug-in's overlay opens a pipe of its own.
        if (link_.overlayPipeOpen()) link_.closeOverlayPipe();
        load(item);
    }
    busy_ = false;
    return isOn(item);
}

QString PluginLoader::hookProblem(QLibrary& module)
{
    const auto problem = reinterpret_cast<HookProblemFunction>(module.resolve(HookProblemSymbol));
    const char* text = problem ? problem() : nullptr;
    if (!text) return {};
    // The library's own text, but still bounded and decoded leniently: it goes into a box.
    const QString decoded = QString::fromUtf8(text, qsizetype(::strnlen(text, MaxHookProblemBytes))).trimmed();
    QString shown;
    for (const QChar c : decoded)
        if (c.isPrint() || c == QLatin1Char('\n')) shown += c;
    return shown;
}

bool PluginLoader::load(int item)
{
    const PluginItem& entry = items_[item];
    const QString name = QFile::decodeName(QByteArray::fromStdString(entry.text));
    const QString path =
        QDir::current().filePath(QString::fromUtf8(PluginDirectory) + QLatin1Char('/') + QFile::decodeName(entry.fileName.c_str()));
    auto module = std::make_unique<QLibrary>(path);
    if (!module->load()) {
        tell(CannotLoadText.arg(name, module->errorString()));
        return false;
    }
    const auto gethook = reinterpret_cast<GetHookFunction>(module->resolve(GetHookSymbol));
    const auto unhook = reinterpret_cast<UnhookFunction>(module->resolve(UnhookSymbol));
    // Without unhook its hook could never be removed before the library goes: refuse it.
    if (!gethook || !unhook) {
        module->unload();
        tell(NotAPluginText.arg(name));
        return false;
    }
    void* hook = gethook(entry.fileName.c_str());
    if (!hook) {
        const QString problem = hookProblem(*module);
        module->unload();
        tell(problem.isEmpty() ? HookFailedText.arg(name) : HookRefusedText.arg(name, problem));
        return false;
    }
    Slot& slot = slots_[item];
    slot.module = std::move(module);
    slot.hook = hook;
    slot.unhook = unhook;
    return true;
}

void PluginLoader::unload(int item)
{
    Slot& slot = slots_[item];
    if (!slot.hook) return;
    const bool overlayGone = waitForOverlayToGo();
    slot.unhook(slot.hook);
    slot.hook = nullptr;
    slot.unhook = nullptr;
    // The overlay lives in this process: a window that outlived the wait still runs the
    // library's code, so the code stays mapped (unloading it would crash the program).
    if (overlayGone) slot.module->unload();
    slot.module.reset();
}

void PluginLoader::unloadAll()
{
    if (busy_) return;
    busy_ = true;
    for (int item = 0; item < PluginSlots; ++item) unload(item);
    busy_ = false;
}

bool PluginLoader::waitForOverlayToGo()
{
    if (!windowExists_) return true;
    const QDeadlineTimer deadline(limits_.timeoutMs);
    while (windowExists_(OverlayTitle)) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        QThread::msleep(static_cast<unsigned long>(limits_.stepMs));
    }
    return true;
}

void PluginLoader::tell(const QString& text) const
{
    MessageBoxes::current().inform(messageParent_, QStringLiteral("LUMO"), text);
}

}  // namespace lumo
