// Arbitrary 37-byte receiver records through both record layouts, the decoding of every
// firmware generation and FIFO, and the duplicate filter.
#include "MessageFilter.h"
#include "Message_Parser_Protocol_V1_0.h"
#include "Message_Parser_Protocol_V1_1.h"
#include "NoiseLevels.h"
#include "RecordDecoder.h"
#include "message_point.h"

#include <QtGlobal>
#include <cstdint>
#include <cstring>

namespace {

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

struct Setup {
    RecordDecoder::Context ctx;
    bool v10;
    RecordDecoder::Fifo fifo;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool once = [] {
        qInstallMessageHandler(quiet);
        return true;
    }();
    (void)once;
    static Message_Parser_Protocol_V1_0 v10;
    static Message_Parser_Protocol_V1_1 v11;
    static NoiseLevels noise;

    char rec[FPGA_RECORD_SIZE] = {};
    std::memcpy(rec, data, size < sizeof rec ? size : sizeof rec);
    // Bytes past the record choose the station's settings.
    const uint8_t knobs = size > sizeof rec ? data[sizeof rec] : 0;

    for (const BaseMessageParser* p : {static_cast<const BaseMessageParser*>(&v10),
                                       static_cast<const BaseMessageParser*>(&v11)}) {
        for (int id = -1; id <= 16; ++id)
            (void)p->get_parameter(id, rec);
        (void)p->is_crc32_of_packet_ok(rec);
    }

    // Firmware generations: the older layout, the first of the newer one, the frequency
    // formula switch at 716, the first supported QORM firmware, the Quabo firmware.
    static const Setup setups[] = {
        {{QORM, 600, false, false, 210.0f, 868800000, 868390400}, true, RecordDecoder::Fifo::LowRate},
        {{QORM, 677, false, true, 210.0f, 868800000, 868390400}, false, RecordDecoder::Fifo::LowRate},
        {{QORM, 716, true, false, 210.0f, 868800000, 868390400}, false, RecordDecoder::Fifo::HighRate},
        {{QORM_LTE, 720, true, true, 210.0f, 868800000, 868390400}, false, RecordDecoder::Fifo::LowRate},
        {{QORM, 720, false, false, 210.0f, 868800000, 868390400}, false, RecordDecoder::Fifo::HighRate},
        {{Quabo, 10043, false, true, 210.0f, 0, 0}, false, RecordDecoder::Fifo::Quabo},
    };
    MessageFilter filter;
    qint64 stamp = 0;
    for (const Setup& s : setups) {
        NoiseLevels::Config nc;
        nc.hopping = s.ctx.hopping != ((knobs & 1) != 0);
        nc.rev_lo = s.ctx.rev_lo != ((knobs & 2) != 0);
        nc.station = s.ctx.station;
        noise.setConfig(nc);
        RecordDecoder::Context ctx = s.ctx;
        ctx.hopping = nc.hopping;
        ctx.rev_lo = nc.rev_lo;
        RecordDecoder d(s.v10 ? static_cast<const BaseMessageParser*>(&v10) : &v11, &noise);
        d.setContext(ctx);
        auto m = QSharedPointer<message_point>::create();
        const auto res = d.decode(rec, s.fifo, *m);
        if (res.status == RecordDecoder::Status::Accepted)
            filter.add(m, stamp - res.time_offset_ms);
        stamp += 10;
    }
    filter.filter_messages();
    filter.remove_timeout_messages(stamp + 40000);
    filter.remove_timeout_messages(stamp + 80000);
    return 0;
}
