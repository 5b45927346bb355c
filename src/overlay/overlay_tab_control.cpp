#include "overlay/overlay_tab_control.h"

namespace lumo {

OverlayTabControl::OverlayTabControl(QWidget* parent) : QTabWidget(parent) {}

bool OverlayTabControl::registerPage(QWidget* page, const QString& title, int templateId)
{
    if (!page || pages_.size() >= MaxPages) return false;
    pages_.append({page, title, templateId});
    return true;
}

void OverlayTabControl::createPages()
{
    for (const Page& page : std::as_const(pages_)) {
        if (indexOf(page.widget) >= 0) continue;  // already a tab
        addTab(page.widget, page.title);
    }
    if (count() > 0) setCurrentIndex(0);
}

int OverlayTabControl::templateId(int index) const
{
    return index >= 0 && index < pages_.size() ? pages_[index].templateId : 0;
}

}  // namespace lumo
