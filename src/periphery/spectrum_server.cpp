#include "spectrum_server.h"

#include "SpectrumPacer.h"

#include <QTcpServer>
#include <QTcpSocket>

spectrum_server::spectrum_server(const QString& logpath, const QHostAddress& address, quint16 port)
    : QObject(nullptr), logger(logpath), pacer_(&SpectrumPacer::instance())
{
    // Spectra arrive as queued calls from the reader thread.
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

QByteArray spectrum_server::get_current_frame(const QString& request)
{
    SpectrumPacer* const pacer = pacer_.load();
    pacer->start();

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

    QByteArray out;
    {
        std::lock_guard<std::mutex> lock(*mutex);
        out = SpectrumFrameBuilder::build(r, *frame, noise);
    }
    if (out.isEmpty())
        return out;
    pacer->pace(qint64(1000 / r.fps));
    return out;
}

void spectrum_server::newuser()
{
    if (!server_status)
        return;
    while (QTcpSocket* socket = tcp_server->nextPendingConnection()) {
        connect(socket, SIGNAL(readyRead()), this, SLOT(readClient()));
        // A client that goes away without a frame must not leak its socket.
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QAbstractSocket::errorOccurred, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
    }
}

void spectrum_server::readClient()
{
    QTcpSocket* socket = qobject_cast<QTcpSocket*>(sender());
    if (!socket)
        return;
    const QByteArray request = socket->readAll();
    const QByteArray frame = get_current_frame(QString::fromLatin1(request));
    if (frame.isEmpty())
        return;  // the client may send another request on the same connection
    socket->write(frame);
    socket->flush();
    // One frame per connection. A socket that still has bytes to send closes once they are out
    // and is deleted by its disconnected() signal.
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState)
        socket->deleteLater();
}
