#pragma once

#include "confeditor.h"

#include <QString>

// The three things the station switches in the time service's configuration file: the local
// GPS reference clocks, the pool servers and one external server (the service restart is
// CommandTools::restartNtpService).
// Every operation reads the file anew (an edit made by hand between two commands is kept) and
// writes nothing after a failed read.
class ntp_sysconf {
public:
    explicit ntp_sysconf(const QString& path);

    bool gps_on(bool en);
    bool is_gps_on();
    bool is_pool_on();
    bool pool_on(bool en);
    bool is_server_on();
    bool server_on(bool en);
    // The active external server line, or the empty text.
    QString server();
    // Replaces the external server block with one for this text (trimmed); an empty text switches
    // the server off. False for a text holding a control character.
    bool set_server(const QString& server);

private:
    bool server_switch(bool en);

    confeditor _editor;
};
