#pragma once

#include "FpgaRecordBuilder.h"
#include "SimAx5043.h"

#include <QJsonObject>

#include <cstdint>
#include <vector>

class SimReceiverFpga;

// The air between the simulated AX5043 and the simulated receiver FPGA: every autocorrection
// frame the transceiver sends is heard by the station's own receiver as a protocol D uplink of
// that ID at the frame's bit rate. The record's frequency field is chosen so that the reader's
// decoding gives the carrier minus the link's offset (to the receiver's frequency grid: the bit
// rate in FFT bins and a third of it by rotation).
class SimAx5043AirLink {
public:
    struct Settings {
        uint32_t uplink_freq = 0; // the receiver's base frequency (UL_FREQ)
        bool rev_lo = false;      // the receiver mirrors frequencies about its base
        int32_t offset_hz = 0;    // the station's transmitter this much high
    };

    SimAx5043AirLink(SimReceiverFpga& fpga, const Settings& settings);

    // Queues the echo of an autocorrection packet; false for any other packet, or a carrier
    // outside the receiver's window.
    bool on_packet(const SimAx5043::Packet& packet);
    // The record the receiver hears for a packet; empty when it hears none.
    QByteArray echo_record(const SimAx5043::Packet& packet) const;

    // The on-air log line of a packet (device "ax5043"): for DBPSK the bytes under the padding
    // at the data rate with the protocol D checks, for PSK the packet as written; the frequency
    // word, its register set and the power code besides.
    static QJsonObject on_air_line(const SimAx5043::Packet& packet);

    // The ID of a 36-byte autocorrection frame (fixed preamble, zero flags and payload).
    static bool autocorrection_id(const std::vector<uint8_t>& frame, uint32_t* id);
    // Frequency bin and rotation that decode to target_hz on a receiver at base_hz; false when
    // the target lies outside the receiver's 1024 bins.
    static bool frequency_fields(uint32_t target_hz, uint32_t base_hz, bool rev_lo, uint32_t bitrate,
        FpgaRecordBuilder::Fields* fields);

private:
    SimReceiverFpga& fpga_;
    Settings settings_;
};
