// Stand-in for the master's local server.
//
//   mastermock --name <server> --out <file> [--answer-from N] [--never-answer] [--hold] [--delay-ms MS]
//
// Listens on <server>, reads one message per connection (until it is complete JSON or the peer
// closes) and appends it with a newline to <file>. It answers "ack" on the same connection unless
// --never-answer is given or the connection is one of the first N-1 (--answer-from N). A connection
// it does not answer is closed at once, or held open until the peer leaves with --hold.
// Prints "listening" on stdout once the server is up; ends on SIGTERM/SIGKILL only.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({
            { "name", "server name", "name" },
            { "out", "file that receives the messages", "file" },
            { "answer-from", "answer from this connection on (1-based)", "n", "1" },
            { "never-answer", "never answer" },
            { "hold", "keep unanswered connections open" },
            { "delay-ms", "wait before answering", "ms", "0" },
    });
    parser.process(app);
    const QString name = parser.value("name");
    const QString out = parser.value("out");
    if (name.isEmpty() || out.isEmpty()) {
        std::fprintf(stderr, "mastermock: --name and --out are required\n");
        return 2;
    }
    const int answerFrom = parser.value("answer-from").toInt();
    const bool neverAnswer = parser.isSet("never-answer");
    const bool hold = parser.isSet("hold");
    const int delayMs = parser.value("delay-ms").toInt();

    QLocalServer server;
    QLocalServer::removeServer(name);
    if (!server.listen(name)) {
        std::fprintf(
                stderr, "mastermock: cannot listen on %s: %s\n", qPrintable(name), qPrintable(server.errorString()));
        return 3;
    }
    int connections = 0;
    QObject::connect(&server, &QLocalServer::newConnection, [&]() {
        while (QLocalSocket *socket = server.nextPendingConnection()) {
            const int number = ++connections;
            auto buffer = std::make_shared<QByteArray>();
            auto done = std::make_shared<bool>(false);
            auto finish = [=]() {
                if (*done)
                    return;
                *done = true;
                QFile file(out);
                if (file.open(QIODevice::Append)) {
                    file.write(*buffer);
                    file.write("\n");
                }
                if (neverAnswer || number < answerFrom) {
                    if (!hold)
                        socket->disconnectFromServer();
                    return;
                }
                QTimer::singleShot(delayMs, socket, [socket]() {
                    socket->write("ack");
                    socket->flush();
                });
            };
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [=]() {
                buffer->append(socket->readAll());
                if (!QJsonDocument::fromJson(*buffer).isNull())
                    finish();
            });
            QObject::connect(socket, &QLocalSocket::disconnected, socket, [=]() {
                if (!buffer->isEmpty())
                    finish();
                socket->deleteLater();
            });
        }
    });
    std::printf("listening\n");
    std::fflush(stdout);
    return app.exec();
}
