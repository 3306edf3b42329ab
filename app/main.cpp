// The program entry: options, the application object, the main form, the loop.
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <memory>

#include "app/CommandLine.h"
#include "app/ErrorBox.h"
#include "app/Headless.h"
#include "app/UnitOmbrix.h"
#include "common/Texts.h"
#include "platform/ErrorDisplay.h"
#include "platform/ProcessLimits.h"
#include "platform/StatusOutput.h"

namespace {

int signalPipe[2] = {-1, -1};

void OnTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// SIGINT and SIGTERM end the loop, so the orderly shutdown runs as when the window closes.
void QuitOnTerminationSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(signalPipe[0], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action
    {
    };
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool HasDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// The platform's bytes of every argument: a file name that is not valid in the locale's
// encoding must still reach open() exactly as given.
QByteArrayList ArgumentsAfterProgram(int argc, char** argv)
{
    QByteArrayList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.append(QByteArray(argv[i]));
    }
    return arguments;
}

// Called once before anything is opened.
void PrepareProcess()
{
    ProcessLimits::IgnoreBrokenPipes();
    QString error;
    if (!ProcessLimits::RaiseDescriptorLimit(&error)) {
        std::fprintf(stderr, "ombrix: cannot raise the open-file limit: %s\n",
                     error.toLocal8Bit().constData());
    }
}

// The status lines of a headless run go through a StatusOutput on standard output, so a
// reader that stalls never stalls the loop. Lives inside the application object.
class HeadlessOutput
{
public:
    explicit HeadlessOutput(bool headless)
    {
        if (headless) {
            output_ = std::make_unique<StatusOutput>(STDOUT_FILENO);
            Headless::SetWriter([this](const QByteArray& key, const QByteArray& text) {
                output_->WriteLine(key, text);
            });
        }
    }
    ~HeadlessOutput() { Headless::SetWriter(nullptr); }
    HeadlessOutput(const HeadlessOutput&) = delete;
    HeadlessOutput& operator=(const HeadlessOutput&) = delete;

private:
    std::unique_ptr<StatusOutput> output_;
};

}  // namespace

int main(int argc, char** argv)
{
    CommandLine commandLine = ParseCommandLine(ArgumentsAfterProgram(argc, argv));
    if (!commandLine.error.isEmpty()) {
        std::fprintf(stderr, "ombrix: %s\n\n%s", commandLine.error.toLocal8Bit().constData(),
                     UsageText().toLocal8Bit().constData());
        return 2;
    }
    if (commandLine.help) {
        std::fputs(UsageText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (commandLine.version) {
        std::printf("Ombrix %s\n", OMBRIX_VERSION);
        return 0;
    }
    FormOptions& options = commandLine.form;
    if (!HasDisplay()) {
        options.headless = true;
    }
    if (options.headless) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    InstallErrorDisplay(options.headless);
    PrepareProcess();

    // Qt sees only the program name: every argument is ours, so a recording named
    // "-platform" or "-reverse" is a file, not an option of the toolkit.
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    int status = 0;
    try {
        QApplication app(qtArgc, qtArgv);
        QApplication::setApplicationDisplayName(Texts::ApplicationTitle);
        QApplication::setApplicationName(QStringLiteral("ombrix"));
        QuitOnTerminationSignals();
        const HeadlessOutput output(options.headless);
        std::unique_ptr<TFormOmbrix> form;
        try {
            form = std::make_unique<TFormOmbrix>(options);
        } catch (...) {
            Headless::DiscardHeld();
            ErrorDisplay::ShowCurrentException();
            return 1;
        }
        if (!options.headless && !form->TerminationRequested()) {
            form->show();
        }
        QApplication::exec();
        status = form->StartupFailed() ? 1 : 0;
    } catch (...) {
        ErrorDisplay::ShowCurrentException();
        return 1;
    }
    return status;
}
