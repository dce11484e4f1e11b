#pragma once

#include "tcp_reader_receiver.h"
#include "tcp_reader_transmitter.h"

class SettingsController;

// The gateway link as the station uses it: a receiving half (the reader) and a transmitting
// half (the sender), each its own QObject so that each can live on its own thread. Frames
// emitted by the transmitter reach the receiver's write_socket_rx, queued when the halves
// live on different threads. The holder deletes the halves it has not handed over.
class tcp_reader {
public:
    explicit tcp_reader(SettingsController& settings, QObject* parent = nullptr);
    ~tcp_reader();
    tcp_reader(const tcp_reader&) = delete;
    tcp_reader& operator=(const tcp_reader&) = delete;

    tcp_reader_receiver* receiver() const { return rx_; }
    tcp_reader_transmitter* transmitter() const { return tx_; }

    // Hand a half over to a new owner; the holder no longer deletes it.
    tcp_reader_receiver* takeReceiver();
    tcp_reader_transmitter* takeTransmitter();

private:
    tcp_reader_transmitter* tx_;
    tcp_reader_receiver* rx_;
    bool ownsTx_ = true;
    bool ownsRx_ = true;
};
