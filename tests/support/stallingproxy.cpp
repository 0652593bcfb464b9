#include "stallingproxy.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <memory>

namespace testsupport {

StallingProxy::StallingProxy(quint16 serverPort, qint64 budget)
    : m_serverPort(serverPort), m_budget(budget)
{
    connect(&m_listener, &QTcpServer::newConnection, this, &StallingProxy::accept);
}

bool StallingProxy::listen()
{
    return m_listener.listen(QHostAddress::LocalHost);
}

QString StallingProxy::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_listener.serverPort());
}

void StallingProxy::close()
{
    m_listener.close();
    const QList<QTcpSocket *> clients = findChildren<QTcpSocket *>(Qt::FindDirectChildrenOnly);
    for (QTcpSocket *client : clients) {
        client->abort();
        delete client;
    }
}

void StallingProxy::accept()
{
    while (QTcpSocket *client = m_listener.nextPendingConnection()) {
        client->setParent(this);
        auto *server = new QTcpSocket(client);
        server->setReadBufferSize(64 * 1024);
        auto passed = std::make_shared<qint64>(0);
        connect(client, &QTcpSocket::readyRead, server, [client, server] {
            server->write(client->readAll());
        });
        connect(server, &QTcpSocket::readyRead, client, [this, client, server, passed] {
            const qint64 room = m_budget - *passed;
            if (room <= 0)
                return;
            const QByteArray bytes = server->read(room);
            *passed += bytes.size();
            client->write(bytes);
        });
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        connect(server, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
        server->connectToHost(QHostAddress::LocalHost, m_serverPort);
    }
}

} // namespace testsupport
