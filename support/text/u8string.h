#pragma once
// A byte string that is known to hold well-formed UTF-8, brought to
// normalisation form C when it holds combining marks, so that a decomposed
// path and its composed form name the same file. Construction either yields
// such a string or throws: std::invalid_argument ("u8string NULL") for a null
// pointer, utf8::invalid_utf8 carrying the first byte of the bad sequence (0
// when normalisation refused the text), std::bad_alloc.
#include <cstddef>
#include <string>

class u8string {
public:
    // length 0 means the bytes run up to the first NUL.
    u8string(const char* bytes, std::size_t length);
    // Every byte counts, embedded NULs included.
    explicit u8string(const std::string& bytes);

    const std::string& text() const { return text_; }
    const char* c_str() const { return text_.c_str(); }
    // True when every code point is below 128 (and for the empty string).
    bool ascii() const { return ascii_; }

private:
    void assign(const char* bytes, std::size_t length);

    std::string text_;
    bool ascii_ = false;
};

// The UTF-8 byte-order mark EF BB BF, made at program start.
extern const u8string u8string_bom;
