#include "server/TlsSettings.h"

#include <QDateTime>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

namespace {

// PEM files are small; anything larger is not one.
constexpr qint64 kMaxPemFile = 1024 * 1024;

std::optional<QByteArray> readPem(const char *what, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCritical("%s", qPrintable(QStringLiteral("TLS %1 file %2 cannot be read: %3")
                                       .arg(QLatin1String(what), path, file.errorString())));
        return std::nullopt;
    }
    // Read with a bound: the path may name a device that never ends.
    const QByteArray data = file.read(kMaxPemFile + 1);
    if (data.size() > kMaxPemFile) {
        qCritical("%s", qPrintable(QStringLiteral("TLS %1 file %2 is larger than %3 bytes, no PEM file")
                                       .arg(QLatin1String(what), path)
                                       .arg(kMaxPemFile)));
        return std::nullopt;
    }
    return data;
}

void unusable(const char *what, const QString &path, const char *why)
{
    qCritical("%s",
              qPrintable(QStringLiteral("TLS %1 file %2 %3").arg(QLatin1String(what), path, QLatin1String(why))));
}

std::optional<QList<QSslCertificate>> certificates(const char *what, const QString &path)
{
    const auto pem = readPem(what, path);
    if (!pem)
        return std::nullopt;
    const QList<QSslCertificate> list = QSslCertificate::fromData(*pem, QSsl::Pem);
    if (list.isEmpty()) {
        unusable(what, path, "holds no PEM certificate");
        return std::nullopt;
    }
    return list;
}

}  // namespace

std::optional<QSslConfiguration> corvid_tls_server_configuration(const TlsFiles &files)
{
    const auto chain = certificates("certificate", files.certificate);
    const auto pem = readPem("key", files.key);
    if (!chain || !pem)
        return std::nullopt;
    QSslKey key;
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        key = QSslKey(*pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            break;
    }
    if (key.isNull()) {
        unusable("key", files.key, "holds no unencrypted PEM private key (RSA, EC or DSA)");
        return std::nullopt;
    }
    const QSslCertificate &own = chain->first();
    if (own.expiryDate() < QDateTime::currentDateTimeUtc())
        qWarning("%s", qPrintable(QStringLiteral("TLS certificate in %1 expired on %2; clients will refuse it")
                                      .arg(files.certificate, own.expiryDate().toString(Qt::ISODate))));

    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setLocalCertificateChain(*chain);
    conf.setPrivateKey(key);
    conf.setProtocol(QSsl::TlsV1_2OrLater);
    if (files.clientCA.isEmpty()) {
        conf.setPeerVerifyMode(QSslSocket::VerifyNone);
    } else {
        const auto cas = certificates("client CA", files.clientCA);
        if (!cas)
            return std::nullopt;
        // Only this CA vouches for clients, not the system's store.
        conf.setCaCertificates(*cas);
        conf.setPeerVerifyMode(QSslSocket::VerifyPeer);
    }
    return conf;
}

QString corvid_certificate_name(const QSslCertificate &certificate)
{
    return certificate.subjectInfo(QSslCertificate::CommonName).join(QLatin1Char(','));
}
