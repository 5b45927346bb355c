// One main window for a test, offscreen, on loopback addresses of its own: the window at
// 127.B.0.<first>, a fake host at <first + 1> and fake members at <first + 2>, <first + 3>, ...
// Message boxes are recorded (boxes) and the directory lists no groups and sees the window where
// it is (directory), unless the test scripts them. The test drives the window through its
// controls, as a player does, and the fake peers' datagrams.
#pragma once

#include "app/main_dialog.h"
#include "fake_directory.h"
#include "fake_peer.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <initializer_list>
#include <memory>
#include <vector>

namespace lumo::test {

struct DialogHarnessOptions {
    int firstAddress = 20;  // the window's address: 127.B.0.<firstAddress>
    int members = 2;        // fake members beside the host
    bool show = true;
    bool directoryReachable = true;
    AudioSystem* audio = nullptr;  // none: no sound card
    bool devicesFromCommandLine = false;
};

class DialogHarness {
public:
    using Options = DialogHarnessOptions;

    explicit DialogHarness(const Options& options = {}) : first_(options.firstAddress)
    {
        if (options.directoryReachable)
            directory.otherwise = HttpReply{true, "myserverlist\r\n" + dottedAddress(address()) + " \r\n"};
        MainDialogOptions dialogOptions;
        dialogOptions.bindAddress = address();
        dialogOptions.directoryHttp = &directory;
        dialogOptions.audio = options.audio;
        dialogOptions.devicesFromCommandLine = options.devicesFromCommandLine;
        dialog_ = std::make_unique<MainDialog>(dialogOptions);
        if (options.show) dialog_->show();
        host_ = std::make_unique<FakePeer>(hostAddress(), HostPort);
        for (int i = 0; i < options.members; ++i)
            members_.push_back(std::make_unique<FakePeer>(memberAddress(i), MemberPort));
    }
    ~DialogHarness()
    {
        dialog_.reset();  // the window says its goodbyes while the peers still listen
        members_.clear();
        host_.reset();
    }

    // Every socket is bound.
    bool ready() const
    {
        bool bound = dialog_->socketsBound() && host_->bound();
        for (const auto& member : members_) bound = bound && member->bound();
        return bound;
    }

    MainDialog& dialog() const { return *dialog_; }
    FakePeer& host() const { return *host_; }
    FakePeer& member(int index) const { return *members_.at(std::size_t(index)); }
    Ipv4 address() const { return loopback(first_); }
    Ipv4 hostAddress() const { return loopback(first_ + 1); }
    Ipv4 memberAddress(int index) const { return loopback(first_ + 2 + index); }
    // Where members and the host send to the window.
    Endpoint toWindow() const { return {address(), MemberPort}; }
    // The group the window hosts itself.
    Endpoint toWindowsHost() const { return {address(), HostPort}; }

    // A named control of the window; a missing one ends the test run with its name.
    template <typename T>
    T* control(const char* name) const
    {
        T* found = dialog_->findChild<T*>(QLatin1String(name));
        if (!found) qFatal("the main window has no %s named %s", T::staticMetaObject.className(), name);
        return found;
    }
    QTreeWidget* memberList() const { return control<QTreeWidget>("memberList"); }
    QString status() const { return control<QLabel>("statusText")->text(); }
    QString connectButtonText() const { return control<QPushButton>("connectButton")->text(); }
    // The row of the member list that shows member `id`.
    QTreeWidgetItem* rowOf(int id) const { return memberList()->topLevelItem(dialog_->rowOfMember(id)); }

    // The group as the window's member session knows it.
    const MemberSession& session() const { return dialog_->endpoint().session(); }
    const Roster& hostRoster() const { return dialog_->endpoint().hostRoster(); }
    // Moves the window's group clock on, as if that much time had passed.
    void skipTime(Millis ms) const { dialog_->endpoint().skipTime(ms); }

    // A roster of `names` in which `ownId` is the window and the others are the fake members,
    // in order.
    Roster roster(std::initializer_list<const char*> names, int ownId) const
    {
        Roster result;
        int member = 0;
        for (const char* name : names) {
            const int id = result.count++;
            result.records[std::size_t(id)] = memberAt(id, name, id == ownId ? address() : memberAddress(member++));
        }
        return result;
    }

    // Types the name and the host's address and presses "连接", as the player does.
    void pressConnect(const QString& name = QStringLiteral("me"))
    {
        control<QLineEdit>("memberName")->setText(name);
        control<QLineEdit>("hostAddress")->setText(QString::fromStdString(dottedAddress(hostAddress())));
        control<QPushButton>("connectButton")->click();
    }
    // Joins the fake host's group as member `ownId` of `roster`: "连接", the host's Ack, its
    // roster. False when the join request did not come or the roster was not taken.
    bool join(const Roster& roster, int ownId, const QString& name = QStringLiteral("me"))
    {
        pressConnect(name);
        if (!host_->next(2000, cmd::JoinRequest)) return false;
        host_->send(makeHeaderOnly(cmd::Ack, 0, 0, Kind::FromHost), toWindow());
        return deliverRoster(roster, ownId);
    }
    // The host sends a new roster (joining first, when the window has not joined yet).
    bool deliverRoster(const Roster& roster, int ownId)
    {
        if (!session().joinedHost()) return join(roster, ownId);
        host_->send(makeRosterUpdate(idByte(ownId), roster), toWindow());
        return QTest::qWaitFor([&] { return session().roster().count == roster.count; }, 5000);
    }

    // Ticks or clicks a row of the member list, as the player does.
    void tick(int memberId, bool on = true) const { rowOf(memberId)->setCheckState(0, on ? Qt::Checked : Qt::Unchecked); }
    void click(int memberId) const
    {
        QTreeWidgetItem* row = rowOf(memberId);
        memberList()->setCurrentItem(row);
        emit memberList()->itemClicked(row, 0);
    }
    // Writes a text in the message field and presses "发送".
    void write(const QString& text) const
    {
        control<QLineEdit>("messageText")->setText(text);
        control<QPushButton>("sendButton")->click();
    }

    RecordingBoxes boxes;
    FakeDirectory directory;

private:
    int first_;
    std::unique_ptr<MainDialog> dialog_;
    std::unique_ptr<FakePeer> host_;
    std::vector<std::unique_ptr<FakePeer>> members_;
};

}  // namespace lumo::test
