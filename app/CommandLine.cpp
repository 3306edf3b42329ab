#include "app/CommandLine.h"

#include <QLocale>
#include <QRegularExpression>
#include <cmath>
#include <cstdint>

#include "platform/SocketCalls.h"
#include "playback/TerminalSize.h"
#include "relay/ChannelNames.h"
#include "server/OriginPolicy.h"

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

// Plain decimal seconds ("2", "0.5", "1.25", "0"): no sign, exponent, infinity or
// not-a-number, whatever the locale.
std::optional<double> ParseSeconds(const QByteArray& text)
{
    static const QRegularExpression decimal(QStringLiteral("^([0-9]+(\\.[0-9]*)?|\\.[0-9]+)$"));
    if (!decimal.match(QString::fromLatin1(text)).hasMatch()) {
        return std::nullopt;
    }
    bool ok = false;
    const double value = QLocale::c().toDouble(QString::fromLatin1(text), &ok);
    if (!ok || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

bool ParseIdleLimit(const QByteArray& text, std::optional<double>& limit)
{
    const std::optional<double> value = ParseSeconds(text);
    if (!value || !(*value > 0)) {
        return false;
    }
    limit = value;
    return true;
}

// A count of bytes: decimal digits, then K, M or G for binary kilo-, mega- or gigabytes
// ("512M", "2G"); 0 is allowed. No sign, no fraction, nothing that overflows.
bool ParseByteCount(const QByteArray& text, int64_t& bytes)
{
    static const QRegularExpression count(QStringLiteral("^([0-9]{1,18})([KMG]?)$"));
    const QRegularExpressionMatch match = count.match(QString::fromLatin1(text));
    if (!match.hasMatch()) {
        return false;
    }
    const int64_t number = match.captured(1).toLongLong();
    const QString unit = match.captured(2);
    const int shift = unit == u"K" ? 10 : unit == u"M" ? 20 : unit == u"G" ? 30 : 0;
    if (number > (INT64_MAX >> shift)) {
        return false;
    }
    bytes = number << shift;
    return true;
}

bool ParseGap(const QByteArray& text, double& gap)
{
    // A pause is timed in a 32-bit count of seconds, like a recorded one.
    const std::optional<double> value = ParseSeconds(text);
    if (!value || *value >= 2147483647.0) {
        return false;
    }
    gap = *value;
    return true;
}

// A host whose pages may open the browser stream: a name or an address, with an
// optional port.
bool AddWebOrigin(const QByteArray& text, QByteArrayList& origins)
{
    if (!IsValidOriginHost(text)) {
        return false;
    }
    origins.append(text.toLower());
    return true;
}

bool ParseJoin(const QByteArray& text, bool& joinOnScreen)
{
    if (text != "replay" && text != "screen") {
        return false;
    }
    joinOnScreen = text == "screen";
    return true;
}

// "COLSxROWS", each a plain decimal; libvterm needs two columns for a wide character.
bool ParseSize(const QByteArray& text, QSize& size)
{
    static const QRegularExpression pattern(QStringLiteral("^([0-9]{1,4})x([0-9]{1,4})$"));
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(text));
    if (!match.hasMatch()) {
        return false;
    }
    const int cols = match.captured(1).toInt();
    const int rows = match.captured(2).toInt();
    if (cols < 2 || rows < 1 || cols > kMaxTerminalSide || rows > kMaxTerminalSide) {
        return false;
    }
    size = QSize(cols, rows);
    return true;
}

bool ParseCount(const QByteArray& text, int& count)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || value < 0) {
        return false;
    }
    count = value;
    return true;
}

bool ParseControl(const QByteArray& text, ControlMode& mode)
{
    const std::optional<ControlMode> named = ControlModeNamed(text);
    if (!named) {
        return false;
    }
    mode = *named;
    return true;
}

// A numeric address of this machine's to listen on; names are not looked up, so what
// is bound never depends on the resolver.
bool ParseBindAddress(const QByteArray& text, QByteArray& address)
{
    if (SocketCalls::FamilyOf(text) == 0) {
        return false;
    }
    address = text;
    return true;
}

// A NATS server's address: nats://HOST:PORT (or tls://), as the client takes it.
bool SetNatsUrl(const QByteArray& text, QByteArray& url)
{
    if (!(text.startsWith("nats://") || text.startsWith("tls://")) || text.endsWith("//")) {
        return false;
    }
    url = text;
    return true;
}

bool SetChannel(const QByteArray& text, QByteArray& channel)
{
    if (!ChannelNamesFor(text, nullptr)) {
        return false;
    }
    channel = text;
    return true;
}

bool SetFlag(bool& flag)
{
    flag = true;
    return true;
}

// One option of the command line. An option that takes a value accepts it as the next
// argument or after "=" ("--port 8000", "--port=8000"); one that does not, only alone.
struct Option
{
    const char* name;
    // What the value must be, as the error says it ("--port needs a number from 1 to
    // 65535"); null for an option that takes no value.
    const char* needs;
    // Stores the value (empty for an option without one); false when it is not one the
    // option takes.
    bool (*store)(const QByteArray& value, CommandLine& into);
};

const Option kOptions[] = {
    {"--headless", nullptr,
     [](const QByteArray&, CommandLine& into) { return SetFlag(into.form.headless); }},
    {"--help", nullptr, [](const QByteArray&, CommandLine& into) { return SetFlag(into.help); }},
    {"--version", nullptr,
     [](const QByteArray&, CommandLine& into) { return SetFlag(into.version); }},
    {"--port", "a number from 1 to 65535",
     [](const QByteArray& value, CommandLine& into) { return ParsePort(value, into.form.port); }},
    {"--web-port", "a number from 1 to 65535",
     [](const QByteArray& value, CommandLine& into) {
         return ParsePort(value, into.form.webPort);
     }},
    {"--web-origin", "a host name or address, with an optional :PORT",
     [](const QByteArray& value, CommandLine& into) {
         return AddWebOrigin(value, into.form.webOrigins);
     }},
    {"--bind", "a numeric IPv4 or IPv6 address, such as 127.0.0.1 or ::",
     [](const QByteArray& value, CommandLine& into) {
         return ParseBindAddress(value, into.form.bindAddress);
     }},
    {"--web-bind", "a numeric IPv4 or IPv6 address, such as 127.0.0.1 or ::1",
     [](const QByteArray& value, CommandLine& into) {
         return ParseBindAddress(value, into.form.webBindAddress);
     }},
    {"--control", "everyone, local or nobody",
     [](const QByteArray& value, CommandLine& into) {
         return ParseControl(value, into.form.control);
     }},
    {"--trusted-proxy", "a numeric address, or a network such as 10.0.0.0/8",
     [](const QByteArray& value, CommandLine& into) {
         return into.form.trustedProxies.Add(value);
     }},
    {"--max-viewers", "a number, 0 or more",
     [](const QByteArray& value, CommandLine& into) {
         return ParseCount(value, into.form.maxViewers);
     }},
    {"--idle-limit", "a number of seconds above 0",
     [](const QByteArray& value, CommandLine& into) {
         return ParseIdleLimit(value, into.form.idleLimit);
     }},
    {"--playlist", nullptr,
     [](const QByteArray&, CommandLine& into) { return SetFlag(into.form.playlist); }},
    {"--loop", nullptr,
     [](const QByteArray&, CommandLine& into) { return SetFlag(into.form.loop); }},
    {"--gap", "a number of seconds, 0 or more",
     [](const QByteArray& value, CommandLine& into) { return ParseGap(value, into.form.gap); }},
    {"--join", "replay or screen",
     [](const QByteArray& value, CommandLine& into) {
         return ParseJoin(value, into.form.joinOnScreen);
     }},
    {"--size", "COLSxROWS, from 2x1 to 1000x1000",
     [](const QByteArray& value, CommandLine& into) {
         return ParseSize(value, into.form.terminalSize);
     }},
    {"--follow", nullptr,
     [](const QByteArray&, CommandLine& into) { return SetFlag(into.form.follow); }},
    {"--spool-limit", "a number of bytes (K, M or G may follow)",
     [](const QByteArray& value, CommandLine& into) {
         return ParseByteCount(value, into.form.spoolLimit);
     }},
    {"--publish", "a NATS address such as nats://127.0.0.1:4222",
     [](const QByteArray& value, CommandLine& into) {
         return SetNatsUrl(value, into.form.publishUrl);
     }},
    {"--relay", "a NATS address such as nats://127.0.0.1:4222",
     [](const QByteArray& value, CommandLine& into) {
         return SetNatsUrl(value, into.form.relayUrl);
     }},
    {"--channel", "a name of 1 to 64 characters with a letter or a digit",
     [](const QByteArray& value, CommandLine& into) {
         return SetChannel(value, into.form.channel);
     }},
};

// Options that make sense only together, or never together; the error, or an empty text.
QString CheckChannelOptions(const FormOptions& form)
{
    const bool publish = !form.publishUrl.isEmpty();
    const bool relay = !form.relayUrl.isEmpty();
    if (publish && relay) {
        return QStringLiteral(
            "--publish and --relay exclude each other: a program either "
            "plays a channel or relays it");
    }
    if ((publish || relay) && form.channel.isEmpty()) {
        return QStringLiteral("%1 needs --channel NAME").arg(publish ? "--publish" : "--relay");
    }
    if (!publish && !relay && !form.channel.isEmpty()) {
        return QStringLiteral("--channel needs --publish or --relay");
    }
    if (relay && (!form.arguments.isEmpty() || form.playlist || form.loop || form.follow)) {
        return QStringLiteral(
            "--relay plays what the leader plays: it takes no FILE, --playlist, --loop or "
            "--follow");
    }
    return QString();
}

const Option* FindOption(const QByteArray& name)
{
    for (const Option& option : kOptions) {
        if (name == option.name) {
            return &option;
        }
    }
    return nullptr;
}

// Takes the option at arguments[index], and its value when it has one; index is left on
// the last argument taken. Returns the error, or an empty text.
QString TakeOption(const QByteArrayList& arguments, qsizetype& index, CommandLine& into)
{
    const QByteArray& argument = arguments[index];
    const qsizetype equals = argument.indexOf('=');
    const QByteArray name = equals < 0 ? argument : argument.left(equals);
    const Option* option = FindOption(name);
    if (option == nullptr || (option->needs == nullptr && equals >= 0)) {
        return QStringLiteral("unknown option %1").arg(QString::fromLocal8Bit(argument));
    }
    QByteArray value;
    if (equals >= 0) {
        value = argument.mid(equals + 1);
    } else if (option->needs != nullptr) {
        if (index + 1 >= arguments.size()) {
            return QStringLiteral("%1 needs %2")
                .arg(QLatin1String(option->name), QLatin1String(option->needs));
        }
        value = arguments[++index];
    }
    if (!option->store(value, into)) {
        return QStringLiteral("%1 needs %2, not \"%3\"")
            .arg(QLatin1String(option->name), QLatin1String(option->needs),
                 QString::fromLocal8Bit(value));
    }
    return QString();
}
}  // namespace

CommandLine ParseCommandLine(const QByteArrayList& arguments)
{
    CommandLine result;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size() && result.error.isEmpty(); ++i) {
        const QByteArray& argument = arguments[i];
        if (optionsEnded || !argument.startsWith("--")) {
            result.form.arguments.append(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else {
            result.error = TakeOption(arguments, i, result);
        }
    }
    // A recording being written never ends, so nothing could follow it in a list.
    if (result.error.isEmpty() && result.form.follow &&
        (result.form.playlist || result.form.loop)) {
        result.error = QStringLiteral("--follow cannot be combined with --playlist or --loop");
    }
    if (result.error.isEmpty()) {
        result.error = CheckChannelOptions(result.form);
    }
    return result;
}

QString UsageText()
{
    return QStringLiteral(
        "Usage: ombrix [--headless] [--port N] [--web-port N] [--web-origin HOST]\n"
        "              [--bind ADDRESS] [--web-bind ADDRESS] [--control WHO]\n"
        "              [--trusted-proxy ADDRESS] [--max-viewers N]\n"
        "              [--idle-limit SECONDS] [--playlist] [--loop] [--gap SECONDS] [--follow]\n"
        "              [--spool-limit BYTES] [--join replay|screen] [--size COLSxROWS]\n"
        "              [--publish nats://HOST:PORT --channel NAME] [--help] [--version]\n"
        "              [FILE...]\n"
        "       ombrix --relay nats://HOST:PORT --channel NAME [--headless] [--port N]\n"
        "              [--web-port N] [--web-origin HOST]... [--join replay|screen]\n"
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
        "--web-origin HOST\n"
        "            also let pages served from HOST (a name or address) steer the\n"
        "            playback: by default only pages of this machine's own addresses and\n"
        "            of localhost may. HOST alone is allowed on the web port and on the\n"
        "            standard port of http or https (a proxy in front); HOST:PORT on that\n"
        "            port only. May be given several times.\n"
        "--idle-limit SECONDS\n"
        "            a recorded pause longer than SECONDS (a decimal above 0, such as\n"
        "            2 or 0.5) plays as SECONDS long, before the speed divides it. The\n"
        "            elapsed time shown stays the recorded one. An asciicast file's own\n"
        "            idle_time_limit applies too; the smaller one wins.\n"
        "--playlist  play every FILE in turn, in the order given; a folder stands for the\n"
        "            recordings in it, in name order. A recording handed over or opened\n"
        "            from the window plays at once, then the list goes on.\n"
        "--loop      after the last recording (or the only one), start again from the\n"
        "            first.\n"
        "--gap SECONDS\n"
        "            the pause between two recordings (a decimal, 0 or more; default 2),\n"
        "            divided by the speed like a recorded pause. Each recording after\n"
        "            another starts with a terminal reset, on a clean screen.\n"
        "--join replay|screen\n"
        "            what a viewer who joins late is sent first: everything played so far\n"
        "            (replay, the default), or a repaint of the screen as it stands\n"
        "            (screen), quick whatever the length of the recording. Where the\n"
        "            repaint could differ from the replay, the viewer gets the replay,\n"
        "            and one line on standard error says why.\n"
        "--size COLSxROWS\n"
        "            the terminal of recordings that do not state one (an asciicast file\n"
        "            does): what the page shows and the screen is kept at (default 80x24).\n"
        "--follow    broadcast a session while it is recorded: FILE is being written by\n"
        "            ttyrec or asciinema rec (plain ttyrec, asciicast v2 or v3). What it\n"
        "            holds counts as played at once, and each frame written after goes to\n"
        "            every viewer as soon as it is whole, unpaced (the speed keys have\n"
        "            nothing to hurry, and --idle-limit does nothing). FILE may be created\n"
        "            after Ombrix starts. A truncated or replaced file starts a new\n"
        "            recording, with a terminal reset; a deleted one is waited for. Also\n"
        "            applies to files handed over or opened from the window. Not with\n"
        "            --playlist or --loop.\n"
        "--spool-limit BYTES\n"
        "            keep at most BYTES (K, M or G may follow: 512M, 2G) of a compressed\n"
        "            recording decoded on disk, so late viewers' catch-ups need not decode\n"
        "            it again (default 2G; 0: keep nothing, catch-ups decode the file).\n"
        "--publish nats://HOST:PORT\n"
        "            play as usual, and publish what the viewers get to the NATS server\n"
        "            (with JetStream, nats-server -js) for relays on other machines: the\n"
        "            leader of the channel --channel names. One leader per channel; a second\n"
        "            is refused. Without NATS the viewers here go on, and it reconnects.\n"
        "--relay nats://HOST:PORT\n"
        "            open no recording: serve this program's viewers, telnet and web, what\n"
        "            the leader of the channel plays, as it plays it. Keys typed here go to\n"
        "            the leader; without a leader the viewers stay and wait. No FILE,\n"
        "            --playlist, --loop or --follow.\n"
        "--channel NAME\n"
        "            the channel of --publish or --relay: letters, digits, '-' and '_' (any\n"
        "            other character stands as '_'), up to 64.\n"
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
