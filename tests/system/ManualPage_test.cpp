// The manual page, --help and the README name the same options: whatever one of them
// gains or loses, the others must follow.
#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include "support/OmbrixProcess.h"

namespace {

using OptionSet = QSet<QString>;

QString ReadSourceFile(const QString& relativePath)
{
    QFile file(QStringLiteral(OMBRIX_SOURCE_DIR "/") + relativePath);
    if (!file.open(QIODevice::ReadOnly)) {
        ADD_FAILURE() << "cannot read " << relativePath.toStdString();
        return {};
    }
    return QString::fromUtf8(file.readAll());
}

// Every long option written in the text ("--port", "--port=N"); a bare "--" is not one.
OptionSet LongOptions(const QString& text)
{
    static const QRegularExpression option(QStringLiteral("(?<![\\w-])--[a-z][a-z-]*"));
    OptionSet options;
    for (const QRegularExpressionMatch& match : option.globalMatch(text)) {
        options.insert(match.captured());
    }
    return options;
}

// The lines of one section of the page, without the .SH line itself.
QStringList ManualSection(const QString& page, const QString& name)
{
    QStringList section;
    bool inside = false;
    for (const QString& line : page.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String(".SH "))) {
            inside = line.mid(4).remove(QLatin1Char('"')) == name;
        } else if (inside) {
            section.append(line);
        }
    }
    return section;
}

// roff writes a minus as "\-"; the options read as typed once that is undone.
QString Unescaped(const QString& roff)
{
    return QString(roff).replace(QLatin1String("\\-"), QLatin1String("-"));
}

// The options the OPTIONS section describes: the tag line of each .TP item.
OptionSet ManualOptionItems(const QString& page)
{
    const QStringList lines = ManualSection(page, QStringLiteral("OPTIONS"));
    OptionSet options;
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i].startsWith(QLatin1String(".TP"))) {
            options.unite(LongOptions(Unescaped(lines[i + 1])));
        }
    }
    return options;
}

OptionSet ManualSynopsis(const QString& page)
{
    return LongOptions(Unescaped(ManualSection(page, QStringLiteral("SYNOPSIS")).join(u'\n')));
}

// The README's usage line: "ombrix [--headless] ... [FILE...]".
OptionSet ReadmeSynopsis(const QString& readme)
{
    for (const QString& line : readme.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("ombrix ["))) {
            return LongOptions(line);
        }
    }
    ADD_FAILURE() << "README.md has no usage line starting with \"ombrix [\"";
    return {};
}

// "--a, --b" for the options in one set and not in the other, or "nothing".
std::string Missing(const OptionSet& from, const OptionSet& in)
{
    QStringList missing = (from - in).values();
    missing.sort();
    return missing.isEmpty() ? std::string("nothing") : missing.join(u", ").toStdString();
}

void ExpectSameOptions(const char* name, const OptionSet& options, const OptionSet& manual)
{
    EXPECT_TRUE(options == manual)
        << name << " lists what the manual page does not: " << Missing(options, manual) << "\n"
        << "the manual page lists what " << name << " does not: " << Missing(manual, options);
}

}  // namespace

TEST(ManualPage, HelpReadmeAndPageNameTheSameOptions)
{
    QTemporaryDir runtime;
    OmbrixProcess help(runtime.path(), {QStringLiteral("--help")});
    ASSERT_EQ(help.WaitForExit(5000), 0) << help.Errors().toStdString();
    const OptionSet helpOptions = LongOptions(help.Output());

    const QString page = ReadSourceFile(QStringLiteral("docs/ombrix.1"));
    const OptionSet manual = ManualOptionItems(page);
    // The options every copy of the program has had: if these went missing, the
    // extraction itself would be broken and the comparison would prove nothing.
    for (const char* option : {"--headless", "--port", "--help", "--version"}) {
        EXPECT_TRUE(manual.contains(QLatin1String(option))) << option;
    }

    ExpectSameOptions("--help", helpOptions, manual);
    ExpectSameOptions("the page's SYNOPSIS", ManualSynopsis(page), manual);
    ExpectSameOptions("the README's usage line",
                      ReadmeSynopsis(ReadSourceFile(QStringLiteral("README.md"))), manual);
}
