// The overlay's tab control (3001): pages registered with a title and a layout id, then created
// as tabs; the first page shows, clicking a tab shows its page.
#pragma once

#include <QList>
#include <QString>
#include <QTabWidget>

namespace lumo {

class OverlayTabControl : public QTabWidget {
    Q_OBJECT
public:
    static constexpr int MaxPages = 16;

    explicit OverlayTabControl(QWidget* parent = nullptr);

    // Registers a page (not yet shown); false, with nothing stored, once 16 are registered.
    bool registerPage(QWidget* page, const QString& title, int templateId);
    // Makes a tab of every registered page, in order, and shows the first.
    void createPages();

    int pageCount() const { return int(pages_.size()); }
    int templateId(int index) const;

private:
    struct Page {
        QWidget* widget;
        QString title;
        int templateId;
    };
    QList<Page> pages_;
};

}  // namespace lumo
