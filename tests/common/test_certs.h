#pragma once
// Certificates made by the openssl program at test (or benchmark) time, in a directory of their own (EC P-256, PEM):
//   ca.pem / ca.key               a CA
//   server.pem / server.key       the server, for 127.0.0.1 and localhost, signed by the CA
//   alice.pem / alice.key         a client (CN alice), signed by the CA
//   mallory.pem / mallory.key     a client (CN mallory) signed by another CA
//   late.pem / late.key           a client (CN late) signed by the CA, expired

#include "tests/common/child_process.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QStringList>
#include <QTemporaryDir>

struct TestCerts {
    QTemporaryDir dir;
    QString error;  // what failed, when make() did

    QString path(const QString &name) const { return dir.filePath(name); }

    bool make()
    {
        const QString ec = QStringLiteral("-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes");
        QFile ext(path("ext"));
        if (!ext.open(QIODevice::WriteOnly) || ext.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n") < 0)
            return fail("cannot write ext");
        ext.close();
        auto selfSigned = [&](const QString &name) {
            return run("req -x509 " + ec + " -keyout " + name + ".key -out " + name + ".pem -days 30 -subj /CN=" + name);
        };
        auto signedBy = [&](const QString &ca, const QString &name, const QString &days, const QString &extra = {}) {
            return run("req " + ec + " -keyout " + name + ".key -out " + name + ".csr -subj /CN=" + name) &&
                   run("x509 -req -in " + name + ".csr -CA " + ca + ".pem -CAkey " + ca + ".key -set_serial 7 -out " +
                       name + ".pem -days " + days + extra);
        };
        return selfSigned("ca") && selfSigned("otherca") && signedBy("ca", "server", "30", " -extfile ext") &&
               signedBy("ca", "alice", "30") && signedBy("otherca", "mallory", "30") && signedBy("ca", "late", "-1");
    }

    // A client's TLS settings: trusts the CA, presents `name`'s certificate unless it is empty.
    QSslConfiguration client(const QString &name) const
    {
        QSslConfiguration c = QSslConfiguration::defaultConfiguration();
        c.setCaCertificates(QSslCertificate::fromPath(path("ca.pem")));
        if (!name.isEmpty()) {
            c.setLocalCertificate(QSslCertificate::fromPath(path(name + ".pem")).value(0));
            QFile key(path(name + ".key"));
            key.open(QIODevice::ReadOnly);
            c.setPrivateKey(QSslKey(key.readAll(), QSsl::Ec));
        }
        return c;
    }

private:
    bool fail(const QString &why)
    {
        error = why;
        return false;
    }
    bool run(const QString &args)
    {
        ChildProcess p;
        p.setWorkingDirectory(dir.path());
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QStringLiteral("openssl"), args.split(QLatin1Char(' '), Qt::SkipEmptyParts));
        if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
            return fail("openssl " + args + ": " + QString::fromLocal8Bit(p.readAll()) + p.errorString());
        return true;
    }
};
