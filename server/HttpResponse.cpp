#include "server/HttpResponse.h"

namespace {
QByteArray Reason(int status)
{
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 431:
            return "Request Header Fields Too Large";
        default:
            return "Error";
    }
}
}  // namespace

QByteArray HttpResponse(int status, const QByteArray& contentType, const QByteArray& body,
                        bool headOnly, const QByteArray& extraHeaders)
{
    QByteArray response;
    response.reserve(400 + (headOnly ? 0 : body.size()));
    response.append("HTTP/1.1 ").append(QByteArray::number(status)).append(' ');
    response.append(Reason(status));
    response.append("\r\nContent-Type: ").append(contentType);
    response.append("\r\nContent-Length: ").append(QByteArray::number(body.size()));
    response.append(
        "\r\nCache-Control: no-cache"
        "\r\nX-Content-Type-Options: nosniff"
        "\r\nContent-Security-Policy: default-src 'self'; style-src 'self' "
        "'unsafe-inline'; img-src 'self' data:"
        "\r\nConnection: close\r\n");
    response.append(extraHeaders).append("\r\n");
    if (!headOnly) {
        response += body;
    }
    return response;
}
