#include "spectrum_server.h"

#include "SpectrumPacer.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cmath>

spectrum_server::spectrum_server(const QString& logpath, const QHostAddress& address, quint16 port)
    : QObject(nullptr), logger(logpath), pacer_(&SpectrumPacer::instance())
{
    // Spectra may also arrive as queued calls from another thread.
    qRegisterMetaType<Bands>("Bands");
    qRegisterMetaType<QVector<quint32>>("QVector<quint32>");
    tcp_server = new QTcpServer(this);
    connect(tcp_server, SIGNAL(newConnection()), this, SLOT(newuser()));
    if (tcp_server->listen(address, port)) {
        server_status = true;
        bound_port = tcp_server->serverPort();
        *this << "Spectrum server: server started!" << "\n";
    } else {
        *this << QStringLiteral("Spectrum server: unable to start the server: %1.").arg(tcp_server->errorString())
              << "\n";
    }
}

spectrum_server::~spectrum_server()
{
    delete tcp_server;
    tcp_server = nullptr;
    // The reader's thread may have stored the last frames: released under their locks, which
    // orders this after its last store.
    for (auto frame : {std::make_pair(&mutFrameBand1, &current_frame_band1),
                       std::make_pair(&mutFrame400Band2, &current_frame400_band2)}) {
        std::lock_guard<std::mutex> lock(*frame.first);
        std::vector<float>().swap(*frame.second);
    }
}

bool spectrum_server::isListening() const
{
    return server_status;
}

quint16 spectrum_server::serverPort() const
{
    return bound_port;
}

void spectrum_server::setPacer(SpectrumPacer* pacer)
{
    pacer_.store(pacer ? pacer : &SpectrumPacer::instance());
}

bool spectrum_server::revLo() const
{
    return rev_lo.load();
}

void spectrum_server::setRevLo(bool rev)
{
    rev_lo.store(rev);
}

void spectrum_server::set_spectrum_data(const QVector<quint32>& magnitudes, uint size, Bands band)
{
    std::mutex* mutex = nullptr;
    std::vector<float>* frame = nullptr;
    if (band == Band1) {
        mutex = &mutFrameBand1;
        frame = &current_frame_band1;
    } else if (band == Band2) {
        mutex = &mutFrame400Band2;
        frame = &current_frame400_band2;
    } else {
        return;
    }
    // An empty spectrum would leave nothing to pick from: keep the previous one.
    std::vector<float> db = SpectrumFrameBuilder::toDecibels(magnitudes, size, LogOffset.load());
    if (db.empty())
        return;
    std::lock_guard<std::mutex> lock(*mutex);
    frame->swap(db);
}

void spectrum_server::setLogOffset(float offset)
{
    LogOffset.store(offset);
}

void spectrum_server::set_current_noise_band1(float noise)
{
    current_noise_band1.store(noise);
}

void spectrum_server::set_current_noise_band2(float noise)
{
    current_noise_band2.store(noise);
}

void spectrum_server::stopServer()
{
    if (tcp_server)
        tcp_server->close();
}

QByteArray spectrum_server::buildFrame(const QString& request, quint32& fps)
{
    pacer_.load()->start();

    _SpectrumRequest r;
    if (!SpectrumFrameBuilder::parseRequest(request, r) || !SpectrumFrameBuilder::isServable(r))
        return QByteArray();

    std::mutex* mutex = nullptr;
    const std::vector<float>* frame = nullptr;
    float noise = 0.0f;
    if (r.widthHz == SpectrumFrameBuilder::kWidthBand1) {
        mutex = &mutFrameBand1;
        frame = &current_frame_band1;
        noise = current_noise_band1.load();
    } else if (r.widthHz == SpectrumFrameBuilder::kWidthBand2) {
        mutex = &mutFrame400Band2;
        frame = &current_frame400_band2;
        noise = current_noise_band2.load();
    } else {
        return QByteArray();
    }

    fps = r.fps;
    std::lock_guard<std::mutex> lock(*mutex);
    return SpectrumFrameBuilder::build(r, *frame, noise);
}

QByteArray spectrum_server::get_current_frame(const QString& request)
{
    quint32 fps = 0;
    const QByteArray out = buildFrame(request, fps);
    if (!out.isEmpty())
        pacer_.load()->pace(qint64(1000 / fps));
    return out;
}

QByteArray spectrum_server::get_current_frame(const QString& request, qint64* waitUs)
{
    quint32 fps = 0;
    const QByteArray out = buildFrame(request, fps);
    *waitUs = out.isEmpty() ? 0 : pacer_.load()->reserveWithinOnePeriod(qint64(1000 / fps));
    return out;
}

void spectrum_server::setIdleTimeout(int ms)
{
    idle_timeout_ms_.store(ms);
}

void spectrum_server::newuser()
{
    if (!server_status)
        return;
    while (QTcpSocket* socket = tcp_server->nextPendingConnection()) {
        if (clients_.size() >= size_t(kMaxClients)) {
            refuse(socket);
            continue;
        }
        // Qt stops reading from the network once this much waits unread: no client can make the
        // server hold more than one request's worth.
        socket->setReadBufferSize(kMaxRequestBytes + 1);
        Client& client = clients_[socket];
        client.idle = new QTimer(socket);
        client.idle->setSingleShot(true);
        client.idle->setInterval(idle_timeout_ms_.load());
        connect(client.idle, &QTimer::timeout, socket, [this, socket] { dropClient(socket); });
        client.idle->start();

        connect(socket, SIGNAL(readyRead()), this, SLOT(readClient()));
        // A client that goes away without a frame must not leak its socket.
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QAbstractSocket::errorOccurred, socket, [this, socket] { dropClient(socket); });
        connect(socket, &QObject::destroyed, this, [this, socket] { clients_.erase(socket); });
    }
}

void spectrum_server::refuse(QTcpSocket* socket)
{
    if (!refusal_period_) {
        refusal_period_ = new QTimer(this);
        refusal_period_->setSingleShot(true);
        refusal_period_->setInterval(kRefusalLogMs);
        connect(refusal_period_, &QTimer::timeout, this, &spectrum_server::logRefusals);
    }
    if (refusal_period_->isActive()) {
        ++refused_unlogged_;
    } else {
        *this << QStringLiteral("Spectrum server: %1 clients already connected, connection from %2 closed.")
                     .arg(kMaxClients)
                     .arg(socket->peerAddress().toString())
              << "\n";
        refusal_period_->start();
    }
    socket->abort();
    socket->deleteLater();
}

void spectrum_server::logRefusals()
{
    if (refused_unlogged_ == 0)
        return;
    *this << QStringLiteral("Spectrum server: %1 clients already connected, %2 more connections closed in %3 s.")
                 .arg(kMaxClients)
                 .arg(refused_unlogged_)
                 .arg(kRefusalLogMs / 1000)
          << "\n";
    refused_unlogged_ = 0;
    refusal_period_->start();
}

void spectrum_server::dropClient(QTcpSocket* socket)
{
    socket->abort();
    socket->deleteLater();
}

void spectrum_server::readClient()
{
    QTcpSocket* socket = qobject_cast<QTcpSocket*>(sender());
    if (!socket)
        return;
    const auto it = clients_.find(socket);
    if (it == clients_.end())
        return;
    Client& client = it->second;
    if (client.replying) {
        socket->readAll();  // the frame is on its way and ends the connection
        return;
    }

    client.buffer += socket->read(kMaxRequestBytes + 1 - client.buffer.size());
    if (client.buffer.size() > kMaxRequestBytes) {
        dropClient(socket);
        return;
    }
    // The idle timer is not restarted here: a client whose requests give no frame is idle,
    // whatever it sends, and must give its place to one that gets frames.

    // A request may arrive in pieces: it is complete once it has its five fields. The length is
    // given so that a NUL byte cannot hide the bytes after it.
    const QString request = QString::fromLatin1(client.buffer.constData(), client.buffer.size());
    if (request.count(QLatin1Char('/')) < 4)
        return;
    client.buffer.clear();
    quint32 fps = 0;
    const QByteArray frame = buildFrame(request, fps);
    if (frame.isEmpty())
        return;  // the client may send another request on the same connection

    client.replying = true;
    client.idle->stop();
    const qint64 waitUs = pacer_.load()->reserve(qint64(1000 / fps));
    const int waitMs = int(std::ceil(double(waitUs) / 1000.0));
    // The timer belongs to the socket: a client that leaves, or a server that stops, drops it.
    QTimer::singleShot(waitMs, Qt::PreciseTimer, socket, [socket, frame] {
        socket->write(frame);
        socket->flush();
        // One frame per connection. A socket that still has bytes to send closes once they are
        // out and is deleted by its disconnected() signal.
        socket->disconnectFromHost();
        if (socket->state() == QAbstractSocket::UnconnectedState)
            socket->deleteLater();
    });
}
