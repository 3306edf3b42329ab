// The command line: every accepted form of each option, the file arguments kept as bytes,
// and the error each wrong option gets (the program prints it with the usage, status 2).
#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

struct Case
{
    QByteArrayList arguments;
    QByteArrayList files = {};
    int port = 21089;
    int webPort = 0;
    QByteArrayList webOrigins = {};
    std::optional<double> idleLimit = std::nullopt;
    int64_t spoolLimit = SourceOptions::kDefaultSpoolLimit;
    bool headless = false;
    bool help = false;
    bool version = false;
    bool playlist = false;
    bool loop = false;
    double gap = 2.0;
    bool joinOnScreen = false;
    QSize terminalSize{80, 24};
    bool follow = false;
};

TEST(CommandLine, AcceptedFormsSetTheirFieldsAndKeepFilesAsBytes)
{
    const Case cases[] = {
        {.arguments = {}},
        {.arguments = {"--port", "8000"}, .port = 8000},
        {.arguments = {"--port=8000"}, .port = 8000},
        {.arguments = {"--port", "1", "--port=65535"}, .port = 65535},  // the last one wins
        {.arguments = {"--web-port", "1", "--port", "65535"}, .port = 65535, .webPort = 1},
        {.arguments = {"--headless", "--help", "--version"},
         .headless = true,
         .help = true,
         .version = true},
        // Options may follow files; "--" ends the options, and a lone "-" is a file.
        {.arguments = {"a.ttyrec", "--port", "9", "-", "-x", "--", "--port", "--"},
         .files = {"a.ttyrec", "-", "-x", "--port", "--"},
         .port = 9},
        {.arguments = {"latin1-\xe9t\xe9.ttyrec", "--"}, .files = {"latin1-\xe9t\xe9.ttyrec"}},
        {.arguments = {"--idle-limit", "2"}, .idleLimit = 2.0},
        {.arguments = {"--idle-limit=0.5", "x.cast"}, .files = {"x.cast"}, .idleLimit = 0.5},
        {.arguments = {"--idle-limit", ".25"}, .idleLimit = 0.25},
        {.arguments = {"--idle-limit=10."}, .idleLimit = 10.0},
        {.arguments = {"--spool-limit", "0"}, .spoolLimit = 0},
        {.arguments = {"--spool-limit=4096"}, .spoolLimit = 4096},
        {.arguments = {"--spool-limit", "3K"}, .spoolLimit = 3 << 10},
        {.arguments = {"--spool-limit", "512M"}, .spoolLimit = 512ll << 20},
        {.arguments = {"--spool-limit=8G"}, .spoolLimit = 8ll << 30},
        {.arguments = {"--playlist", "d/", "--loop", "a"},
         .files = {"d/", "a"},
         .playlist = true,
         .loop = true},
        {.arguments = {"--gap=0"}, .gap = 0.0},
        {.arguments = {"--join", "screen", "--size=132x43"},
         .joinOnScreen = true,
         .terminalSize = {132, 43}},
        {.arguments = {"--join=screen", "--join", "replay", "--size", "1000x1"},
         .terminalSize = {1000, 1}},
        // Every one counts, in lower case, ports and IPv6 brackets kept.
        {.arguments = {"--web-origin", "Public.Name", "--web-origin=[::1]:8443", "--web-origin",
                       "10.0.0.2:80"},
         .webOrigins = {"public.name", "[::1]:8443", "10.0.0.2:80"}},
        {.arguments = {"--follow", "live.cast"}, .files = {"live.cast"}, .follow = true},
    };
    for (const Case& expected : cases) {
        SCOPED_TRACE(expected.arguments.join(' ').toStdString());
        const CommandLine parsed = ParseCommandLine(expected.arguments);
        EXPECT_EQ(parsed.error, QString());
        EXPECT_EQ(parsed.form.arguments, expected.files);
        EXPECT_EQ(parsed.form.port, expected.port);
        EXPECT_EQ(parsed.form.webPort, expected.webPort);
        EXPECT_EQ(parsed.form.webOrigins, expected.webOrigins);
        EXPECT_EQ(parsed.form.idleLimit, expected.idleLimit);
        EXPECT_EQ(parsed.form.spoolLimit, expected.spoolLimit);
        EXPECT_EQ(parsed.form.headless, expected.headless);
        EXPECT_EQ(parsed.help, expected.help);
        EXPECT_EQ(parsed.version, expected.version);
        EXPECT_EQ(parsed.form.playlist, expected.playlist);
        EXPECT_EQ(parsed.form.loop, expected.loop);
        EXPECT_EQ(parsed.form.gap, expected.gap);
        EXPECT_EQ(parsed.form.joinOnScreen, expected.joinOnScreen);
        EXPECT_EQ(parsed.form.terminalSize, expected.terminalSize);
        EXPECT_EQ(parsed.form.follow, expected.follow);
    }
}

TEST(CommandLine, EachWrongOptionGetsItsOwnError)
{
    const QString port = QStringLiteral("needs a number from 1 to 65535");
    const QString seconds = QStringLiteral("--idle-limit needs a number of seconds above 0");
    const std::pair<QByteArrayList, QString> cases[] = {
        {{"--port"}, "--port " + port},
        {{"--port", "0"}, "--port " + port + ", not \"0\""},
        {{"--port", "70000"}, "--port " + port + ", not \"70000\""},
        {{"--port=x"}, "--port " + port + ", not \"x\""},
        {{"--port="}, "--port " + port + ", not \"\""},
        {{"--port", "--headless"}, "--port " + port + ", not \"--headless\""},
        {{"--web-port"}, "--web-port " + port},
        {{"--web-port", "8000x"}, "--web-port " + port + ", not \"8000x\""},
        {{"--idle-limit"}, seconds},
        {{"--web-origin", "http://a"},
         "--web-origin needs a host name or address, with an optional :PORT, not \"http://a\""},
        {{"--web-origin=a:0"},
         "--web-origin needs a host name or address, with an optional :PORT, not \"a:0\""},
        {{"--join", "Screen"}, QStringLiteral("--join needs replay or screen, not \"Screen\"")},
        {{"--bogus"}, QStringLiteral("unknown option --bogus")},
        {{"--portx=1"}, QStringLiteral("unknown option --portx=1")},
        // A flag takes no value.
        {{"--headless=yes"}, QStringLiteral("unknown option --headless=yes")},
        // The first wrong option is the one reported.
        {{"file", "--bogus", "--port", "0"}, QStringLiteral("unknown option --bogus")},
        // A recording being written never ends: nothing comes after it.
        {{"--follow", "--loop"},
         QStringLiteral("--follow cannot be combined with --playlist or --loop")},
        {{"--playlist", "--follow"},
         QStringLiteral("--follow cannot be combined with --playlist or --loop")},
    };
    for (const auto& [arguments, error] : cases) {
        EXPECT_EQ(ParseCommandLine(arguments).error, error) << arguments.join(' ').toStdString();
    }
    // Whole bytes, with a binary unit at most, and nothing that overflows.
    for (const char* bad :
         {"-1", "1.5G", "2g", "2GB", "2 G", "K", "", "x", "9999999999G", "9223372036854775807K"}) {
        EXPECT_EQ(ParseCommandLine({"--spool-limit", bad}).error,
                  QStringLiteral("--spool-limit needs a number of bytes (K, M or G may follow), "
                                 "not \"%1\"")
                      .arg(QLatin1String(bad)));
    }
    // Plain decimals above 0 only, whatever the locale.
    for (const char* bad : {"0", "0.0", "-1", "+1", "1e3", "inf", "nan", "1,5", "", "x", " 1"}) {
        EXPECT_EQ(ParseCommandLine({"--idle-limit", bad}).error,
                  seconds + QStringLiteral(", not \"%1\"").arg(QLatin1String(bad)));
    }
    // A size a terminal can have, and a screen model can keep.
    for (const char* bad : {"80", "80x", "x24", "1x24", "80x0", "1001x24", "80x1001", "80X24",
                            "+80x24", "80x24 ", "0080x24x1"}) {
        EXPECT_EQ(ParseCommandLine({"--size", bad}).error,
                  QStringLiteral("--size needs COLSxROWS, from 2x1 to 1000x1000, not \"%1\"")
                      .arg(QLatin1String(bad)));
    }
    // A channel's options go together, and a relay plays no file of its own.
    const QByteArray url = "nats://127.0.0.1:4222";
    const std::pair<QByteArrayList, QString> channelCases[] = {
        {{"--publish", url}, QStringLiteral("--publish needs --channel NAME")},
        {{"--relay", url}, QStringLiteral("--relay needs --channel NAME")},
        {{"--channel", "a"}, QStringLiteral("--channel needs --publish or --relay")},
        {{"--publish", url, "--relay", url, "--channel", "a"},
         QStringLiteral("--publish and --relay exclude each other: a program either plays a "
                        "channel or relays it")},
        {{"--relay", url, "--channel", "a", "show.ttyrec"},
         QStringLiteral("--relay plays what the leader plays: it takes no FILE, --playlist, "
                        "--loop or --follow")},
        {{"--publish", "127.0.0.1:4222"},
         QStringLiteral("--publish needs a NATS address such as nats://127.0.0.1:4222, not "
                        "\"127.0.0.1:4222\"")},
        {{"--channel", "..."},
         QStringLiteral("--channel needs a name of 1 to 64 characters with a letter or a digit, "
                        "not \"...\"")},
    };
    for (const auto& [arguments, error] : channelCases) {
        EXPECT_EQ(ParseCommandLine(arguments).error, error) << arguments.join(' ').toStdString();
    }
    const CommandLine relay = ParseCommandLine({"--relay=" + url, "--channel", "night show"});
    EXPECT_EQ(relay.error, QString());
    EXPECT_EQ(relay.form.relayUrl, url);
    EXPECT_EQ(relay.form.channel, "night show");
    // A gap may be 0, but no more than a recorded pause can be.
    for (const char* bad : {"-1", "2147483647"}) {
        EXPECT_EQ(ParseCommandLine({"--gap", bad}).error,
                  QStringLiteral("--gap needs a number of seconds, 0 or more, not \"%1\"")
                      .arg(QLatin1String(bad)));
    }
    // Listening addresses are numeric: a name or a half address binds nothing by surprise.
    for (const QByteArray option : {"--bind", "--web-bind", "--trusted-proxy"}) {
        for (const char* bad : {"localhost", "1.2.3", "::1 ", "", "[::1]"}) {
            EXPECT_TRUE(ParseCommandLine({option, bad}).error.startsWith(QLatin1String(option)))
                << option.constData() << " " << bad;
        }
    }
    for (const char* bad : {"all", "Local", ""}) {
        EXPECT_EQ(ParseCommandLine({"--control", bad}).error,
                  QStringLiteral("--control needs everyone, local or nobody, not \"%1\"")
                      .arg(QLatin1String(bad)));
    }
    EXPECT_FALSE(ParseCommandLine({"--max-viewers", "-1"}).error.isEmpty());
}

TEST(CommandLine, PublicServerOptionsSetTheirFields)
{
    const CommandLine parsed = ParseCommandLine(
        {"--bind", "::", "--web-bind=127.0.0.1", "--control", "local", "--trusted-proxy",
         "10.0.0.0/8", "--trusted-proxy=::1", "--max-viewers", "200"});
    ASSERT_TRUE(parsed.error.isEmpty()) << parsed.error.toStdString();
    EXPECT_EQ(parsed.form.bindAddress, QByteArray("::"));
    EXPECT_EQ(parsed.form.webBindAddress, QByteArray("127.0.0.1"));
    EXPECT_EQ(parsed.form.control, ControlMode::Local);
    EXPECT_TRUE(parsed.form.trustedProxies.Contains(QHostAddress(QStringLiteral("10.2.3.4"))));
    EXPECT_TRUE(parsed.form.trustedProxies.Contains(QHostAddress(QStringLiteral("::1"))));
    EXPECT_FALSE(parsed.form.trustedProxies.Contains(QHostAddress(QStringLiteral("127.0.0.1"))));
    EXPECT_EQ(parsed.form.maxViewers, 200);
}

}  // namespace
