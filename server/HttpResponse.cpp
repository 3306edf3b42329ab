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
        case 503:
            return "Service Unavailable";
        default:
            return "Error";
    }
}
}  // namespace

QByteArray HttpResponseHead(int status, const QByteArray& contentType, qsizetype contentLength,
                            const QByteArray& extraHeaders)
{
    QByteArray head;
    head.reserve(400);
    head.append("HTTP/1.1 ").append(QByteArray::number(status)).append(' ');
    head.append(Reason(status));
    head.append("\r\nContent-Type: ").append(contentType);
    head.append("\r\nContent-Length: ").append(QByteArray::number(contentLength));
    head.append(
        "\r\nCache-Control: no-cache"
        "\r\nX-Content-Type-Options: nosniff"
        "\r\nContent-Security-Policy: default-src 'self'; style-src 'self' "
        "'unsafe-inline'; img-src 'self' data:"
        "\r\nConnection: close\r\n");
    head.append(extraHeaders).append("\r\n");
    return head;
}

QByteArray HttpResponse(int status, const QByteArray& contentType, const QByteArray& body,
                        bool headOnly, const QByteArray& extraHeaders)
{
    QByteArray response = HttpResponseHead(status, contentType, body.size(), extraHeaders);
    if (!headOnly) {
        response += body;
    }
    return response;
}
