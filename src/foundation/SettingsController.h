#pragma once

#include "SettingsParams.h"

#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <QByteArray>
#include <QList>

#include <functional>
#include <shared_mutex>

// The one holder of the station's configuration, read from its INI file.
//
// Threads: initController() and setValue() run on the main thread. They parse the file into
// fresh records and swap them in under a lock, so other threads may call the copying getters
// (getBS_ParamsCopy, getTransmitterParams, ..., getThreshold, rev_lo) at any time.
// getBS_Params() returns a reference without locking: use it on the main thread only.
class SettingsController {
public:
    // Silent: for a second look at the file beside the station's own controller, which tells
    // the warnings; this one tells none.
    enum class Warnings { Told, Silent };
    explicit SettingsController(Warnings warnings = Warnings::Told);

    // Reads the whole file. False, with every record reset and nothing applied, when no file
    // exists at the path (a folder counts as none). A file with format errors is logged and what could be read applies.
    bool initController(const QString& path);

    const BaseStationParams& getBS_Params() const;
    BaseStationParams getBS_ParamsCopy() const;
    quint16 getThreshold(BS_Bitrates bitrate) const;
    bool rev_lo() const;
    TransmitterParams getTransmitterParams() const;
    CommunicationParams getSerialCommunicationParams() const;
    SecondaryRabbitParams getSecondaryRabbitParams() const;
    SecondaryRabbitParams getThirdRabbitParams() const;

    // Writes one key (keeping every other group and key) and re-reads the whole file. False, with
    // the old records kept, when the file has vanished or cannot be written.
    bool setValue(const QString& group, const QString& key, QVariant value);

    struct Change {
        QString group;
        QString key;
        QVariant value;
    };
    // Puts content in place of the file at path as a whole; false with *error when it did not.
    using FileReplacer = std::function<bool(const QString& path, const QByteArray& content, QString* error)>;

    // Writes every change at once, keeping every other group and key: the new file content is
    // made apart from the file and handed to replace; the records are re-read only after that
    // succeeded. False with *error, the records kept, when the file cannot be read or replace
    // fails (the file is then as replace left it).
    bool setValues(const QList<Change>& changes, const FileReplacer& replace, QString* error);

    // Where warnings about the file (a value that is not a number, a skipped part of a list,
    // an unknown station type, a bool value other than empty/0/1/true/false, keys and groups
    // the station does not read, a missing file) go besides standard error; each distinct
    // warning is given once. Warnings from before the sink was set are handed to it at once.
    void setWarningSink(std::function<void(const QString&)> sink);

private:
    struct Records {
        BaseStationParams bs;
        bool revLo = false;
        TransmitterParams tx;
        CommunicationParams comm;
        SecondaryRabbitParams second;
        SecondaryRabbitParams third;
    };

    Records parse(const QString& path);
    void apply(Records&& records);
    void warn(const QString& text);

    // A file can hold only so many faulty keys; the bound keeps a generated one from growing these.
    static constexpr int kMaxWarnings = 1000;

    bool silent_ = false;
    QString fileName_;
    std::function<void(const QString&)> warningSink_;
    QStringList pendingWarnings_;
    QSet<QString> warned_;

    mutable std::shared_mutex mutex_;
    BaseStationParams bsParams;
    bool rev_lo_ = false;
    TransmitterParams transmitterParams_;
    CommunicationParams communicationSerialParams;
    SecondaryRabbitParams secRabbitParams_;
    SecondaryRabbitParams thirdRabbitParams_;
};
