// Writes the demo recording that ships with Ombrix: about a minute of terminal output
// made for an 80x24 telnet client. Every byte and every timestamp comes from this file
// alone (a fixed start time, a fixed-seed generator for the typing rhythm), so running
// it again gives the same recording byte for byte.
//
// Usage: make_demo OUTPUT

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

// 2023-11-14 22:13:20 UTC; any fixed moment would do.
constexpr std::uint32_t kStartSeconds = 1700000000;

const std::string kEsc = "\x1b";
const std::string kReset = kEsc + "[0m";
const std::string kClear = kEsc + "[H" + kEsc + "[2J";
const std::string kHideCursor = kEsc + "[?25l";
const std::string kShowCursor = kEsc + "[?25h";

std::string At(int row, int column)
{
    return kEsc + "[" + std::to_string(row) + ";" + std::to_string(column) + "H";
}

std::string Sgr(std::string_view codes)
{
    return kEsc + "[" + std::string(codes) + "m";
}

// Frames in the order they were produced, each stamped with the recording's clock.
class Recording
{
public:
    void Frame(std::string body) { frames_.push_back({nowMicros_, std::move(body)}); }
    void Wait(int millis) { nowMicros_ += std::int64_t{millis} * 1000; }
    std::int64_t NowMillis() const { return nowMicros_ / 1000; }
    std::size_t FrameCount() const { return frames_.size(); }

    // Writes every frame as a 12-byte little-endian header (seconds, microseconds,
    // length) and its bytes; false when the file cannot be written completely.
    bool Write(const char* path) const
    {
        std::FILE* file = std::fopen(path, "wb");
        if (file == nullptr) {
            return false;
        }
        bool ok = true;
        for (const auto& frame : frames_) {
            const auto seconds = static_cast<std::uint32_t>(kStartSeconds + frame.micros / 1000000);
            const auto micros = static_cast<std::uint32_t>(frame.micros % 1000000);
            const auto length = static_cast<std::uint32_t>(frame.body.size());
            std::string header;
            for (const std::uint32_t field : {seconds, micros, length}) {
                for (int shift = 0; shift < 32; shift += 8) {
                    header.push_back(static_cast<char>((field >> shift) & 0xFF));
                }
            }
            ok = ok && std::fwrite(header.data(), 1, header.size(), file) == header.size();
            ok = ok &&
                 std::fwrite(frame.body.data(), 1, frame.body.size(), file) == frame.body.size();
        }
        // A failed close can mean buffered bytes never reached the disk.
        return std::fclose(file) == 0 && ok;
    }

private:
    struct Stamped
    {
        std::int64_t micros;
        std::string body;
    };
    std::vector<Stamped> frames_;
    std::int64_t nowMicros_ = 0;
};

// The typing rhythm of a person: each key its own frame, gaps that vary, a longer
// pause now and then. minstd_rand is defined exactly by the standard, unlike the
// distributions, so plain modulo keeps the output the same everywhere.
class Typist
{
public:
    explicit Typist(Recording& recording) : recording_(recording) {}

    void Type(std::string_view text)
    {
        std::size_t i = 0;
        while (i < text.size()) {
            // One UTF-8 character per frame, never half of one.
            std::size_t length = 1;
            while (i + length < text.size() && (text[i + length] & 0xC0) == 0x80) {
                ++length;
            }
            recording_.Frame(std::string(text.substr(i, length)));
            recording_.Wait(Gap(text[i] == ' '));
            i += length;
        }
    }

    int Gap(bool afterSpace) { return 55 + static_cast<int>(random_() % (afterSpace ? 260 : 140)); }

private:
    Recording& recording_;
    std::minstd_rand random_{20231114};
};

const std::string kPrompt =
    Sgr("1;32") + "demo@ombrix" + kReset + ":" + Sgr("1;34") + "~" + kReset + "$ ";

// The command is typed, Enter is pressed, and the output comes line by line.
void RunCommand(Recording& rec, Typist& typist, std::string_view command,
                const std::vector<std::string>& output, int lineMillis = 40, int pauseMillis = 1500)
{
    rec.Frame(kPrompt);
    rec.Wait(900);
    typist.Type(command);
    rec.Wait(350);
    rec.Frame("\r\n");
    rec.Wait(120);
    for (const auto& line : output) {
        rec.Frame(line + "\r\n");
        rec.Wait(lineMillis);
    }
    rec.Wait(pauseMillis);
}

// The big name, one colour per letter, drawn from rows of each letter.
std::vector<std::string> Banner()
{
    static const char* const kLetters[6][5] = {
        {R"(  ___  )", R"( / _ \ )", R"(| | | |)", R"(| |_| |)", R"( \___/ )"},
        {R"( __  __ )", R"(|  \/  |)", R"(| |\/| |)", R"(| |  | |)", R"(|_|  |_|)"},
        {R"( ____  )", R"(| __ ) )", R"(|  _ \ )", R"(| |_) |)", R"(|____/ )"},
        {R"( ____  )", R"(|  _ \ )", R"(| |_) |)", R"(|  _ < )", R"(|_| \_\)"},
        {R"( ___ )", R"(|_ _|)", R"( | | )", R"( | | )", R"(|___|)"},
        {R"(__  __)", R"(\ \/ /)", R"( \  / )", R"( /  \ )", R"(/_/\_\)"},
    };
    static const char* const kColours[6] = {"1;31", "1;33", "1;32", "1;36", "1;34", "1;35"};
    std::vector<std::string> rows;
    for (int row = 0; row < 5; ++row) {
        std::string line;
        for (int letter = 0; letter < 6; ++letter) {
            line += Sgr(kColours[letter]) + kLetters[letter][row] + " ";
        }
        rows.push_back(line + kReset);
    }
    return rows;
}

void TitleScreen(Recording& rec)
{
    std::string screen = kReset + kClear + kHideCursor;
    const auto banner = Banner();
    for (int row = 0; row < 5; ++row) {
        screen += At(4 + row, 18) + banner[row];
    }
    rec.Frame(screen);
    rec.Wait(1200);
    rec.Frame(At(11, 21) + Sgr("1") + "Ombrix" + kReset + " - a demo recording for your" +
              " telnet client");
    rec.Wait(900);
    rec.Frame(At(13, 22) + "これは Ombrix に付属するデモ記録です。");
    rec.Wait(1400);
    rec.Frame(At(16, 6) + Sgr("7") + " + " + kReset + "/" + Sgr("7") + " f " + kReset +
              " faster   " + Sgr("7") + " - " + kReset + "/" + Sgr("7") + " s " + kReset +
              " slower   " + Sgr("7") + " 1 " + kReset + " normal   other keys: next frame");
    rec.Wait(2000);
    // A byte 255 in the recording, which the player must double on its way through
    // telnet. It is printed on an empty row and wiped in the same frame, so the viewer
    // never sees the replacement character that a UTF-8 terminal draws for it.
    rec.Frame(At(23, 1) + "\xff" + At(23, 1) + kEsc + "[2K");
    for (int count = 3; count >= 1; --count) {
        rec.Frame(At(19, 33) + Sgr("2") + "starting in " + std::to_string(count) + kReset);
        rec.Wait(1000);
    }
}

void ListFiles(Recording& rec, Typist& typist)
{
    const std::string dir = Sgr("1;34");
    const std::string exe = Sgr("1;32");
    RunCommand(
        rec, typist, "ls -l",
        {"total 24", "drwxr-xr-x 2 demo demo 4096 Nov 14 22:13 " + dir + "recordings" + kReset,
         "-rwxr-xr-x 1 demo demo  812 Nov 14 22:13 " + exe + "bounce" + kReset,
         "-rwxr-xr-x 1 demo demo  655 Nov 14 22:13 " + exe + "colors.sh" + kReset,
         "-rwxr-xr-x 1 demo demo  930 Nov 14 22:13 " + exe + "install.sh" + kReset,
         "-rw-r--r-- 1 demo demo  171 Nov 14 22:13 日本語.txt"});
    // The shell prints nothing while the person reads: a frame without bytes.
    rec.Frame("");
    rec.Wait(500);
}

void ShowJapanese(Recording& rec, Typist& typist)
{
    RunCommand(
        rec, typist, "cat 日本語.txt",
        {"こんにちは、世界！", "Ombrix は端末の記録を telnet で再生します。",
         "キーで速度を変えられます：" + Sgr("1;33") + "+" + kReset + " で速く、" + Sgr("1;33") +
             "-" + kReset + " で遅く、" + Sgr("1;33") + "1" + kReset + " で元の速さ。"},
        400);
}

void ShowColours(Recording& rec, Typist& typist)
{
    static const char* const kNames[8] = {"black", "red",     "green", "yellow",
                                          "blue",  "magenta", "cyan",  "white"};
    std::vector<std::string> lines{"The sixteen colours:"};
    for (int bright = 0; bright < 2; ++bright) {
        std::string line = "  ";
        for (int colour = 0; colour < 8; ++colour) {
            const int background = (bright ? 100 : 40) + colour;
            const char* foreground = colour == 0 || colour == 4 ? "97" : "30";
            std::string name = kNames[colour];
            name.resize(8, ' ');
            line += Sgr(std::to_string(background) + ";" + foreground) + " " + name + kReset;
        }
        lines.push_back(line);
    }
    std::string ramp = "  ";
    for (int grey = 232; grey <= 255; ++grey) {
        ramp += Sgr("48;5;" + std::to_string(grey)) + "   ";
    }
    lines.push_back(ramp + kReset);
    lines.push_back("  " + Sgr("1") + "bold" + kReset + "  " + Sgr("3") + "italic" + kReset + "  " +
                    Sgr("4") + "underline" + kReset + "  " + Sgr("7") + "reverse" + kReset);
    RunCommand(rec, typist, "./colors.sh", lines, 300);
}

std::string ProgressBar(int percent)
{
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    return "\r  [" + Sgr("42") + std::string(static_cast<std::size_t>(filled), ' ') + kReset +
           std::string(static_cast<std::size_t>(kWidth - filled), '.') + "] " +
           std::to_string(percent) + "%";
}

void Install(Recording& rec, Typist& typist)
{
    // The installer draws its bar at once, without the pause of a finished command.
    RunCommand(rec, typist, "./install.sh", {"Installing ombrix-demo..."}, 300, 0);
    rec.Frame(kHideCursor);
    static const char kSpinner[] = "|/-\\";
    for (int step = 0; step <= 50; ++step) {
        const int percent = step * 2;
        rec.Frame(ProgressBar(percent) + " " + kSpinner[step % 4]);
        rec.Wait(step % 13 == 7 ? 600 : 120);
    }
    rec.Frame(ProgressBar(100) + "  \r\n" + kShowCursor + Sgr("1;32") + "Done." + kReset +
              " 3 files installed.\r\n");
    rec.Wait(1500);
}

// A ball that bounces inside a box, drawn with cursor positioning only.
void Bounce(Recording& rec, Typist& typist)
{
    constexpr int kTop = 4, kBottom = 20, kLeft = 12, kRight = 68;
    rec.Frame(kPrompt);
    rec.Wait(900);
    typist.Type("./bounce");
    rec.Wait(300);
    std::string box = "\r\n" + kHideCursor + kClear + Sgr("36");
    box += At(kTop, kLeft) + "+" + std::string(kRight - kLeft - 1, '-') + "+";
    for (int row = kTop + 1; row < kBottom; ++row) {
        box += At(row, kLeft) + "|" + At(row, kRight) + "|";
    }
    box += At(kBottom, kLeft) + "+" + std::string(kRight - kLeft - 1, '-') + "+" + kReset;
    box += At(kBottom + 2, kLeft) + "ボールが跳ねています  (the ball is bouncing)";
    rec.Frame(box);
    rec.Wait(500);
    int row = kTop + 3, column = kLeft + 5, rowStep = 1, columnStep = 2;
    for (int step = 0; step < 100; ++step) {
        std::string frame = At(row, column) + " ";
        if (row + rowStep <= kTop || row + rowStep >= kBottom) {
            rowStep = -rowStep;
        }
        if (column + columnStep <= kLeft || column + columnStep >= kRight) {
            columnStep = -columnStep;
        }
        row += rowStep;
        column += columnStep;
        rec.Frame(frame + At(row, column) + Sgr("1;33") + "o" + kReset);
        rec.Wait(100);
    }
    rec.Wait(700);
    rec.Frame(kClear + kShowCursor);
    rec.Wait(600);
}

void Farewell(Recording& rec, Typist& typist)
{
    rec.Frame(kPrompt);
    rec.Wait(1000);
    typist.Type("exit");
    rec.Wait(400);
    rec.Frame("\r\nlogout\r\n");
    rec.Wait(1000);
    rec.Frame(kReset + kClear + At(10, 21) + Sgr("1") + "Thank you for watching the Ombrix demo." +
              kReset + At(12, 22) + "ご覧いただきありがとうございました。" + At(14, 25) + Sgr("2") +
              "The recording ends here." + kReset + At(24, 1));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT\n", argc > 0 ? argv[0] : "make_demo");
        return 2;
    }
    Recording rec;
    Typist typist(rec);
    TitleScreen(rec);
    rec.Frame(kReset + kClear + kShowCursor);
    rec.Wait(700);
    ListFiles(rec, typist);
    ShowJapanese(rec, typist);
    ShowColours(rec, typist);
    Install(rec, typist);
    Bounce(rec, typist);
    Farewell(rec, typist);
    if (!rec.Write(argv[1])) {
        std::perror(argv[1]);
        return 1;
    }
    std::printf("%s: %zu frames, %lld.%03lld s\n", argv[1], rec.FrameCount(),
                static_cast<long long>(rec.NowMillis() / 1000),
                static_cast<long long>(rec.NowMillis() % 1000));
    return 0;
}
