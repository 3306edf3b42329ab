#include "support/FormFixture.h"

#include <QFile>
#include <atomic>

#include "server/ViewerHub.h"
#include "support/LoopbackClient.h"

namespace {
std::atomic<int> formCounter{0};
}

FormFixture::FormFixture() : FormFixture([](FormFixture&, FormOptions&) {}) {}

FormFixture::FormFixture(const std::function<void(FormFixture&, FormOptions&)>& configure)
{
    FormOptions options;
    options.port = 0;
    options.headless = true;
    options.instanceName = QStringLiteral("TestForm%1_%2").arg(::getpid()).arg(++formCounter);
    configure(*this, options);
    form_ = std::make_unique<TFormOmbrix>(options);
}

FormFixture::~FormFixture()
{
    form_.reset();
}

int FormFixture::ViewerPort() const
{
    return form_->ServerSocket.LocalPort();
}

QString FormFixture::WriteRecording(const QString& name, const QByteArray& bytes)
{
    const QString path = dir_.filePath(name);
    WriteFile(path, bytes);
    return path;
}

bool FormFixture::Open(const QString& path)
{
    form_->RecordingPath = QFile::encodeName(path);
    return form_->OpenRecording();
}

bool FormFixture::Join(LoopbackClient& viewer)
{
    const int before = form_->ViewerCount();
    const qsizetype received = viewer.Received().size();
    return viewer.Connect(ViewerPort()) &&
           LoopbackClient::PumpUntil([&] { return form_->ViewerCount() == before + 1; }, 2000) &&
           viewer.WaitForBytes(received + TelnetGreeting.size(), 2000);
}
