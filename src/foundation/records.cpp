#include "records.h"

void registerRecordMetaTypes()
{
    static const bool done = [] {
        qRegisterMetaType<QSharedPointer<message_point>>("QSharedPointer<message_point>");
        qRegisterMetaType<dl_message_point*>("dl_message_point*");
        qRegisterMetaType<Bands>("Bands");
        qRegisterMetaType<vexa_phy_channel_t>("vexa_phy_channel_t");
        qRegisterMetaType<QVector<quint32>>("QVector<quint32>");
        qRegisterMetaType<receiver_info>("receiver_info");
        qRegisterMetaType<transmitter_info>("transmitter_info");
        return true;
    }();
    (void)done;
}
