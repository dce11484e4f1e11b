#pragma once

#include <QList>
#include <QString>

#include <functional>

// A text file as a list of lines, edited by blocks: runs of lines found by a key text (the first
// line containing it, commented lines included) and ended by an empty line. load() reads the
// file, flush() writes the list back whole; a file read and flushed unchanged stays byte for
// byte the same.
class confeditor {
public:
    struct conf_line {
        conf_line() = default;
        explicit conf_line(const QString& body);

        QString _body;
        bool _commented = false; // the first character is "#"
        bool _empty = true;      // no characters at all

        bool operator==(const conf_line& other) const { return _body == other._body; }
        // The body with its leading "#"s (only those) removed.
        void uncomment();
        void comment();
    };
    using Block = QList<conf_line>;
    // Whether the line at offset (from the block's first line, 0) still belongs to the block.
    using Belongs = std::function<bool(const conf_line& line, int offset)>;

    explicit confeditor(const QString& path);

    // Reads the file anew; false (and no lines) when it cannot be read.
    bool load();
    // Replaces the file with the lines; false when that failed.
    bool flush();

    int index_of(const conf_line& line) const;
    int index_of_block(const QString& key) const;
    // size lines from the block's first line; -1: up to, not including, the next empty line.
    Block get_block(const QString& key, int size) const;
    // Removes as many lines as block holds from the block's first line and puts block there.
    bool replace_block(const QString& key, const Block& block);
    // Removes size lines from the block's first line; -1: the lines up to the next empty line
    // (and it), stopping before the first line that does not belong. False when the key is
    // absent or the list ended first.
    bool remove_block(const QString& key, int size, const Belongs& belongs = Belongs());
    void insert(const Block& block, quint32 pos);
    void push_front(const Block& block);
    void push_back(const Block& block);

    const Block& lines() const { return _lines; }

private:
    QString _path;
    Block _lines;
};
