#pragma once

#include "Base_Pin_Controller.h"
#include "DownlinkBackendFactory.h"
#include "SettingsController.h"
#include "StationClock.h"
#include "interfaces/ITransmitter.h"
#include "interfaces/IVexaTransmitter.h"
#include "logger.h"

#include <QList>
#include <QTimer>

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

// The downlink scheduler of every station with radios of its own. It queues the broker's
// downlink requests, orders them by priority and phy every 5 ms, drops those past their
// deadline and hands the rest to the first back-end that can send them; a busy back-end makes
// only the requests it would take wait. It measures its air time and keeps the downlink
// frequency corrected against the station's own echoes.
//
// It lives in the sender thread. queueDLMessage() and info() are called from the core's thread:
// the queue has its own mutex, and info() reads a snapshot the sender thread publishes, so it
// never touches a back-end.
class DL_sender : public ITransmitter, public logger
{
    Q_OBJECT
public:
    static constexpr int SLOT_COUNT = 4;
    static constexpr int TICK_MS = 5;
    static constexpr qint64 TICK_AIR_BUDGET_MS = 15000;
    static constexpr qint64 BUSYNESS_WINDOW_MS = 59999;
    static constexpr quint32 WAIT_COUNTER_LIMIT = 2000;
    static constexpr quint32 STATE_AUTOCORR_VALID = 8;

    // factory: makes the back-ends (empty: the station's own); clock: deadlines, air time and
    // sleeps (null: the system clock).
    DL_sender(SettingsController& settings, std::shared_ptr<Base_Pin_Controller> pin_controller, QObject* parent,
              DownlinkBackendFactory factory = {}, std::shared_ptr<StationClock> clock = {});
    ~DL_sender() override;

    void init() override;
    transmitter_info info() override;

    // Ordering of the queue: a before b when its phy code is greater; when its priority is
    // greater.
    static bool DLLessThan(const dl_message_point* a, const dl_message_point* b);
    static bool DLLessThanByPriority(const dl_message_point* a, const dl_message_point* b);
    // A request's deadline as Unix seconds in 32 bits; none gives 4294967295.
    static quint32 deadline_of(const dl_message_point& m);
    static bool is_expired(const dl_message_point& m, qint64 utc_now);

    // Whether the station type's back-end table uses a slot (SEND_DL and DIG_MOD as
    // configured); a slot the factory leaves empty is still inactive.
    bool slot_wanted(DownlinkSlot slot) const;
    bool slot_active(DownlinkSlot slot) const;
    IVexaTransmitter* backend(DownlinkSlot slot) const;

    // For tests and the heartbeat path: requests waiting, frequency correction, state.
    int queued() const;
    float frequency_correction() const { return freq_correction; }
    int autocorrection_power() const { return autocorr_power; }
    quint32 autocorrection_tries() const { return autocorr_try; }
    bool autocorrection_due() const { return send_corr_mes; }
    int autocorrection_interval() const;
    quint32 modemID();

    // From any thread: the tick sends nothing more (it ends after the frame on the air); the
    // queued stopTransmitter() then stops the timers and releases the radios.
    void requestStop();

public slots:
    void start() override;
    void setULMessage(QSharedPointer<message_point> message) override;
    void queueDLMessage(dl_message_point* message) override;
    void alarm_in(const QString& text) override;
    void stopTransmitter() override;

    void dequeueDLMessages();
    void send_corr_message();

private:
    // A queued request with what the tick reads of it on every pass, taken at enqueue.
    struct Entry {
        dl_message_point* message;
        int phy;          // vexa_fhy_from_str of the phy text
        quint32 deadline; // deadline_of()
        bool known;       // a name of the phy tables (may_offer())
        bool legacy;      // vexa_ver 0
    };
    // What a request's last refused offer wrote: the slot it went to and the refusal's text
    // without its times. A refusal like the last one is not written again.
    struct OfferNote {
        int slot = -1;
        QString reason;
    };
    static bool entry_expired(const Entry& e, qint64 utc_now);

    void run_tick();
    bool sendDLMessage(const Entry& entry);
    // The slot a request goes to, busy or not; null when none takes it now.
    IVexaTransmitter* choose(const Entry& entry, DownlinkSlot* slot);
    // Whether any back-end of this station supports the request's phy at all, busy or not.
    bool takes_phy(const Entry& entry);
    // Whether the slot may be given the request at all; its back-end then judges the phy.
    static bool may_offer(const Entry& entry, DownlinkSlot slot);
    // Reads every back-end's busy state for this pass; false when all of them are busy.
    bool read_busy();
    void forget(dl_message_point* message) { offer_notes_.erase(message); }
    bool sendAutocorr();
    IVexaTransmitter* autocorrection_backend();
    void release_backends();
    void publish_snapshot();
    void set_corr_interval(int ms);

    bool need_auto_correction = false;
    QTimer* corr_timer = nullptr;
    QTimer* DL_send_timer = nullptr;
    float freq_correction = 0.0f;
    // A plain vector, not an implicitly shared one: the tick's copy must not share its buffer
    // with the list the core's thread appends to.
    std::vector<Entry> DL_list;
    bool order_dirty_ = false;     // requests appended since the last sort
    qint64 ordered_at_utc_ = -1;   // UTC second of the last expiry pass
    quint32 uplink_freq = 868800000u;
    mutable std::mutex queue_mutex;
    int autocal_cntr = 0;
    qint64 overall_time = 0; // monotonic ms of the busyness window's start
    quint32 busy_msec = 0;
    float dl_busyness = 0.0f;
    float aver_dl_busyness = 0.0f;
    bool send_corr_mes = false;
    quint32 autocorr_try = 0;
    int autocorr_power = 0;
    bool _active = false;
    bool wanted_[SLOT_COUNT] = {};
    quint32 _state = 0;
    quint32 base_id_ = 0;
    BS_Type bs_type_ = Unknown_Type;
    SettingsController& settCtrlr;
    std::shared_ptr<Base_Pin_Controller> pin_controller;
    DownlinkBackendFactory factory_;
    std::shared_ptr<StationClock> clock_;
    std::unique_ptr<IVexaTransmitter> backends_[SLOT_COUNT];
    bool busy_[SLOT_COUNT] = {}; // read once at the start of each pass
    // One note per waiting request that was refused at least once (sender thread only; it
    // shrinks with the queue, which has no bound of its own).
    std::unordered_map<dl_message_point*, OfferNote> offer_notes_;
    bool empty_slot_logged_[SLOT_COUNT] = {};

    // Stop and restart while a tick runs further up the stack (a back-end in a nested event
    // loop): the tick sees the flag before its next request, the back-ends go when it returns.
    std::atomic<bool> stopping_{false};
    bool in_tick_ = false;
    bool release_pending_ = false;
    bool restart_pending_ = false;
    qint64 last_publish_ = 0;

    // What info() reads from the core's thread.
    struct Snapshot {
        QString type;
        quint32 firmware_ver = 0;
        quint32 hardware_ver = 0;
        quint32 state = 0;
        quint32 modem_id = 0;
        float busyness = 0.0f;
        float aver_busyness = 0.0f;
        QList<vexa_phy_channel_t> own_phys;
    };
    mutable std::mutex snapshot_mutex_;
    Snapshot snapshot_;
};
