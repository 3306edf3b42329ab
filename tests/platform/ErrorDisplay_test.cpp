// The error display below the window: the full stop rule, the guard, and where a message
// goes with and without an installed handler.
#include "platform/ErrorDisplay.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/Exceptions.h"

namespace {

using Shown = std::vector<std::pair<ErrorDisplay::Kind, QString>>;

// Collects what is shown for the life of the object, then puts the default back.
class CollectingHandler
{
public:
    CollectingHandler()
    {
        ErrorDisplay::SetHandler([this](ErrorDisplay::Kind kind, const QString& text) {
            shown.emplace_back(kind, text);
        });
    }
    ~CollectingHandler() { ErrorDisplay::SetHandler({}); }
    Shown shown;
};

TEST(ErrorDisplay, FullStopOnlyAfterACharacterThatSortsAfterIt)
{
    const std::pair<QString, QString> cases[] = {
        {QString(), QString()},
        {QStringLiteral("abc"), QStringLiteral("abc.")},
        {QStringLiteral("abc."), QStringLiteral("abc.")},
        {QStringLiteral("[API 'bind']"), QStringLiteral("[API 'bind'].")},
        {QStringLiteral("a-"), QStringLiteral("a-")},  // '-' sorts before '.'
        {QStringLiteral("あれ"), QStringLiteral("あれ.")},
    };
    for (const auto& [message, shown] : cases) {
        EXPECT_EQ(ErrorDisplay::Decorate(message), shown) << message.toStdString();
    }
}

TEST(ErrorDisplay, HandlerGetsErrorsDecoratedAndNoticesAsWritten)
{
    CollectingHandler handler;
    ErrorDisplay::ShowMessage(QStringLiteral("failed"));
    ErrorDisplay::ShowNotice(QStringLiteral("あれ?"));
    ErrorDisplay::Guard([] {});
    ErrorDisplay::Guard([] { throw ESocketError(QStringLiteral("(98) [API 'bind']")); });
    // Any other kind of error is shown with an empty message.
    ErrorDisplay::Guard([] { throw std::runtime_error("not ours"); });
    const Shown expected = {{ErrorDisplay::Kind::Error, QStringLiteral("failed.")},
                            {ErrorDisplay::Kind::Notice, QStringLiteral("あれ?")},
                            {ErrorDisplay::Kind::Error, QStringLiteral("(98) [API 'bind'].")},
                            {ErrorDisplay::Kind::Error, QString()}};
    EXPECT_EQ(handler.shown, expected);
}

TEST(ErrorDisplay, WithoutAHandlerEachMessageIsOneLineOnStandardError)
{
    ErrorDisplay::SetHandler({});
    testing::internal::CaptureStderr();
    ErrorDisplay::Guard([] { throw EListError(QStringLiteral("index 3 out of range")); });
    ErrorDisplay::ShowNotice(QStringLiteral("あれ?"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "index 3 out of range.\nあれ?\n");
}

}  // namespace
