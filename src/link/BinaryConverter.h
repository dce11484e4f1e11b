#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QString>

// Tags that pick the protobuf message of a conversion.
struct PayloadMsg {};   // binary_struct::Payload, an uplink record
struct HeartBeatMsg {}; // binary_struct::HeartBeat
struct AckMsg {};       // binary_struct::Ack, a request received from a broker (no envelope)

// Converts the station's JSON documents to serialized binary_struct messages and back with
// protobuf's JSON mapping. Payload and HeartBeat travel inside a ComplexMessage envelope;
// an Ack travels bare. Every failure returns false and leaves its text in GetError().
class BinaryConverter
{
public:
    BinaryConverter();
    ~BinaryConverter();

    template <typename Tag>
    bool Json2Binary(const QJsonDocument& doc, QByteArray& out);
    template <typename Tag>
    bool Binary2Json(const QByteArray& bytes, QJsonDocument& doc);
    // An envelope of either kind to JSON.
    bool AnyBinary2Json(const QByteArray& bytes, QJsonDocument& doc);

    QString GetError() const { return _error; }

private:
    QString _error;
};

template <> bool BinaryConverter::Json2Binary<PayloadMsg>(const QJsonDocument& doc, QByteArray& out);
template <> bool BinaryConverter::Json2Binary<HeartBeatMsg>(const QJsonDocument& doc, QByteArray& out);
template <> bool BinaryConverter::Json2Binary<AckMsg>(const QJsonDocument& doc, QByteArray& out);
template <> bool BinaryConverter::Binary2Json<PayloadMsg>(const QByteArray& bytes, QJsonDocument& doc);
template <> bool BinaryConverter::Binary2Json<HeartBeatMsg>(const QByteArray& bytes, QJsonDocument& doc);
template <> bool BinaryConverter::Binary2Json<AckMsg>(const QByteArray& bytes, QJsonDocument& doc);
