#include "app/group_status_presenter.h"

#include "app/chat_inbox.h"
#include "app/texts.h"

#include "core/text/gbk.h"

#include <QStringList>

#include <utility>

namespace lumo {

namespace {

QString fromGbk(const std::string& gbk) { return QString::fromStdString(gbkToUtf8(gbk)); }
std::string toGbk(const QString& text) { return utf8ToGbk(text.toStdString()); }

}  // namespace

GroupStatusPresenter::GroupStatusPresenter(const MemberSession& session, Hooks hooks, QObject* parent)
    : QObject(parent), session_(session), hooks_(std::move(hooks))
{
}

QString GroupStatusPresenter::memberName(int memberId) const { return fromGbk(session_.memberName(memberId)); }

void GroupStatusPresenter::showEvent(const SessionEvent& event)
{
    using Event = SessionEvent::Kind;
    switch (event.kind) {
    case Event::RosterChanged:
        emit rosterChanged(session_);
        showVoiceButton();
        break;
    case Event::MemberChanged: emit memberChanged(session_, event.memberId); break;
    case Event::ChatArrived:
        emit chatArrived(chatSenderKey(session_.roster(), event.memberId), memberName(event.memberId), event.text);
        break;
    case Event::VoiceHeard: emit statusText(memberName(event.memberId) + text::Says); break;
    case Event::AskVoice: askVoice(event.memberId); break;
    case Event::ConnectChanged: showConnectState(); break;
    case Event::ConnectFailed:
        if (!rejoining()) emit informLater(text::AppName, text::ConnectFailed);
        break;
    case Event::GroupFull:
        if (!rejoining()) emit informLater(text::AppName, text::GroupFull);
        break;
    case Event::HostGone: emit statusText(text::HostGone); break;
    case Event::PathFailed: emit statusText(text::NotReached.arg(memberName(event.memberId))); break;
    case Event::TalkingChanged: showVoiceButton(); break;
    case Event::Alone: emit inform(text::AppName, text::Alone); break;
    case Event::NoPartner: emit inform(text::AppName, text::NoPartner); break;
    case Event::NoMicrophone: emit inform(text::AppName, text::NoMicrophone); break;
    case Event::MicrophoneLost:
        showVoiceButton();
        emit statusText(text::MicrophoneLost);
        emit inform(text::AppName, text::MicrophoneLostBox);
        break;
    case Event::PartnerChanged: showPartner(event); break;
    case Event::SelectionChanged: break;
    }
}

void GroupStatusPresenter::askVoice(int memberId)
{
    if (hooks_.askInOverlay && hooks_.askInOverlay(memberId)) return;  // the overlay asks instead
    const QString question = memberName(memberId) + text::VoiceQuestion;
    emit notification(text::AppName, question);
    // Members who start talking together are asked about in turn.
    emit ask(text::AppName, question, [this, memberId](bool yes) {
        if (hooks_.answerQuestion) hooks_.answerQuestion(memberId, yes);
    });
}

void GroupStatusPresenter::showMemberLeftHost(const std::string& gbkName) { emit statusText(fromGbk(gbkName) + text::Left); }

void GroupStatusPresenter::showPartner(const SessionEvent& event)
{
    if (session_.groupMode() && session_.partner() >= 0)
        emit partnerText(memberName(session_.partner()));
    else if (session_.groupMode() && !event.text.empty())
        emit partnerText(fromGbk(event.text) + text::PartnerLeft);  // the partner left the group
    else
        emit partnerText(QString());
}

void GroupStatusPresenter::showConnectState()
{
    emit connectEnabled(!session_.connecting());
    emit connectText(session_.joined() ? text::Update : text::Connect);
}

void GroupStatusPresenter::showVoiceButton()
{
    emit voiceButtonText(session_.voiceButtonStops() ? text::StopVoice : text::Voice);
}

std::optional<std::string> GroupStatusPresenter::readName(const QString& name)
{
    std::string gbk = toGbk(name);
    if (gbk.size() <= NameSize) return gbk;
    emit refused(text::NameTooLong, Field::Name);
    return std::nullopt;
}

void GroupStatusPresenter::connectToHost(const QString& name, const QString& hostAddress)
{
    const std::optional<std::string> gbkName = readName(name);
    if (!gbkName) return;
    switch (hooks_.connectTo(*gbkName, parseDottedAddress(hostAddress.toStdString()))) {
    case MemberSession::ConnectProblem::None: break;
    case MemberSession::ConnectProblem::NameTooLong:
    case MemberSession::ConnectProblem::NoName: emit refused(text::NoName, Field::Name); break;
    case MemberSession::ConnectProblem::BadAddress: emit refused(text::BadAddress, Field::HostAddress); break;
    }
}

void GroupStatusPresenter::sendText(const QString& name, const QString& text)
{
    if (!readName(name)) return;
    const std::vector<int> recipients = session_.textRecipients();
    if (recipients.empty()) {
        emit statusText(text::NoRecipient);
        return;
    }
    const std::string utf8 = text.toStdString();
    hooks_.sendText(utf8ToGbk(utf8));
    QStringList names;
    for (const int id : recipients) names << memberName(id);
    emit textSent(names.join(QStringLiteral(", ")), text);
    // What GBK cannot carry arrives as "?": the sender hears which characters those were.
    const std::vector<std::string> lacking = charactersGbkLacks(utf8);
    if (!lacking.empty()) {
        QString shown;
        for (const std::string& character : lacking) shown += QString::fromStdString(character);
        emit statusText(text::GbkLacks.arg(shown));
    }
}

bool GroupStatusPresenter::rejoining() const { return hooks_.rejoining && hooks_.rejoining(); }

}  // namespace lumo
