#pragma once
// Takes over std::cout while it lives, so that the plug-in's console lines
// (written to std::cout) can be shown where the run's output mode wants
// them, and hands each complete line to a callback.  The bench host's own
// output goes to the original stream buffer, available through Original().
#include <functional>
#include <ostream>
#include <streambuf>
#include <string>

class ConsoleTap : public std::streambuf {
public:
    using LineFn = std::function<void(const std::string&)>;

    explicit ConsoleTap(LineFn on_line);
    ~ConsoleTap() override;
    ConsoleTap(const ConsoleTap&) = delete;
    ConsoleTap& operator=(const ConsoleTap&) = delete;

    std::streambuf* Original() const { return original_; }

protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;

private:
    LineFn on_line_;
    std::string line_;
    std::streambuf* original_;
};
