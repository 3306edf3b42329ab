#include "app/CommandLine.h"

namespace {
bool ParsePort(const QByteArray& text, int& port)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || value < 1 || value > 65535) {
        return false;
    }
    port = value;
    return true;
}

// "--name" of "--name=value", else the argument itself.
QByteArray OptionName(const QByteArray& argument)
{
    const qsizetype equals = argument.indexOf('=');
    return equals < 0 ? argument : argument.left(equals);
}
}  // namespace

CommandLine ParseCommandLine(const QByteArrayList& arguments)
{
    CommandLine result;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QByteArray& argument = arguments[i];
        if (optionsEnded || !argument.startsWith("--")) {
            result.form.arguments.append(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--headless") {
            result.form.headless = true;
        } else if (argument == "--help") {
            result.help = true;
        } else if (argument == "--version") {
            result.version = true;
        } else if (const QByteArray name = OptionName(argument);
                   name == "--port" || name == "--web-port") {
            QByteArray value;
            if (name == argument) {
                if (i + 1 >= arguments.size()) {
                    result.error =
                        QStringLiteral("%1 needs a number from 1 to 65535").arg(QString::fromLatin1(name));
                    return result;
                }
                value = arguments[++i];
            } else {
                value = argument.mid(name.size() + 1);
            }
            int& port = name == "--port" ? result.form.port : result.form.webPort;
            if (!ParsePort(value, port)) {
                result.error = QStringLiteral("%1 needs a number from 1 to 65535, not \"%2\"")
                                   .arg(QString::fromLatin1(name), QString::fromLocal8Bit(value));
                return result;
            }
        } else {
            result.error = QStringLiteral("unknown option %1").arg(QString::fromLocal8Bit(argument));
            return result;
        }
    }
    return result;
}

QString UsageText()
{
    return QStringLiteral(
        "Usage: ombrix [--headless] [--port N] [--web-port N] [--help] [--version] [FILE...]\n"
        "\n"
        "Replays a terminal recording (ttyrec file) to telnet clients. Connect with\n"
        "  telnet localhost 21089\n"
        "and every connected viewer sees the recording at its recorded pace; a viewer who\n"
        "joins late first gets everything played so far.\n"
        "\n"
        "FILE        the recording to play: the last argument that names an existing file.\n"
        "            When Ombrix already runs, the file is handed to the running copy.\n"
        "--headless  no window: status changes are printed on standard output\n"
        "            (also the default when there is no display).\n"
        "--port N    listen on port N (1-65535) instead of 21089.\n"
        "--web-port N\n"
        "            also serve browser viewers: the page http://HOST:N/ plays the same\n"
        "            recording, in step with the telnet viewers (off when not given).\n"
        "--help      show this text.\n"
        "--version   show the version.\n"
        "\n"
        "Keys typed in a telnet client:\n"
        "  + or f    twice as fast (up to 100 times)\n"
        "  - or s    half as fast (down to normal speed)\n"
        "  1         normal speed\n"
        "  any other key (Enter, space, ...)  show the next frame now\n"
        "The web page has buttons for the same four actions, and its keys work the same.\n");
}
