#include "server/metrics_http.h"

#include <QList>

namespace {

bool isTokenChar(char c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    static const char extra[] = "!#$%&'*+-.^_`|~";
    for (const char *p = extra; *p; ++p) {
        if (c == *p)
            return true;
    }
    return false;
}

bool isToken(const QByteArray &text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        if (!isTokenChar(c))
            return false;
    }
    return true;
}

// Visible ASCII only: no blank, no control, nothing past 0x7E.
bool isTarget(const QByteArray &text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        if (uchar(c) <= 0x20 || uchar(c) >= 0x7F)
            return false;
    }
    return true;
}

// Field values: any octet but the controls (a tab is allowed).
bool isFieldValue(const QByteArray &text)
{
    for (const char c : text) {
        if ((uchar(c) < 0x20 && c != '\t') || uchar(c) == 0x7F)
            return false;
    }
    return true;
}

struct RequestLine {
    int status = 0;  // 0: good so far
    QByteArray method;
    QByteArray path;
    bool needsHost = false;
};

RequestLine parseRequestLine(const QByteArray &line)
{
    RequestLine r;
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() != 3 || !isToken(parts[0]) || !isTarget(parts[1])) {
        r.status = 400;
        return r;
    }
    const QByteArray &version = parts[2];
    if (version.size() != 8 || !version.startsWith("HTTP/") || version[6] != '.' || version[5] < '0' ||
        version[5] > '9' || version[7] < '0' || version[7] > '9') {
        r.status = 400;
        return r;
    }
    if (version[5] != '1') {
        r.status = 505;
        return r;
    }
    r.needsHost = version[7] != '0';
    r.method = parts[0];
    QByteArray target = parts[1];
    // The absolute form names the authority as well; only its path counts here.
    const QByteArray lower = target.toLower();
    const int schemeEnd = lower.startsWith("http://") ? 7 : lower.startsWith("https://") ? 8 : 0;
    if (schemeEnd) {
        const int slash = target.indexOf('/', schemeEnd);
        target = slash < 0 ? QByteArray("/") : target.mid(slash);
    }
    if (!target.startsWith('/')) {
        r.status = 400;
        return r;
    }
    const int query = target.indexOf('?');
    r.path = query < 0 ? target : target.left(query);
    return r;
}

} // namespace

int corvid_http_request_status(const QByteArray &bytes, int maxHead, const QByteArray &servedPath)
{
    const QByteArray head = bytes.left(maxHead);
    int pos = 0;
    // Empty lines before the request line are allowed and skipped.
    while (pos < head.size() && (head[pos] == '\n' || (head[pos] == '\r' && pos + 1 < head.size() &&
                                                       head[pos + 1] == '\n')))
        pos += head[pos] == '\r' ? 2 : 1;

    RequestLine request;
    bool haveRequestLine = false;
    int hosts = 0;
    while (true) {
        const int end = head.indexOf('\n', pos);
        if (end < 0)
            return bytes.size() >= maxHead ? 431 : 0;
        QByteArray line = head.mid(pos, end - pos);
        pos = end + 1;
        if (line.endsWith('\r'))
            line.chop(1);
        if (!haveRequestLine) {
            haveRequestLine = true;
            request = parseRequestLine(line);
            if (request.status)
                return request.status;
            continue;
        }
        if (line.isEmpty())
            break;
        // No folded continuation lines, no blank before the colon.
        const int colon = line.indexOf(':');
        if (colon <= 0 || !isToken(line.left(colon)) || !isFieldValue(line.mid(colon + 1)))
            return 400;
        if (line.left(colon).compare("host", Qt::CaseInsensitive) == 0)
            ++hosts;
    }
    if (request.needsHost ? hosts != 1 : hosts > 1)
        return 400;
    if (request.path != servedPath)
        return 404;
    if (request.method != "GET")
        return 405;
    return 200;
}

QByteArray corvid_http_response(int status, const QByteArray &body, const QByteArray &contentType)
{
    QByteArray reason;
    switch (status) {
    case 200: reason = "OK"; break;
    case 400: reason = "Bad Request"; break;
    case 404: reason = "Not Found"; break;
    case 405: reason = "Method Not Allowed"; break;
    case 408: reason = "Request Timeout"; break;
    case 431: reason = "Request Header Fields Too Large"; break;
    case 505: reason = "HTTP Version Not Supported"; break;
    default: reason = "Error"; break;
    }
    const QByteArray content = body.isEmpty() && status != 200 ? QByteArray::number(status) + ' ' + reason + '\n'
                                                               : body;
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    out += "Content-Type: " + contentType + "\r\n";
    out += "Content-Length: " + QByteArray::number(content.size()) + "\r\n";
    if (status == 405)
        out += "Allow: GET\r\n";
    out += "Connection: close\r\n\r\n";
    out += content;
    return out;
}
