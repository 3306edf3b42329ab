#pragma once

#include <QByteArray>

// A complete HTTP/1.1 response that closes the connection. A HEAD answer has the
// headers of the GET answer and no body.
QByteArray HttpResponse(int status, const QByteArray& contentType, const QByteArray& body,
                        bool headOnly = false, const QByteArray& extraHeaders = QByteArray());
