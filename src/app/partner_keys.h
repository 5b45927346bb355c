// The keys that move the member list's current row (the arrows, Home, End, Page Up and Down)
// choose the chat partner as a click on a row does: `moved` follows each of them, once the list
// has moved its row.
#pragma once

#include <QObject>

class QAbstractItemView;

namespace lumo {

class PartnerKeys : public QObject {
    Q_OBJECT
public:
    // Watches `list`, which owns this object.
    explicit PartnerKeys(QAbstractItemView& list);

signals:
    void moved();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace lumo
