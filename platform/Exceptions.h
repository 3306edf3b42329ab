#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

// The framework's kind of error: it carries only its message, shown to the user as is.
class Exception : public std::exception
{
public:
    explicit Exception(QString message) : message_(std::move(message)), utf8_(message_.toUtf8()) {}
    const QString& Message() const { return message_; }
    const char* what() const noexcept override { return utf8_.constData(); }

private:
    QString message_;
    QByteArray utf8_;
};

// Every failure of the socket component.
class ESocketError : public Exception
{
public:
    using Exception::Exception;
};

// An index outside a list.
class EListError : public Exception
{
public:
    using Exception::Exception;
};

// The platform refused a resource (a timer, for instance).
class EOutOfResources : public Exception
{
public:
    using Exception::Exception;
};
