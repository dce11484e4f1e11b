#pragma once

#include "interfaces/ITransmitter.h"
#include "logger.h"

#include <QByteArray>

class SettingsController;

// The downlink half of the gateway link: the TCPBS station's sender. It modulates nothing; it
// builds the frame a gateway or RS device transmits and hands it to the receiving half, which
// owns the sockets, with write_socket_tx.
class tcp_reader_transmitter : public ITransmitter, public logger {
    Q_OBJECT
public:
    tcp_reader_transmitter(SettingsController& ctrlr, QObject* parent = nullptr);
    ~tcp_reader_transmitter() override;

    void init() override;
    // Fixed: type "TCPBS", enabled (state 8) and active, modem id 0 (so the echo test of the
    // core matches no modem), limits and plans from the TRANSMITTER settings.
    transmitter_info info() override;

public slots:
    void start() override;
    void setULMessage(QSharedPointer<message_point> message) override;
    // Builds the frame, logs the request, emits it and deletes the request.
    void queueDLMessage(dl_message_point* message) override;
    void alarm_in(const QString& text) override;
    void stopTransmitter() override;

signals:
    void write_socket_tx(unsigned int modem_id, QByteArray frame);

protected:
    QObject* get_this_tx() { return this; }

private:
    SettingsController& setCtrlr;
};
