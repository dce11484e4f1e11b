#pragma once

#include "DownlinkBackendFactory.h"
#include "ManualStationClock.h"
#include "interfaces/IVexaTransmitter.h"
#include "logger.h"

#include <QList>
#include <QStringList>
#include <QTime>

#include <functional>
#include <map>
#include <memory>
#include <mutex>

// A radio back-end the test scripts: which phys it takes, whether it is busy, what a send
// returns and how long it takes on the test's clock; it records what it was given.
class FakeBackend : public IVexaTransmitter, public logger
{
    Q_OBJECT
public:
    struct Sent {
        quint32 modem_id;
        QString phy;
        int strength;
        double corr;
    };
    struct Autocorr {
        quint32 id;
        quint32 freq;
        qint32 power;
    };

    QStringList phys;             // empty: every phy
    QList<vexa_phy_channel_t> supported;
    quint32 id = 0;
    bool busy = false;
    bool admit = true;    // exam_dl
    bool ongoing = false; // isOngoing
    bool result = true;
    QString refusal; // written to its log (after a time) when a send is refused
    bool autocorr_result = true;
    qint64 send_ms = 0;
    std::shared_ptr<ManualStationClock> clock;
    std::function<void()> during_send; // runs inside each send
    int switched_off = 0;

    QList<Sent> sent;
    QList<Autocorr> autocorrs;
    QStringList alarms;

    bool is_phy_supported(const QString& phy) override { return phys.isEmpty() || phys.contains(phy); }
    quint32 get_transmitter_id() override { return id; }
    bool isBusy() override { return busy; }
    QList<vexa_phy_channel_t> get_supported() override { return supported; }
    qint32 get_max_power() override { return 24; }
    void switch_syntesizer_off() override { ++switched_off; }
    bool isOngoing() override { return ongoing; }
    bool exam_dl(dl_message_point*) override { return admit; }

public slots:
    bool sendDLMessage(dl_message_point* m, double corr) override
    {
        sent.append(Sent{m->modem_id, m->phy, int(qint8(m->strength)), corr});
        if (clock)
            clock->advanceMs(send_ms);
        if (during_send)
            during_send();
        if (!result && !refusal.isEmpty())
            *this << QTime::currentTime().toString(QStringLiteral("hh:mm:ss:zzz")) << " " << refusal << "\n";
        return result;
    }
    bool sendAutocorr(quint32 i, quint32 f, qint32 p) override
    {
        autocorrs.append(Autocorr{i, f, p});
        return autocorr_result;
    }
    void alarm_in(const QString& text) override { alarms.append(text); }
};

// A factory that makes one fake per slot listed in `make` (the others stay empty) and keeps a
// pointer to each one it made.
struct FakeFactory {
    std::map<DownlinkSlot, std::function<void(FakeBackend&)>> make;
    std::map<DownlinkSlot, FakeBackend*> made;
    std::shared_ptr<ManualStationClock> clock;

    DownlinkBackendFactory factory()
    {
        return [this](DownlinkSlot slot, const DownlinkBackendContext&) -> std::unique_ptr<IVexaTransmitter> {
            const auto it = make.find(slot);
            if (it == make.end())
                return nullptr;
            auto b = std::make_unique<FakeBackend>();
            b->clock = clock;
            it->second(*b);
            made[slot] = b.get();
            QObject::connect(b.get(), &QObject::destroyed, [this, slot] { made.erase(slot); });
            return b;
        };
    }
    FakeBackend* operator[](DownlinkSlot slot) const
    {
        const auto it = made.find(slot);
        return it == made.end() ? nullptr : it->second;
    }
};
