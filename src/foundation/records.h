#pragma once

// Every record that crosses subsystem borders, and the one call that registers the ones that
// travel through queued connections.
#include "dl_message_point.h"
#include "message_point.h"
#include "station_types.h"
#include "status_records.h"

#include <QVector>

// Registers QSharedPointer<message_point>, dl_message_point*, Bands, vexa_phy_channel_t,
// QVector<quint32> and the status records with the meta-type system. Safe to call from any
// thread, any number of times; call it before making queued connections that carry them.
void registerRecordMetaTypes();
