#include "jstring_point.h"

quint32 jstring_point::id_counter = 1;

jstring_point::jstring_point(const QByteArray& text, qint64 stamp, qint64 born)
    : id(get_next_id()), string(text), stamp_ms(stamp), born_ms(born)
{
}

jstring_point::jstring_point() : id(get_next_id()) {}

quint32 jstring_point::get_next_id()
{
    return id_counter++;
}

void jstring_point::set_id_counter(quint32 next)
{
    if (next > id_counter)
        id_counter = next;
}

quint32 jstring_point::peek_id_counter()
{
    return id_counter;
}
