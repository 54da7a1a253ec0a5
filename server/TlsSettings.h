#pragma once
// The server side of TLS on the control port, read from PEM files: the
// certificate chain, its private key and, when clients must present a
// certificate, the CA that signs theirs. OpenSSL does the work, through Qt.

#include <QSslConfiguration>
#include <QString>

#include <optional>

struct TlsFiles {
    QString certificate;  // chain, the server's own certificate first
    QString key;          // unencrypted: nobody is there to type a passphrase
    QString clientCA;     // empty: any client, without a certificate
};

// The configuration for accepting TLS connections, or nothing when a file
// cannot be read or holds no usable PEM data; then a critical diagnostic names
// the file and why.
std::optional<QSslConfiguration> corvid_tls_server_configuration(const TlsFiles &files);

// The common name of a certificate, for diagnostics and the client table.
QString corvid_certificate_name(const QSslCertificate &certificate);
