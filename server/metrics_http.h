#pragma once
// Pure byte work of the metrics endpoint's HTTP: what a request asks for,
// judged from the bytes a peer sent so far, and the answer to it. Only the
// head of one request is ever looked at, and only its first `maxHead` bytes.

#include <QByteArray>

// The status of the answer to the request at the start of `bytes`:
//   0    the head is not complete yet (and still shorter than maxHead);
//   200  GET of `servedPath` (a query after it is ignored);
//   400  a malformed request line or header, or HTTP/1.1 without one Host;
//   404  any other path; 405 another method on `servedPath`;
//   431  no end of the head within maxHead bytes; 505 an HTTP version not 1.x.
// A status once given stays the same whatever bytes follow.
int corvid_http_request_status(const QByteArray &bytes, int maxHead, const QByteArray &servedPath);

// A whole response that closes the connection; 405 carries "Allow: GET".
// Without a body a short text saying the status is sent.
QByteArray corvid_http_response(int status, const QByteArray &body = QByteArray(),
                                const QByteArray &contentType = "text/plain; charset=utf-8");
