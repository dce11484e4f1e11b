#include "downlink_route.h"

#include "gateway_frames.h"
#include "vexa_rs_sockets.h"
#include "vexa_sockets.h"

DownlinkRoute route_downlink(vexa_rs_sockets& rs, vexa_sockets& gateways, unsigned int modem_id,
                             const QByteArray& frame,
                             const std::function<void(const QString& text, unsigned int modem_id)>& log)
{
    const auto say = [&](const QString& text) {
        if (log)
            log(text, modem_id);
    };
    const bool protocol4 = frame.size() == gateway_frames::kProtocol4Size;
    const auto notForLink = [&](const char* link) {
        say(QString("Protocol 4 frame not sent: %1 takes protocol 5 slices").arg(link));
        return DownlinkRoute::NotForLink;
    };

    if (rs.contains(modem_id)) {
        if (protocol4)
            return notForLink("an RS device");
        const QByteArray slice = gateway_frames::rs_slice(frame);
        say(QString("Transmit(RS style) 20 bytes: %1").arg(QString::fromLatin1(slice.toHex())));
        rs.write(modem_id, slice);
        return DownlinkRoute::RS;
    }

    const unsigned int parent = gateways.parent_varnok_id(modem_id);
    const QString hb = gateways.last_hertbeat(parent).hb_str;
    const bool oldStyle = !hb.isEmpty() && !hb.contains("_id:");
    DownlinkRoute route = DownlinkRoute::Current;
    bool taken = false;
    if (oldStyle) {
        if (protocol4)
            return notForLink("an old-style gateway");
        const QByteArray slice = gateway_frames::old_style_slice(frame);
        say(QString("Transmit(old style) 16 bytes: %1").arg(QString::fromLatin1(slice.toHex())));
        taken = gateways.write(modem_id, slice);
        route = DownlinkRoute::OldStyle;
    } else {
        say(QString("Transmit %1 bytes: %2").arg(frame.size()).arg(QString::fromLatin1(frame.toHex())));
        taken = gateways.write(modem_id, frame);
    }
    if (!taken) {
        say(QString("Downlink dropped: no route to modem %1").arg(QString::number(modem_id, 16).toUpper()));
        return DownlinkRoute::NoRoute;
    }
    return route;
}
