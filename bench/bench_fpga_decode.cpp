// Cost of decoding one receiver record and passing it through the duplicate filter, with
// 100, 1,000 and 10,000 records waiting in the filter list (a busy station keeps its records
// there for about 20 s).
#include "FpgaRecordBuilder.h"
#include "MessageFilter.h"
#include "Message_Parser_Protocol_V1_1.h"
#include "NoiseLevels.h"
#include "RecordDecoder.h"

#include <QElapsedTimer>
#include <QtGlobal>
#include <cstdio>
#include <vector>

namespace {
void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}
} // namespace

int main()
{
    qInstallMessageHandler(quiet);
    Message_Parser_Protocol_V1_1 parser;
    NoiseLevels noise;
    noise.initNoiseLev();
    RecordDecoder decoder(&parser, &noise);
    RecordDecoder::Context ctx;
    ctx.station = QORM;
    ctx.fw_version = 720;
    ctx.uplink_freq = 868800000;
    ctx.uplink_freq2 = 868390400;
    decoder.setContext(ctx);

    const int measured = 20000;
    std::vector<QByteArray> records;
    for (int i = 0; i < measured; ++i) {
        FpgaRecordBuilder::Fields f;
        f.type = (i % 2) ? 0x0E : 0x0D;
        f.id = 0x100000u + uint32_t(i);
        f.payload = {uint8_t(i), uint8_t(i >> 8), 1, 2, 3, 4, 5, 6};
        f.freq_num = uint16_t(i % 1024);
        f.rssi = 1u << 20;
        f.bitrate_code = FpgaRecordBuilder::CODE_400;
        records.push_back(FpgaRecordBuilder::build(f));
    }

    std::printf("%-22s %-16s %s\n", "records in filter list", "us per record", "(decode + filter, one record per pass)");
    for (int waiting : {100, 1000, 10000}) {
        MessageFilter filter;
        for (int i = 0; i < waiting; ++i) {
            auto m = QSharedPointer<message_point>::create();
            m->TYPE = Protocol_D;
            m->ID = uint32_t(i);
            m->bitrate = 50;
            filter.add(m, 0);
        }
        filter.filter_messages();

        QElapsedTimer t;
        t.start();
        for (int i = 0; i < measured; ++i) {
            auto m = QSharedPointer<message_point>::create();
            const auto res = decoder.decode(records[size_t(i)].constData(), RecordDecoder::Fifo::LowRate, *m);
            if (res.status != RecordDecoder::Status::Accepted)
                return 1;
            filter.add(m, 0);
            filter.filter_messages();
            // Keep the list at its size: the new record leaves again.
            filter.out_list.removeLast();
        }
        const double us = double(t.nsecsElapsed()) / 1000.0 / measured;
        std::printf("%-22d %-16.2f\n", waiting, us);
    }
    return 0;
}
