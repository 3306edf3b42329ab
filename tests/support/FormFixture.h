#pragma once

#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "app/UnitOmbrix.h"
#include "support/Ttyrec.h"

class LoopbackClient;

// A form of its own for each test: a private instance name, an ephemeral viewer port,
// headless output, and a folder for recordings.
class FormFixture
{
public:
    FormFixture();
    // The options as the test sets them; recordings it writes in there exist before the
    // form starts.
    explicit FormFixture(const std::function<void(FormFixture&, FormOptions&)>& configure);
    ~FormFixture();

    TFormOmbrix& Form() { return *form_; }
    int ViewerPort() const;
    // Writes a recording into the folder and returns its path.
    QString WriteRecording(const QString& name, const QByteArray& bytes);
    // Opens a recording through RecordingPath, as every caller does.
    bool Open(const QString& path);
    QTemporaryDir& Dir() { return dir_; }
    // Connects a viewer and waits until the form has counted and greeted it.
    bool Join(LoopbackClient& viewer);

private:
    QTemporaryDir dir_;
    std::unique_ptr<TFormOmbrix> form_;
};
