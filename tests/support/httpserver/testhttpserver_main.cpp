// testhttpserver: the test HTTP server as a program.
//
//   testhttpserver --root DIR [--port N] [--tls] [--route PATH=ANSWER]...
//
// Listens on 127.0.0.1 (port 0 or absent: a free port), prints the port on the first line of
// stdout, then serves files below DIR until it is terminated. Each --route makes PATH answer as
// ANSWER says, comma-separated items:
//   status:N          answer with status N (a body of its own unless file:/body: given)
//   location:URL      Location header, absolute or relative (no commas)
//   body:TEXT         body text (no commas)
//   file:PATH         body from the file (relative to DIR)
//   nolength          no Content-Length; the body ends when the connection closes
//   stall[:BYTES]     headers and the first BYTES of the body, then nothing
//   drop:BYTES        close the connection after BYTES of the body
//   trickle:BYTES/MS  send BYTES every MS milliseconds
// Example: --route /loop=status:302,location:/loop --route /big=file:big.bin,drop:1000
// --tls serves https with the test certificate in tests/support/httpserver/tls.

#include "httpserver/httpserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption rootOption(QStringLiteral("root"), QStringLiteral("directory served"), QStringLiteral("dir"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("port, 0 for a free one"),
                                        QStringLiteral("port"), QStringLiteral("0"));
    const QCommandLineOption tlsOption(QStringLiteral("tls"), QStringLiteral("serve https"));
    const QCommandLineOption routeOption(QStringLiteral("route"), QStringLiteral("PATH=ANSWER"), QStringLiteral("route"));
    parser.addOptions({ rootOption, portOption, tlsOption, routeOption });
    parser.addHelpOption();
    parser.process(application);

    testsupport::HttpServer server;
    server.setRoot(parser.value(rootOption));
    const QStringList routes = parser.values(routeOption);
    for (const QString &route : routes) {
        const int equals = route.indexOf(QLatin1Char('='));
        testsupport::HttpServer::Route parsed;
        QString error;
        if (equals <= 0 || !testsupport::HttpServer::parseRoute(route.mid(equals + 1), &parsed, &error)) {
            std::fprintf(stderr, "testhttpserver: bad --route %s %s\n", qPrintable(route), qPrintable(error));
            return 2;
        }
        server.setRoute(route.left(equals), parsed);
    }
    if (!server.listen(parser.value(portOption).toUShort(), parser.isSet(tlsOption))) {
        std::fprintf(stderr, "testhttpserver: cannot listen\n");
        return 1;
    }
    std::printf("%u\n", unsigned(server.port()));
    std::fflush(stdout);
    return application.exec();
}
