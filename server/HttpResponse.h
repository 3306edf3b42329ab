#pragma once

#include <QByteArray>

// The status line and headers of an HTTP/1.1 response that closes the connection and
// carries a body of contentLength bytes (a HEAD answer announces it and sends none).
QByteArray HttpResponseHead(int status, const QByteArray& contentType, qsizetype contentLength,
                            const QByteArray& extraHeaders = QByteArray());

// A complete response of that kind, head and body.
QByteArray HttpResponse(int status, const QByteArray& contentType, const QByteArray& body,
                        bool headOnly = false, const QByteArray& extraHeaders = QByteArray());
