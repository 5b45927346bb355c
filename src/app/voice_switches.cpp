#include "app/voice_switches.h"

#include "app/texts.h"
#include "app/voice_io.h"

#include <QAction>

namespace lumo {

VoiceSwitches::VoiceSwitches(VoiceIo& voice, QObject* parent)
    : QObject(parent), mute_(new QAction(text::MuteMicrophone, parent)), deafen_(new QAction(text::DeafenSpeakers, parent))
{
    mute_->setObjectName(QStringLiteral("muteAction"));
    deafen_->setObjectName(QStringLiteral("deafenAction"));
    for (QAction* action : {mute_, deafen_}) action->setCheckable(true);
    connect(mute_, &QAction::toggled, this, [this, &voice](bool on) {
        voice.setMuted(on);
        emit statusText(on ? text::MutedStatus : text::UnmutedStatus);
    });
    connect(deafen_, &QAction::toggled, this, [this, &voice](bool on) {
        voice.setDeafened(on);
        emit statusText(on ? text::DeafenedStatus : text::UndeafenedStatus);
    });
}

}  // namespace lumo
