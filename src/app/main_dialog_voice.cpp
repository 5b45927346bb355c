// The main window's voice: talking on and off, where captured blocks go, what arriving voice
// does, the per-member answers and the call prompt.
#include "app/call_prompt_dialog.h"
#include "app/main_dialog.h"
#include "common/gbk.h"
#include "ui/message_box.h"
#include "voice/voice_capture.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>

namespace lumo {

namespace {

const QString NoPartnerText = QStringLiteral("你要和谁对话，你不说我怎么知道！要你就说吗！...*_*");
const QString AloneText = QStringLiteral("就你一个人怎么群聊啊，去拉点人来吧！...*_*");
const QString QuestionText = QStringLiteral("想和你聊天，接受吗？");
const QString GroupChatLabel = QStringLiteral("群聊");
const QString NoMicrophoneText =
    QStringLiteral("无法开始语聊：打不开录音设备。\n请接上麦克风或耳机，检查声音设置，然后再按“语聊”。");

}  // namespace

bool MainDialog::talking() const { return capture_->enabled(); }

const PeerSlots& MainDialog::voiceSlots() const { return memberSocket_->voiceSlots(); }

bool MainDialog::startVoice()
{
    capture_->setEnabled(true);
    if (capture_->StartAll()) return true;
    capture_->setEnabled(false);
    return false;
}

bool MainDialog::stopVoice()
{
    if (member_.groupRoster.holds(chatPartner_)) {
        const MemberEntry& partner = member_.groupRoster.records[chatPartner_];
        memberSocket_->sendTo(makeHeaderOnly(cmd::VoiceStopNotice, idByte(chatPartner_), idByte(member_.ownEntry.id),
                                             Kind::PeerToPeer),
                              {partner.publicAddress, partner.publicPort});
    }
    const bool stopped = capture_->StopAll();
    capture_->setEnabled(false);
    return stopped;
}

void MainDialog::onVoiceButton()
{
    refreshVoiceTargets();
    if (!groupVoiceMode_) {
        if (chatPartner_ < 0) {
            voiceButton_->setText(VoiceText);
            boxes_->inform(AppName, NoPartnerText);
            return;
        }
        voicePartner_ = chatPartner_;
        publishSendPlan();
        const QTreeWidgetItem* row = memberRow(selectedRow_);
        if (!row || row->text(PathColumn) != PathOkText) requestPeerPath();
    } else {
        if (voiceTargets_.count < 1) {
            voiceButton_->setText(VoiceText);
            boxes_->inform(AppName, AloneText);
            return;
        }
        requestPeerPath();
    }
    if (voiceButton_->text() == VoiceText) {
        // Without a microphone the button keeps saying "语聊": nothing is being sent.
        if (!startVoice()) {
            boxes_->inform(AppName, NoMicrophoneText);
            return;
        }
        voiceButton_->setText(StopVoiceText);
    } else {
        stopVoice();
        voiceButton_->setText(VoiceText);
    }
}

void MainDialog::onGroupModeClicked()
{
    groupVoiceMode_ = groupModeCheck_->isChecked();
    partnerLabel_->setText(groupVoiceMode_ ? GroupChatLabel : QString());
    // Check boxes belong to group mode only.
    for (int row = 0; row < memberList_->topLevelItemCount(); ++row) {
        QTreeWidgetItem* item = memberList_->topLevelItem(row);
        if (groupVoiceMode_) {
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(IdColumn, Qt::Unchecked);
        } else {
            item->setFlags(item->flags() & ~Qt::ItemIsUserCheckable);
            item->setData(IdColumn, Qt::CheckStateRole, QVariant());
        }
    }
    targetsChanged_ = true;
    publishSendPlan();
    voiceButton_->setText(talking() ? StopVoiceText : VoiceText);
}

void MainDialog::onListRightClick(const QPoint& screenPosition)
{
    const QList<QTreeWidgetItem*> selected = memberList_->selectedItems();
    selectedRow_ = selected.isEmpty() ? -1 : memberList_->indexOfTopLevelItem(selected.first());
    if (!groupVoiceMode_) return;
    targetsChanged_ = true;
    if (selectedRow_ < 0) {
        callPrompt_->hide();
        return;
    }
    const auto memberId = static_cast<std::uint16_t>(selected.first()->text(IdColumn).toInt());
    callPrompt_->promptFor(memberId, static_cast<std::uint16_t>(selectedRow_), screenPosition);
}

bool MainDialog::setVoiceAnswer(int memberId, VoiceAnswer answer)
{
    return memberSocket_->voiceSlots().setAnswer(memberId, answer);
}

std::vector<int> MainDialog::overlayVoiceTargets() const
{
    return std::vector<int>(voiceTargets_.ids.begin(), voiceTargets_.ids.begin() + voiceTargets_.count);
}

QString MainDialog::memberIdText(int row) const
{
    const QTreeWidgetItem* item = memberRow(row);
    return item ? item->text(IdColumn) : QString();
}

void MainDialog::setMemberTicked(int row, bool ticked)
{
    QTreeWidgetItem* item = memberRow(row);
    if (item && (item->flags() & Qt::ItemIsUserCheckable)) item->setCheckState(IdColumn, ticked ? Qt::Checked : Qt::Unchecked);
}

void MainDialog::setMemberVoiceText(int row, const QString& text)
{
    if (QTreeWidgetItem* item = memberRow(row)) item->setText(VoiceColumn, text);
}

void MainDialog::setVoiceButtonText(const QString& text) { voiceButton_->setText(text); }

void MainDialog::setVoiceColumn(int memberId, const QString& text)
{
    if (!member_.groupRoster.holds(memberId)) return;
    if (QTreeWidgetItem* row = memberRow(rowOfMember(memberId))) row->setText(VoiceColumn, text);
}

void MainDialog::tickMember(int memberId, bool ticked)
{
    if (member_.groupRoster.holds(memberId)) setMemberTicked(rowOfMember(memberId), ticked);
}

void MainDialog::sweepSilentPeers() { memberSocket_->voiceSlots().sweepSilent(uptimeTicks_); }

void MainDialog::publishSendPlan()
{
    auto plan = std::make_shared<const VoiceSendPlan>(
        makeVoiceSendPlan(groupVoiceMode_, voiceTargets_, voicePartner_, member_.groupRoster, member_.ownEntry));
    const std::lock_guard<std::mutex> guard(sendPlanLock_);
    sendPlan_ = std::move(plan);
}

void MainDialog::sendVoiceBlock(const VoiceRecord& record)
{
    // Runs on the capture thread. Widgets are the user-interface thread's: when the ticks have
    // changed it rebuilds the targets there, and this block goes by the plan in force.
    if (targetsChanged_.exchange(false))
        QMetaObject::invokeMethod(this, &MainDialog::refreshVoiceTargets, Qt::QueuedConnection);
    std::shared_ptr<const VoiceSendPlan> plan;
    {
        const std::lock_guard<std::mutex> guard(sendPlanLock_);
        plan = sendPlan_;
    }
    if (!plan) return;
    for (const Outgoing& datagram : plan->datagrams(record)) memberSocket_->sendFromAnyThread(datagram.bytes, datagram.to);
}

void MainDialog::voiceArrived(PeerSocket& socket, int senderId, const VoiceRecord& record)
{
    PeerSlots& peers = socket.voiceSlots();
    if (PeerSlot* slot = peers.find(senderId)) {
        slot->lastHeard = uptimeTicks_;
        if (slot->answer == VoiceAnswer::Accepted) {
            slot->player->Submit(record, gainBoost_);
            setVoiceColumn(senderId, ChattingText);
        } else if (slot->answer == VoiceAnswer::NotAsked) {
            // Refused while the question is open: this member's voice is neither played nor
            // asked about again until the player answers.
            slot->answer = VoiceAnswer::Refused;
            askAboutVoice(senderId);
        }
    } else if (PeerSlot* fresh = peers.firstFree()) {
        fresh->player = std::make_unique<VoicePlayer>(*audio_, senderId);
        fresh->memberId = senderId;
        fresh->lastHeard = uptimeTicks_;
        fresh->answer = VoiceAnswer::NotAsked;
        // The first block of a new member is heard at once, before any question.
        int length = 0;
        if (capture_->DecodeRecord(record, pcmScratch_.data(), &length)) {
            fresh->player->StartAll();
            fresh->player->Play(pcmScratch_.data(), length);
        }
    }
    statusLabel_->setText(memberNameText(senderId) + SaysText);
}

void MainDialog::askAboutVoice(int memberId)
{
    const QString question = memberNameText(memberId) + QuestionText;
    if (overlayPipeOpen()) {
        // The overlay asks instead; its answer comes back through the link.
        setVoiceColumn(memberId, NotChattingText);
        pipeServer_->requestCall(memberId);
        return;
    }
    // The box opens once this datagram's handling is over, so voice keeps flowing meanwhile;
    // members who start talking together are asked about in turn.
    boxes_->ask(AppName, question, [this, memberId](bool yes) {
        PeerSlot* slot = memberSocket_->voiceSlots().find(memberId);
        if (!slot) return;  // swept while the question was open
        slot->answer = yes ? VoiceAnswer::Accepted : VoiceAnswer::Refused;
        if (yes)
            tickMember(memberId, true);
        else
            setVoiceColumn(memberId, NotChattingText);
    });
}

}  // namespace lumo
