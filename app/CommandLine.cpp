#include "app/CommandLine.h"

#include <QLocale>
#include <QRegularExpression>
#include <cmath>

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

// Plain decimal seconds above 0 ("2", "0.5", "1.25"): no sign, exponent, infinity or
// not-a-number, whatever the locale.
bool ParseIdleLimit(const QByteArray& text, std::optional<double>& limit)
{
    static const QRegularExpression decimal(QStringLiteral("^([0-9]+(\\.[0-9]*)?|\\.[0-9]+)$"));
    if (!decimal.match(QString::fromLatin1(text)).hasMatch()) {
        return false;
    }
    bool ok = false;
    const double value = QLocale::c().toDouble(QString::fromLatin1(text), &ok);
    if (!ok || !(value > 0) || !std::isfinite(value)) {
        return false;
    }
    limit = value;
    return true;
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
                    result.error = QStringLiteral("%1 needs a number from 1 to 65535")
                                       .arg(QString::fromLatin1(name));
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
        } else if (argument == "--idle-limit" || argument.startsWith("--idle-limit=")) {
            QByteArray value;
            if (argument == "--idle-limit") {
                if (i + 1 >= arguments.size()) {
                    result.error = QStringLiteral("--idle-limit needs a number of seconds above 0");
                    return result;
                }
                value = arguments[++i];
            } else {
                value = argument.mid(13);
            }
            if (!ParseIdleLimit(value, result.form.idleLimit)) {
                result.error =
                    QStringLiteral("--idle-limit needs a number of seconds above 0, not \"%1\"")
                        .arg(QString::fromLocal8Bit(value));
                return result;
            }
        } else {
            result.error =
                QStringLiteral("unknown option %1").arg(QString::fromLocal8Bit(argument));
            return result;
        }
    }
    return result;
}

QString UsageText()
{
    return QStringLiteral(
        "Usage: ombrix [--headless] [--port N] [--web-port N] [--idle-limit SECONDS] [--help]\n"
        "              [--version] [FILE...]\n"
        "\n"
        "Replays a terminal recording to telnet clients: a ttyrec file, plain or compressed\n"
        "(gzip, bzip2, xz, zstd, lz4), or an asciicast file (asciinema's .cast,\n"
        "versions 1 to 3); the file's content tells which. Connect with\n"
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
        "--idle-limit SECONDS\n"
        "            a recorded pause longer than SECONDS (a decimal above 0, such as\n"
        "            2 or 0.5) plays as SECONDS long, before the speed divides it. The\n"
        "            elapsed time shown stays the recorded one. An asciicast file's own\n"
        "            idle_time_limit applies too; the smaller one wins.\n"
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
