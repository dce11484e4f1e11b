#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class vexa_sockets;
class vexa_rs_sockets;

// How a downlink frame leaves the station: through the RS device that hears the modem (bytes
// 10..29), else through the modem's parent gateway: an old-style gateway (heartbeat without
// "_id:") takes the protected block 14..29, a current one the whole frame. Protocol 4 frames
// only make sense whole, so they go to current gateways only.
enum class DownlinkRoute { RS, OldStyle, Current, NotForLink, NoRoute };

DownlinkRoute route_downlink(vexa_rs_sockets& rs, vexa_sockets& gateways, unsigned int modem_id,
                             const QByteArray& frame,
                             const std::function<void(const QString& text, unsigned int modem_id)>& log);
