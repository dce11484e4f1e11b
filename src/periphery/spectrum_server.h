#pragma once

#include "SpectrumFrameBuilder.h"
#include "logger.h"
#include "station_types.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QVector>

#include <atomic>
#include <mutex>
#include <unordered_map>
#include <vector>

class QTcpServer;
class QTcpSocket;
class QTimer;
class SpectrumPacer;

// Keeps the latest spectrum of each uplink band and serves it to spectrum display clients over
// TCP: a client sends one request text, receives one frame and the server closes the connection.
// The "spectrum" command asks get_current_frame() directly from the main thread.
//
// The server thread never blocks: a reply waits on a timer for its slot in the shared pacing
// order, so a queue of clients delays neither other clients' reads nor the thread's stop.
class spectrum_server : public QObject, public logger {
    Q_OBJECT
public:
    static constexpr quint16 kDefaultPort = 7654;
    static constexpr int kMaxRequestBytes = 64;  // a client that sends more without a request is closed
    static constexpr int kMaxClients = 32;       // connections beyond this are closed at once
    static constexpr int kIdleTimeoutMs = 60000; // a client sent no frame this long is closed
    static constexpr int kRefusalLogMs = 10000;  // refused connections are logged once per this

    // Listens at once on `address`:`port` (every address and port 7654 on the station; tests
    // give 127.0.0.1 and port 0). A failure is logged; frames are still kept and built.
    explicit spectrum_server(const QString& logpath, const QHostAddress& address = QHostAddress::Any,
                             quint16 port = kDefaultPort);
    ~spectrum_server() override;

    // The frame for a request text "type/fps/count/bits/widthHz", or an empty array. Blocks the
    // caller until its slot in the shared pacing order, at most one frame period.
    QByteArray get_current_frame(const QString& request);
    // The same without blocking: *waitUs is how long the caller holds the frame back, on a
    // timer (at most one frame period).
    QByteArray get_current_frame(const QString& request, qint64* waitUs);

    bool isListening() const;
    quint16 serverPort() const;  // the bound port (0 when not listening)

    // Pacing source; the process-wide pacer unless a test gives its own.
    void setPacer(SpectrumPacer* pacer);

    bool revLo() const;

    // How long a client may stay without a frame, whatever it sends (kIdleTimeoutMs unless a
    // test shortens it); applies to connections accepted afterwards.
    void setIdleTimeout(int ms);

public slots:
    // Safe from any thread (the frames are kept under their locks).
    void set_spectrum_data(const QVector<quint32>& magnitudes, uint size, Bands band);
    void setLogOffset(float offset);
    void set_current_noise_band1(float noise);
    void set_current_noise_band2(float noise);
    void stopServer();
    void newuser();
    void readClient();
    // Kept for the central object, which hands over whether the spectrum runs mirrored.
    void setRevLo(bool rev);

private:
    // What one connection has sent so far, and whether its frame is waiting for its slot.
    struct Client {
        QByteArray buffer;
        QTimer* idle = nullptr;  // child of the socket
        bool replying = false;
    };

    // Starts the pacing, parses and builds; `fps` is that of a request that gave a frame.
    QByteArray buildFrame(const QString& request, quint32& fps);
    void dropClient(QTcpSocket* socket);
    // Closes a connection over the client limit. The first is logged at once, those after it
    // as one count when the period ends, so a flood writes a line per period at most.
    void refuse(QTcpSocket* socket);
    void logRefusals();

    QTcpServer* tcp_server = nullptr;
    bool server_status = false;
    quint16 bound_port = 0;

    // Standard mutexes: the frames are shared between the server thread and the main thread
    // ("spectrum" command), and ThreadSanitizer sees through these.
    std::mutex mutFrameBand1;
    std::vector<float> current_frame_band1;  // empty until the first band-1 spectrum
    std::mutex mutFrame400Band2;
    std::vector<float> current_frame400_band2;

    std::atomic<float> current_noise_band1{0.0f};
    std::atomic<float> current_noise_band2{0.0f};
    std::atomic<float> LogOffset{210.0f};
    std::atomic<bool> rev_lo{false};
    std::atomic<SpectrumPacer*> pacer_;
    std::atomic<int> idle_timeout_ms_{kIdleTimeoutMs};

    // Touched only on the server thread.
    std::unordered_map<QTcpSocket*, Client> clients_;
    QTimer* refusal_period_ = nullptr; // running while refusals are counted, not logged
    int refused_unlogged_ = 0;
};
