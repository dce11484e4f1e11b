#include "tcp_reader.h"

tcp_reader::tcp_reader(SettingsController& settings, QObject* parent)
    : tx_(new tcp_reader_transmitter(settings, parent)), rx_(new tcp_reader_receiver(settings, parent))
{
    QObject::connect(tx_, &tcp_reader_transmitter::write_socket_tx, rx_, &tcp_reader_receiver::write_socket_rx);
}

tcp_reader::~tcp_reader()
{
    if (ownsRx_)
        delete rx_;
    if (ownsTx_)
        delete tx_;
}

tcp_reader_receiver* tcp_reader::takeReceiver()
{
    ownsRx_ = false;
    return rx_;
}

tcp_reader_transmitter* tcp_reader::takeTransmitter()
{
    ownsTx_ = false;
    return tx_;
}
