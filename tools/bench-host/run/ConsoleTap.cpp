#include "run/ConsoleTap.h"

#include <iostream>

ConsoleTap::ConsoleTap(LineFn on_line) : on_line_(std::move(on_line)), original_(std::cout.rdbuf(this)) {}

ConsoleTap::~ConsoleTap() {
    std::cout.rdbuf(original_);
    if (!line_.empty()) on_line_(line_);
}

ConsoleTap::int_type ConsoleTap::overflow(int_type ch) {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    const char c = traits_type::to_char_type(ch);
    if (c == '\n') {
        std::string line;
        line.swap(line_);
        on_line_(line);
    } else {
        line_ += c;
    }
    return ch;
}

std::streamsize ConsoleTap::xsputn(const char* s, std::streamsize n) {
    for (std::streamsize i = 0; i < n; ++i) overflow(traits_type::to_int_type(s[i]));
    return n;
}
