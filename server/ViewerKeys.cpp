// Keys typed in any viewer steer the one playback they all share.
#include "app/UnitOmbrix.h"
#include "server/TelnetKeyDecoder.h"

void TFormOmbrix::ServerSocketClientRead(QObject*, TCustomWinSocket* Socket)
{
    const QByteArray text = Socket->ReceiveAvailableText();
    if (text.isEmpty()) {
        return;
    }
    std::shared_ptr<TelnetKeyDecoder>& slot = keyDecoders_[Socket];
    if (!slot) {
        slot = std::make_shared<TelnetKeyDecoder>();
    }
    // Held here: a key's tick may hang this very viewer up and drop its map entry.
    const std::shared_ptr<TelnetKeyDecoder> decoder = slot;
    decoder->Feed(text, [this](ViewerKey key) {
        switch (key) {
            case ViewerKey::Faster:
                SetPlaySpeed(PlaySpeed() * 2);
                break;
            case ViewerKey::Slower:
                SetPlaySpeed(PlaySpeed() / 2);
                break;
            case ViewerKey::NormalSpeed:
                SetPlaySpeed(1);
                break;
            case ViewerKey::NextFrame:
                Timer.SetInterval(0);
                TimerTimer();
                break;
        }
    });
}
