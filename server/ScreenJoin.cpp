#include "server/ScreenJoin.h"

#include <cstdio>

#include "common/Texts.h"
#include "server/TelnetOutput.h"

ScreenJoin::ScreenJoin(QSize defaultSize)
    : defaultSize_(ClampedTerminalSize(defaultSize)),
      model_(defaultSize_.width(), defaultSize_.height())
{
    model_.OnResize = [this](int cols, int rows) {
        if (OnResize) {
            OnResize(QSize(cols, rows));
        }
    };
}

void ScreenJoin::StartRecording(std::optional<QSize> recordingSize)
{
    const QSize size = ClampedTerminalSize(recordingSize.value_or(defaultSize_));
    model_.Reset(size.width(), size.height());
    fed_ = false;
    telnetRepaintValid_ = false;
    reasonsTold_.clear();
}

void ScreenJoin::Feed(const QByteArray& recorded)
{
    if (recorded.isEmpty()) {
        return;
    }
    model_.Feed(recorded);
    fed_ = true;
    telnetRepaintValid_ = false;
}

bool ScreenJoin::CannotRepaint()
{
    if (model_.CanRepaint()) {
        return false;
    }
    TellReasonOnce();
    return true;
}

const QByteArray* ScreenJoin::Repaint(ViewerConnection::Encoding encoding)
{
    if (!fed_ || CannotRepaint()) {
        return nullptr;
    }
    const QByteArray& recorded = model_.Repaint();
    if (encoding == ViewerConnection::Encoding::Raw) {
        return &recorded;
    }
    if (!telnetRepaintValid_) {
        telnetRepaint_ = TelnetEscaped(recorded);
        telnetRepaintValid_ = true;
    }
    return &telnetRepaint_;
}

void ScreenJoin::TellReasonOnce()
{
    const QString reason = model_.CannotRepaintReason();
    if (reasonsTold_.contains(reason)) {
        return;
    }
    reasonsTold_.insert(reason);
    std::fprintf(stderr, "%s\n", Texts::JoinedOnReplay.arg(reason).toLocal8Bit().constData());
    std::fflush(stderr);
}
